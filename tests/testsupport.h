#pragma once

#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

// Points HOME, the XDG directories and TMPDIR into home and picks the headless platform, so that
// nothing the program does reaches the real user's database or settings.
inline void usePrivateHome(const QString &home) {
    qputenv("HOME", home.toLocal8Bit());
    qputenv("XDG_DATA_HOME", (home + "/.local/share").toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home + "/.config").toLocal8Bit());
    qputenv("XDG_CACHE_HOME", (home + "/.cache").toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", home.toLocal8Bit());
    qputenv("TMPDIR", (home + "/tmp").toLocal8Bit());
    QDir(home).mkpath("tmp");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// Runs a widget test class in a private temporary HOME, headless.
template <typename TestClass> int runTestsInPrivateHome(int argc, char **argv) {
    QTemporaryDir home;
    if (!home.isValid())
        return 2;
    usePrivateHome(home.path());
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(pics);
    TestClass test;
    return QTest::qExec(&test, argc, argv);
}

#define ZIRAVE_TEST_MAIN(TestClass)                                                                \
    int main(int argc, char **argv) {                                                              \
        return runTestsInPrivateHome<TestClass>(argc, argv);                                       \
    }
