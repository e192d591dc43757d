#include "readersim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {
// The link is removed on Ctrl+C as well, from the signal handler, so it needs a plain buffer.
char linkToRemove[4096];

void removeLinkAndExit(int) {
    if (linkToRemove[0] != '\0')
        ::unlink(linkToRemove);
    ::_exit(0);
}

bool makeLink(const QString &linkPath, const QString &target, QTextStream &err) {
    const QFileInfo existing(linkPath);
    if (existing.exists() || existing.isSymLink()) {
        if (!existing.isSymLink()) {
            err << linkPath << " exists and is not a link; not replacing it" << Qt::endl;
            return false;
        }
        ::unlink(QFile::encodeName(linkPath).constData());
    }
    if (::symlink(QFile::encodeName(target).constData(), QFile::encodeName(linkPath).constData()) !=
        0) {
        err << "cannot create " << linkPath << ": " << std::strerror(errno) << Qt::endl;
        return false;
    }
    std::strncpy(linkToRemove, QFile::encodeName(linkPath).constData(), sizeof linkToRemove - 1);
    return true;
}
} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("zirave-reader-sim");
    QTextStream out(stdout);
    QTextStream err(stderr);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Plays the RFID reader of Zirave on a pseudo-terminal. Each TAG is CODE:SECONDS, the tag "
        "code and how long the tag lies on the reader, e.g. 1234:2.0. Without TAG arguments the "
        "tags are read from standard input, one CODE:SECONDS or CODE SECONDS a line.");
    parser.addHelpOption();
    const QCommandLineOption linkOption("link", "Also reach the reader at PATH (a symbolic link).",
                                        "PATH");
    const QCommandLineOption gapOption(
        "gap", "Seconds without a tag before each tag (default 1.0).", "SECONDS", "1.0");
    const QCommandLineOption quitOption("quit-when-done",
                                        "Quit once every tag has been presented.");
    parser.addOptions({linkOption, gapOption, quitOption});
    parser.addPositionalArgument("TAG", "CODE:SECONDS", "[TAG...]");
    parser.process(app);

    bool gapOk = false;
    const double gapSeconds = parser.value(gapOption).toDouble(&gapOk);
    if (!gapOk || gapSeconds <= 0) {
        err << "--gap takes a number of seconds above 0" << Qt::endl;
        return 2;
    }

    QList<TagVisit> visits;
    for (const QString &argument : parser.positionalArguments()) {
        const std::optional<TagVisit> visit = parseTagVisit(argument);
        if (!visit) {
            err << "not a tag: " << argument << " (expected CODE:SECONDS)" << Qt::endl;
            return 2;
        }
        visits.append(*visit);
    }

    int master = -1;
    int slave = -1;
    char slaveName[256] = {};
    if (::openpty(&master, &slave, slaveName, nullptr, nullptr) != 0) {
        err << "cannot create a pseudo-terminal: " << std::strerror(errno) << Qt::endl;
        return 1;
    }
    // The slave stays open here too: otherwise the line hangs up whenever the program closes its
    // end, and the master reports that over and over.
    termios raw;
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

    const QString slavePath = QString::fromLocal8Bit(slaveName);
    if (parser.isSet(linkOption) && !makeLink(parser.value(linkOption), slavePath, err))
        return 1;
    std::signal(SIGINT, removeLinkAndExit);
    std::signal(SIGTERM, removeLinkAndExit);

    out << "reader on " << slavePath;
    if (parser.isSet(linkOption))
        out << " (also " << parser.value(linkOption) << ")";
    out << Qt::endl;

    ReaderSimulator reader(master, int(gapSeconds * 1000), parser.isSet(quitOption));
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray inputLine;
    if (visits.isEmpty()) {
        QObject::connect(&input, &QSocketNotifier::activated, &reader, [&] {
            char data[512];
            const ssize_t count = ::read(STDIN_FILENO, data, sizeof data);
            if (count <= 0) {
                input.setEnabled(false);
                reader.closeSchedule();
                return;
            }
            inputLine.append(data, int(count));
            int end;
            while ((end = inputLine.indexOf('\n')) >= 0) {
                const QString line = QString::fromLocal8Bit(inputLine.left(end)).trimmed();
                inputLine.remove(0, end + 1);
                if (line.isEmpty())
                    continue;
                if (const std::optional<TagVisit> visit = parseTagVisit(line))
                    reader.addVisit(*visit);
                else
                    err << "not a tag: " << line << " (expected CODE:SECONDS)" << Qt::endl;
            }
        });
    } else {
        input.setEnabled(false);
        for (const TagVisit &visit : visits)
            reader.addVisit(visit);
        reader.closeSchedule();
    }

    const int result = app.exec();
    if (linkToRemove[0] != '\0')
        ::unlink(linkToRemove);
    ::close(slave);
    ::close(master);
    return result;
}
