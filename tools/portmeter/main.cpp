// What following the system's serial ports costs and how soon it shows, through the real main
// window on the offscreen platform in a private HOME: the process's own CPU time over a while with
// the window idle and while it reads from the reader simulator, and the time from a path named in
// extra_ports appearing or vanishing to the port list showing it. Not a test: the figures depend on
// the machine (docs/PERFORMANCE.md).

#include "appsettings.h"
#include "mainwindow.h"
#include "portwatcher.h"
#include "testsupport.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/resource.h>
#endif

namespace {

// User and system time of the whole process, all its threads, in seconds.
double processCpuSeconds() {
#ifdef Q_OS_WIN
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto seconds = [](const FILETIME &time) {
        return double((quint64(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &time) {
        return double(time.tv_sec) + double(time.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
#endif
}

void runEventsFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Percent of one core the process used while the event loop ran for the given time.
double cpuPercentOver(int seconds) {
    QElapsedTimer wall;
    const double before = processCpuSeconds();
    wall.start();
    runEventsFor(seconds * 1000);
    const double used = processCpuSeconds() - before;
    return 100.0 * used / (double(wall.nsecsElapsed()) / 1e9);
}

// Milliseconds until the list holds (or no longer holds) location, or -1 after 10 s.
double msUntilListed(QComboBox *com, const QString &location, bool listed,
                     const QElapsedTimer &since) {
    QEventLoop loop;
    const auto check = [&] {
        if ((com->findData(location) >= 0) == listed)
            loop.quit();
    };
    QObject::connect(com->model(), &QAbstractItemModel::rowsInserted, &loop, check);
    QObject::connect(com->model(), &QAbstractItemModel::rowsRemoved, &loop, check);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    if ((com->findData(location) >= 0) != listed)
        loop.exec();
    if ((com->findData(location) >= 0) != listed)
        return -1;
    return double(since.nsecsElapsed()) / 1e6;
}

void printTimes(const char *what, QVector<double> times) {
    std::sort(times.begin(), times.end());
    if (times.isEmpty())
        return;
    std::printf("%s: median %.0f ms, range %.0f to %.0f ms (%d rounds)\n", what,
                times[times.size() / 2], times.first(), times.last(), int(times.size()));
}

} // namespace

int main(int argc, char **argv) {
    QTemporaryDir home;
    if (!home.isValid())
        return 2;
    usePrivateHome(home.path());
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(pics);

    QCommandLineParser parser;
    parser.setApplicationDescription("Measures the cost and the delay of following serial ports.");
    parser.addHelpOption();
    const QCommandLineOption secondsOption("seconds", "seconds of each CPU measurement", "N", "60");
    const QCommandLineOption roundsOption("rounds", "appearances and vanishings timed", "N", "10");
    const QCommandLineOption onlyOption("only", "scan, idle, notice or reading", "WHAT");
    const QCommandLineOption simOption("sim", "the reader simulator", "PATH",
                                       ZIRAVE_BINARY_DIR "/tools/readersim/zirave-reader-sim");
    parser.addOptions({secondsOption, roundsOption, onlyOption, simOption});
    parser.process(app);
    const int seconds = parser.value(secondsOption).toInt();
    const int rounds = parser.value(roundsOption).toInt();
    const QString only = parser.value(onlyOption);
    const auto wanted = [&](const char *what) {
        return only.isEmpty() || only == what;
    };

    const QString appearing = QDir(home.path()).filePath("tmp/zirave-appearing");
    const QString readerLink = QDir(home.path()).filePath("tmp/zirave-reader");
    AppSettings().setValue("extra_ports", QStringList{appearing, readerLink});

    if (wanted("scan")) {
        // What one full scan of the system's ports costs, the price of every change and of the
        // scan that comes at the latest every PortWatcher::safetyScanIntervalMs.
        constexpr int scans = 20;
        QElapsedTimer wall;
        const double before = processCpuSeconds();
        wall.start();
        int found = 0;
        for (int scan = 0; scan < scans; ++scan)
            found = int(PortWatcher::systemPorts().size());
        std::printf("a full scan (%d ports): %.1f ms CPU, %.1f ms wall\n", found,
                    (processCpuSeconds() - before) * 1000 / scans,
                    double(wall.nsecsElapsed()) / 1e6 / scans);
    }

    auto window = std::make_unique<MainWindow>();
    window->show();
    auto *com = window->findChild<QComboBox *>("com");
    // What start-up itself sets going is over by then.
    runEventsFor(3000);

    if (wanted("idle"))
        std::printf("idle window: %.3f %% of a core over %d s\n", cpuPercentOver(seconds), seconds);

    if (wanted("notice")) {
        QVector<double> appeared;
        QVector<double> vanished;
        for (int round = 0; round < rounds; ++round) {
            // At any moment of the program's own second.
            runEventsFor(int(QRandomGenerator::global()->bounded(300, 1300)));
            QElapsedTimer since;
            QFile file(appearing);
            file.open(QIODevice::WriteOnly);
            file.close();
            since.start();
            appeared << msUntilListed(com, appearing, true, since);
            runEventsFor(int(QRandomGenerator::global()->bounded(300, 1300)));
            QFile::remove(appearing);
            since.start();
            vanished << msUntilListed(com, appearing, false, since);
        }
        printTimes("port appearing to listed", appeared);
        printTimes("port vanishing to unlisted", vanished);
    }

#ifndef Q_OS_WIN
    if (wanted("reading")) {
        // A reader answering every poll, with no tag on it.
        QProcess sim;
        sim.start(parser.value(simOption), {"--link", readerLink});
        if (!sim.waitForStarted()) {
            std::fprintf(stderr, "cannot start %s\n", qPrintable(parser.value(simOption)));
            return 1;
        }
        QElapsedTimer waited;
        waited.start();
        while (com->findData(readerLink) < 0 && waited.elapsed() < 10000)
            runEventsFor(50);
        com->setCurrentIndex(com->findData(readerLink));
        window->findChild<QCheckBox *>("zaznam")->setChecked(false);
        auto *read = window->findChild<QPushButton *>("read");
        read->click();
        if (read->text() != QString("Ukončit čtení")) {
            std::fprintf(stderr, "the reading did not start\n");
            return 1;
        }
        runEventsFor(2000);
        std::printf("reading: %.3f %% of a core over %d s\n", cpuPercentOver(seconds), seconds);
        read->click();
        sim.terminate();
        sim.waitForFinished();
    }
#endif
    window.reset();
    Q_CLEANUP_RESOURCE(pics);
    return 0;
}
