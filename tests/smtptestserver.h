#pragma once

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// tests/smtpserver.py (a real SMTP server over implicit TLS with AUTH, on loopback) running in
// the background for one test.
namespace {

const QString serverLogin = QStringLiteral("objednavky");
const QString serverPassword = QStringLiteral("tajne-heslo");

// tests/smtpserver.py running in the background for one test.
class TestServer {
public:
    ~TestServer() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    bool start(const QString &workDir, const QString &mode, const QString &certName) {
        mailDir = workDir + QStringLiteral("/mail-%1").arg(++serial);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral("/usr/bin/python3"),
                      {QStringLiteral(ZIRAVE_TESTS_DIR "/smtpserver.py"), "--dir", mailDir,
                       "--cert-dir", workDir + "/certs", "--cert-name", certName, "--mode", mode,
                       "--login", serverLogin, "--password", serverPassword});
        if (!process.waitForStarted(10000))
            return false;
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
            if (process.state() != QProcess::Running)
                return false;
            process.waitForReadyRead(200);
        }
        return false;
    }

    // Every line the server printed so far.
    QStringList lines() {
        output += process.readAllStandardOutput();
        return QString::fromUtf8(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
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
    QByteArray output;
};

} // namespace
