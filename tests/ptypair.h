#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#ifdef Q_OS_WIN
#include "linuxhelper.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPort>
#include <QTest>
#else
#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>
#endif

// A tag reply as the reader sends it: the code little-endian in bytes 3 to 6, the rest arbitrary.
inline QByteArray tagReply(quint32 code) {
    QByteArray reply("\xaa\xbb\xcc", 3);
    for (int shift = 0; shift < 32; shift += 8)
        reply.append(char((code >> shift) & 0xff));
    reply.append("\xdd\xee\xff\x11\x22", 5);
    return reply;
}

#ifdef Q_OS_WIN
// Windows has no pseudo-terminals: the line is a pair of null-modem COM ports (virtual or wired)
// named in ZIRAVE_TEST_COM_PORTS as "PROGRAM,READER", e.g. "COM7,COM8". The program opens the
// first, the test plays the reader at the second. Under Wine the cable between them is laid by
// tests/nullmodem.py, asked at the loopback port in ZIRAVE_TEST_SERIAL_RELAY_PORT: each pair is a
// new cable, which can be pulled, and whose program end can be put behind a further registered
// port as behind a link. A pair of real ports can do neither.
class PtyPair {
public:
    static bool canUnplug() {
        return !qEnvironmentVariableIsEmpty("ZIRAVE_TEST_SERIAL_RELAY_PORT");
    }
    static constexpr const char *unavailable =
        "no pair of null-modem COM ports named in ZIRAVE_TEST_COM_PORTS (e.g. COM7,COM8)";

    PtyPair() {
        const QStringList ports = qEnvironmentVariable("ZIRAVE_TEST_COM_PORTS").split(',');
        if (ports.size() != 2)
            return;
        if (canUnplug()) {
            m_line = ask({{"do", "plug"},
                          {"program", ports.at(0).trimmed().toLower()},
                          {"reader", ports.at(1).trimmed().toLower()}})
                         .value("line")
                         .toInt();
            // The test skips without a line; with a relay there, that is a failure.
            if (m_line == 0) {
                QTest::qFail("tests/nullmodem.py laid no cable", __FILE__, __LINE__);
                return;
            }
        }
        m_reader.setPortName(ports.at(1).trimmed());
        m_reader.setBaudRate(QSerialPort::Baud9600);
        if (m_reader.open(QIODevice::ReadWrite))
            m_slavePath = "\\\\.\\" + ports.at(0).trimmed();
        else
            qWarning("%s: %s", qPrintable(m_reader.portName()), qPrintable(m_reader.errorString()));
    }
    ~PtyPair() {
        m_reader.close();
        if (m_line != 0)
            ask({{"do", "remove"}, {"line", m_line}});
    }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_reader.isOpen() && !m_slavePath.isEmpty(); }
    QString slavePath() const { return m_slavePath; }

    bool write(const QByteArray &bytes) {
        return m_reader.write(bytes) == bytes.size() && m_reader.waitForBytesWritten(1000);
    }

    QByteArray readAvailable() {
        m_reader.waitForReadyRead(0);
        return m_reader.readAll();
    }

    // Pulls the reader's plug: the program's port goes away, and with it every link to it.
    void closeMaster() {
        m_reader.close();
        if (m_line != 0)
            ask({{"do", "unplug"}, {"line", m_line}});
    }

    // Puts the program's end also behind the registered port at location (\\.\COM9).
    bool linkAt(const QString &location) const {
        return m_line != 0 && !ask({{"do", "link"},
                                    {"line", m_line},
                                    {"name", location.section('\\', -1).toLower()}})
                                   .contains("error");
    }

    bool watchOpens() {
        return m_line != 0 && !ask({{"do", "watch"}, {"line", m_line}}).contains("error");
    }
    bool openedSinceWatch() {
        return m_line != 0 && ask({{"do", "opened"}, {"line", m_line}}).value("opened").toBool();
    }

private:
    static QJsonObject ask(const QJsonObject &request) {
        return linuxhelper::ask("tests/nullmodem.py", "ZIRAVE_TEST_SERIAL_RELAY_PORT",
                                QJsonDocument(request));
    }

    int m_line = 0;
    QSerialPort m_reader;
    QString m_slavePath;
};
#else
// A pseudo-terminal in place of the reader's serial line: the program opens the slave path, the
// test plays the reader at the master.
class PtyPair {
public:
    static bool canUnplug() { return true; }
    static constexpr const char *unavailable = "no pseudo-terminal";

    PtyPair() {
        char name[256] = {};
        if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
            return;
        m_slavePath = QString::fromLocal8Bit(name);
        // Held open by the test as well, so that the line does not hang up whenever the program
        // closes the port.
        termios raw;
        ::tcgetattr(m_slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(m_slave, TCSANOW, &raw);
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair() {
        closeMaster();
        if (m_slave >= 0)
            ::close(m_slave);
        if (m_openWatch >= 0)
            ::close(m_openWatch);
    }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_master >= 0 && !m_slavePath.isEmpty(); }
    QString slavePath() const { return m_slavePath; }

    bool write(const QByteArray &bytes) {
        return ::write(m_master, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }

    // What the program has written so far and the test has not read yet.
    QByteArray readAvailable() {
        QByteArray bytes;
        char buffer[512];
        ssize_t count;
        while (m_master >= 0 && (count = ::read(m_master, buffer, sizeof buffer)) > 0)
            bytes.append(buffer, int(count));
        return bytes;
    }

    // Pulls the reader's plug.
    void closeMaster() {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

    // Puts the line behind linkPath, as the simulator does, replacing the link that was there.
    bool linkAt(const QString &linkPath) const {
        QFile::remove(linkPath);
        return QFile::link(m_slavePath, linkPath);
    }

    // Whether anyone opened the slave since watchOpens().
    bool watchOpens() {
        m_openWatch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        return m_openWatch >= 0 &&
               ::inotify_add_watch(m_openWatch, QFile::encodeName(m_slavePath), IN_OPEN) >= 0;
    }
    bool openedSinceWatch() {
        alignas(inotify_event) char events[4096];
        while (m_openWatch >= 0 && ::read(m_openWatch, events, sizeof events) > 0)
            m_opened = true;
        return m_opened;
    }

private:
    int m_openWatch = -1;
    bool m_opened = false;
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
};
#endif
