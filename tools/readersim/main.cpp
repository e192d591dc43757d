#include "readersim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

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

// One pseudo-terminal the program reaches the reader on.
struct Line {
    int master = -1;
    int slave = -1;
    QString slavePath;
};

bool openLine(Line &line, QTextStream &err) {
    char slaveName[256] = {};
    if (::openpty(&line.master, &line.slave, slaveName, nullptr, nullptr) != 0) {
        err << "cannot create a pseudo-terminal: " << std::strerror(errno) << Qt::endl;
        return false;
    }
    // The slave stays open here too: otherwise the line hangs up whenever the program closes its
    // end, and the master reports that over and over.
    termios raw;
    ::tcgetattr(line.slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(line.slave, TCSANOW, &raw);
    ::fcntl(line.master, F_SETFL, ::fcntl(line.master, F_GETFL) | O_NONBLOCK);
    line.slavePath = QString::fromLocal8Bit(slaveName);
    return true;
}

void closeLine(Line &line) {
    ::close(line.slave);
    ::close(line.master);
    line = Line();
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
    const QCommandLineOption unplugOption(
        "unplug-after",
        "Pull the reader's cable SECONDS after the first poll and plug it in again after "
        "DOWN_SECONDS (default 2.0): the pseudo-terminal goes away, with the --link path, and a "
        "new one comes up behind the same path.",
        "SECONDS[:DOWN_SECONDS]");
    parser.addOptions({linkOption, gapOption, quitOption, unplugOption});
    parser.addPositionalArgument("TAG", "CODE:SECONDS", "[TAG...]");
    parser.process(app);

    bool gapOk = false;
    const double gapSeconds = parser.value(gapOption).toDouble(&gapOk);
    if (!gapOk || gapSeconds <= 0) {
        err << "--gap takes a number of seconds above 0" << Qt::endl;
        return 2;
    }

    std::optional<Unplug> unplug;
    if (parser.isSet(unplugOption)) {
        unplug = parseUnplug(parser.value(unplugOption), 2000);
        if (!unplug) {
            err << "--unplug-after takes SECONDS or SECONDS:DOWN_SECONDS" << Qt::endl;
            return 2;
        }
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

    Line line;
    if (!openLine(line, err))
        return 1;
    const QString linkPath = parser.value(linkOption);
    if (!linkPath.isEmpty() && !makeLink(linkPath, line.slavePath, err))
        return 1;
    std::signal(SIGINT, removeLinkAndExit);
    std::signal(SIGTERM, removeLinkAndExit);

    out << "reader on " << line.slavePath;
    if (!linkPath.isEmpty())
        out << " (also " << linkPath << ")";
    out << Qt::endl;

    ReaderSimulator reader(int(gapSeconds * 1000), parser.isSet(quitOption));
    reader.attachLine(line.master);
    if (unplug) {
        QObject::connect(&reader, &ReaderSimulator::started, &reader, [&] {
            QTimer::singleShot(unplug->afterMs, &reader, [&] {
                // Like a USB adapter pulled out: the device goes away, and its path with it.
                reader.detachLine();
                closeLine(line);
                if (!linkPath.isEmpty())
                    ::unlink(QFile::encodeName(linkPath).constData());
                err << "unplugged for " << unplug->downMs << " ms" << Qt::endl;
                QTimer::singleShot(unplug->downMs, &reader, [&] {
                    if (!openLine(line, err) ||
                        (!linkPath.isEmpty() && !makeLink(linkPath, line.slavePath, err))) {
                        QCoreApplication::exit(1);
                        return;
                    }
                    reader.attachLine(line.master);
                    err << "plugged in again on " << line.slavePath << Qt::endl;
                });
            });
        });
    }

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
                const QString entry = QString::fromLocal8Bit(inputLine.left(end)).trimmed();
                inputLine.remove(0, end + 1);
                if (entry.isEmpty())
                    continue;
                if (const std::optional<TagVisit> visit = parseTagVisit(entry))
                    reader.addVisit(*visit);
                else
                    err << "not a tag: " << entry << " (expected CODE:SECONDS)" << Qt::endl;
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
    if (line.master >= 0)
        closeLine(line);
    return result;
}
