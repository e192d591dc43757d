#pragma once

#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

// Runs a widget test class in a private temporary HOME with XDG directories under it, headless,
// so that no test reads or writes the real user's database or settings.
#define ZIRAVE_TEST_MAIN(TestClass)                                                                \
    int main(int argc, char **argv) {                                                              \
        QTemporaryDir home;                                                                        \
        if (!home.isValid())                                                                       \
            return 2;                                                                              \
        qputenv("HOME", home.path().toLocal8Bit());                                                \
        qputenv("XDG_DATA_HOME", (home.path() + "/.local/share").toLocal8Bit());                   \
        qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toLocal8Bit());                      \
        qputenv("XDG_CACHE_HOME", (home.path() + "/.cache").toLocal8Bit());                        \
        qputenv("XDG_RUNTIME_DIR", home.path().toLocal8Bit());                                     \
        qputenv("TMPDIR", (home.path() + "/tmp").toLocal8Bit());                                   \
        QDir(home.path()).mkpath("tmp");                                                           \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                                        \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                               \
        QApplication app(argc, argv);                                                              \
        Q_INIT_RESOURCE(pics);                                                                     \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
