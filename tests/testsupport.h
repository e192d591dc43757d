#pragma once

#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#ifdef Q_OS_WIN
#include <winerror.h>
#endif

// Keeps everything the program and the tests write inside home, so that nothing reaches the real
// user's database, settings or temporary files, and picks the headless platform. Windows ignores
// HOME and the XDG variables: there Qt's test mode moves the standard locations and QSettings is
// pointed at home; the variables still serve a program a test starts on Linux.
inline void usePrivateHome(const QString &home) {
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home + "/settings");
    qputenv("HOME", home.toLocal8Bit());
    qputenv("XDG_DATA_HOME", (home + "/.local/share").toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home + "/.config").toLocal8Bit());
    qputenv("XDG_CACHE_HOME", (home + "/.cache").toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", home.toLocal8Bit());
    qputenv("TMPDIR", (home + "/tmp").toLocal8Bit());
    qputenv("TMP", QDir::toNativeSeparators(home + "/tmp").toLocal8Bit());
    qputenv("TEMP", QDir::toNativeSeparators(home + "/tmp").toLocal8Bit());
    QDir(home).mkpath("tmp");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// text as the program writes it to a file: with the platform's text line ends.
inline QByteArray withPlatformLineEnds(QByteArray text) {
#ifdef Q_OS_WIN
    text.replace("\n", "\r\n");
#endif
    return text;
}

// The system's reason when a file is to replace a directory that stands at its path.
inline QString directoryInTheWayError() {
#ifdef Q_OS_WIN
    return qt_error_string(ERROR_ACCESS_DENIED);
#else
    return qt_error_string(EISDIR);
#endif
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
