#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QThread>

#ifdef Q_OS_WIN
#include "linuxhelper.h"
#endif

// tests/smtpserver.py (a real SMTP server over implicit TLS with AUTH, on loopback) running in
// the background for one test.
namespace {

const QString serverLogin = QStringLiteral("objednavky");
const QString serverPassword = QStringLiteral("tajne-heslo");

// tests/smtpserver.py running in the background for one test. The server reports through files
// in its folder and ends when asked by one, since a Windows test under Wine can neither read the
// output of the Linux program nor end it.
class TestServer {
public:
    ~TestServer() {
        if (mailDir.isEmpty())
            return;
        QFile(mailDir + QStringLiteral("/stop")).open(QIODevice::WriteOnly);
#ifndef Q_OS_WIN
        process.kill();
        process.waitForFinished(5000);
#endif
    }

    bool start(const QString &workDir, const QString &mode, const QString &certName) {
        mailDir = workDir + QStringLiteral("/mail-%1").arg(++serial);
        const QStringList arguments = {"--dir",       mailDir,     "--cert-dir", workDir + "/certs",
                                       "--cert-name", certName,    "--mode",     mode,
                                       "--login",     serverLogin, "--password", serverPassword};
#ifdef Q_OS_WIN
        // Under Wine the server is started by the launcher that tools/windows/run-tests runs on
        // the Linux side: Wine does not start a Linux program reliably from a Windows one.
        if (linuxhelper::ask("the launcher of tests/smtpserver.py",
                             "ZIRAVE_TEST_SERVER_LAUNCHER_PORT",
                             QJsonDocument(QJsonArray::fromStringList(arguments)))
                .contains("error"))
            return false;
#else
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(QStringLiteral("/usr/bin/python3"),
                      QStringList{QStringLiteral(ZIRAVE_TESTS_DIR "/smtpserver.py")} + arguments);
        if (!process.waitForStarted(10000))
            return false;
#endif
        QDeadlineTimer deadline(30000);
        while (!deadline.hasExpired()) {
            for (const QString &line : lines()) {
                const QStringList parts = line.split(QLatin1Char(' '));
                if (parts.size() == 3 && parts.at(0) == QLatin1String("READY")) {
                    port = parts.at(1).toInt();
                    certFile = parts.at(2);
                    return port > 0;
                }
            }
#ifndef Q_OS_WIN
            if (process.state() != QProcess::Running)
                return false;
#endif
            QThread::msleep(50);
        }
        return false;
    }

    // Every line the server reported so far.
    QStringList lines() const {
        QFile events(mailDir + QStringLiteral("/events.log"));
        if (!events.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(events.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    QList<QJsonObject> messages() const {
        QList<QJsonObject> result;
        if (mailDir.isEmpty())
            return result;
        const QDir dir(mailDir);
        for (const QString &name :
             dir.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name)) {
            QFile file(dir.filePath(name));
            if (file.open(QIODevice::ReadOnly))
                result << QJsonDocument::fromJson(file.readAll()).object();
        }
        return result;
    }

    int port = 0;
    QString certFile;
    QString mailDir;

private:
    static inline int serial = 0;
    QProcess process;
};

} // namespace
