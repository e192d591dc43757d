#pragma once

// A Windows test under Wine asks a Linux helper that tools/windows/run-tests started beside Wine
// (tests/nullmodem.py, the launcher of tests/smtpserver.py) over a loopback TCP connection: Wine's
// sockets are the system's. A spool folder is not safe there: Wine renames a file and then looks
// it up again by its new name, and when the helper has taken the file away in between, the
// rename reports a failure that did not happen.
#ifdef Q_OS_WIN
#include <winsock2.h>

#include <QByteArray>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QTest>

namespace linuxhelper {

// A socket that is closed on every way out.
struct Socket {
    SOCKET handle = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    Socket() = default;
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    ~Socket() {
        if (handle != INVALID_SOCKET)
            ::closesocket(handle);
    }
};

inline QJsonObject failed(const QString &why) {
    return {{"error", why}};
}

inline QJsonObject socketFailed(const char *what) {
    return failed(
        QStringLiteral("%1: %2").arg(QLatin1String(what), qt_error_string(WSAGetLastError())));
}

// One request line to the helper on 127.0.0.1:port and its answer line; the window goes on
// meanwhile.
inline QJsonObject exchange(quint16 port, const QByteArray &request) {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started)
        return socketFailed("WSAStartup");
    Socket socket;
    if (socket.handle == INVALID_SOCKET)
        return socketFailed("socket");
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket.handle, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        return socketFailed("connecting");
    for (int sent = 0; sent < request.size();) {
        const int count =
            ::send(socket.handle, request.constData() + sent, request.size() - sent, 0);
        if (count == SOCKET_ERROR)
            return socketFailed("sending");
        sent += count;
    }
    u_long nonBlocking = 1;
    if (::ioctlsocket(socket.handle, FIONBIO, &nonBlocking) != 0)
        return socketFailed("ioctlsocket");
    // A limit only for a helper that hangs; an answer takes milliseconds.
    const int limitSeconds = 60;
    const QDeadlineTimer deadline(limitSeconds * 1000);
    QByteArray answer;
    while (!answer.endsWith('\n')) {
        char buffer[4096];
        const int count = ::recv(socket.handle, buffer, int(sizeof buffer), 0);
        if (count > 0) {
            answer.append(buffer, count);
        } else if (count == 0) {
            return failed(QStringLiteral("the connection closed before the answer"));
        } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
            return socketFailed("receiving");
        } else if (deadline.hasExpired()) {
            return failed(QStringLiteral("no answer in %1 s").arg(limitSeconds));
        } else {
            QTest::qWait(1);
        }
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(answer, &error);
    if (!document.isObject())
        return failed(QStringLiteral("unreadable answer %1 (%2)")
                          .arg(QString::fromUtf8(answer.trimmed()), error.errorString()));
    return document.object();
}

// The helper's answer to request, {"error": why} when it failed on either side; a failure is
// also told in the test's output, naming the helper.
inline QJsonObject ask(const char *helper, const char *portVariable, const QJsonDocument &request) {
    bool known = false;
    const uint port = qEnvironmentVariable(portVariable).toUInt(&known);
    QJsonObject answer;
    if (!known || port == 0 || port > 65535)
        answer = failed(QStringLiteral("%1 names no port").arg(QLatin1String(portVariable)));
    else
        answer = exchange(quint16(port), request.toJson(QJsonDocument::Compact) + '\n');
    if (answer.contains("error"))
        qWarning("%s at 127.0.0.1:%s: %s", helper, qPrintable(qEnvironmentVariable(portVariable)),
                 qPrintable(answer.value("error").toString()));
    return answer;
}

} // namespace linuxhelper
#endif
