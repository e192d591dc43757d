#include "systemnet.h"

#include <QHash>

#include <atomic>
#include <mutex>
#include <vector>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace SystemNet {

namespace {

std::mutex testMutex;
QHash<QByteArray, QStringList> testHosts;

QString numericAddress(const sockaddr *address, socklen_t length) {
    char text[NI_MAXHOST] = {};
    return ::getnameinfo(address, length, text, sizeof text, nullptr, 0, NI_NUMERICHOST) == 0
               ? QString::fromLatin1(text)
               : QString();
}

} // namespace

int closeSocket(curl_socket_t socket) {
#ifdef Q_OS_WIN
    return ::closesocket(socket);
#else
    return ::close(socket);
#endif
}

void shutDown(curl_socket_t socket) {
#ifdef Q_OS_WIN
    ::shutdown(socket, SD_BOTH);
#else
    ::shutdown(socket, SHUT_RDWR);
#endif
}

QStringList lookUp(const QByteArray &host, int port) {
    std::unique_lock<std::mutex> lock(testMutex);
    const QStringList given = testHosts.value(host);
    lock.unlock();
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    QStringList addresses;
    for (const QString &name : given.isEmpty() ? QStringList{QString::fromLatin1(host)} : given) {
        addrinfo *found = nullptr;
        if (::getaddrinfo(name.toLatin1().constData(), QByteArray::number(port).constData(), &hints,
                          &found) != 0)
            continue;
        for (const addrinfo *entry = found; entry; entry = entry->ai_next)
            addresses << numericAddress(entry->ai_addr, socklen_t(entry->ai_addrlen));
        ::freeaddrinfo(found);
    }
    addresses.removeDuplicates();
    addresses.removeAll(QString());
    return addresses;
}

void setTestAddresses(const QByteArray &host, const QStringList &addresses) {
    std::lock_guard<std::mutex> lock(testMutex);
    testHosts.insert(host, addresses);
}

QString canonicalHostName() {
    constexpr int nameSize = 256;
    char name[nameSize + 1] = {};
    if (::gethostname(name, nameSize) != 0)
        return QString();
    addrinfo hints = {};
    hints.ai_flags = AI_CANONNAME;
    addrinfo *found = nullptr;
    QString canonical = QString::fromLatin1(name);
    if (::getaddrinfo(name, nullptr, &hints, &found) == 0) {
        if (found->ai_canonname)
            canonical = QString::fromLatin1(found->ai_canonname);
        ::freeaddrinfo(found);
    }
    return canonical;
}

QString localAddress(curl_socket_t socket) {
    sockaddr_storage local = {};
    socklen_t length = sizeof local;
    return ::getsockname(socket, reinterpret_cast<sockaddr *>(&local), &length) == 0
               ? numericAddress(reinterpret_cast<sockaddr *>(&local), length)
               : QString();
}

QString peerAddress(curl_socket_t socket) {
    sockaddr_storage peer = {};
    socklen_t length = sizeof peer;
    return ::getpeername(socket, reinterpret_cast<sockaddr *>(&peer), &length) == 0
               ? numericAddress(reinterpret_cast<sockaddr *>(&peer), length)
               : QString();
}

struct Dialer::Private {
    struct Attempt {
        curl_socket_t socket;
#ifdef Q_OS_WIN
        WSAEVENT ended; // signalled with FD_CONNECT, whether the attempt succeeded or not
#endif
    };
    QList<Attempt> attempts;
    std::atomic<bool> stopped{false};
#ifdef Q_OS_WIN
    WSAEVENT stopEvent = WSACreateEvent();
#else
    int stopPipe[2] = {-1, -1};
#endif

    // Whether attempt i has ended; *error is then why it failed, 0 when it connected.
    bool ended(int i, int *error) const {
        const Attempt &attempt = attempts.at(i);
#ifdef Q_OS_WIN
        WSANETWORKEVENTS events = {};
        if (::WSAEnumNetworkEvents(attempt.socket, attempt.ended, &events) != 0 ||
            !(events.lNetworkEvents & FD_CONNECT))
            return false;
        *error = events.iErrorCode[FD_CONNECT_BIT];
#else
        pollfd entry = {attempt.socket, POLLOUT, 0};
        if (::poll(&entry, 1, 0) != 1)
            return false;
        socklen_t length = sizeof *error;
        if (::getsockopt(attempt.socket, SOL_SOCKET, SO_ERROR, error, &length) != 0)
            *error = errno;
#endif
        return true;
    }

    // Removes attempt i, whose socket is then the caller's.
    curl_socket_t take(int i) {
        const Attempt attempt = attempts.takeAt(i);
#ifdef Q_OS_WIN
        ::WSAEventSelect(attempt.socket, nullptr, 0);
        ::WSACloseEvent(attempt.ended);
#endif
        return attempt.socket;
    }
};

Dialer::Dialer()
    : d(std::make_unique<Private>()) {
#ifndef Q_OS_WIN
    // Without it a stop wakes nobody, but then no socket could be made either.
    if (::pipe2(d->stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        d->stopPipe[0] = d->stopPipe[1] = -1;
#endif
}

Dialer::~Dialer() {
    while (!d->attempts.isEmpty())
        closeSocket(d->take(0));
#ifdef Q_OS_WIN
    ::WSACloseEvent(d->stopEvent);
#else
    for (const int end : d->stopPipe) {
        if (end >= 0)
            ::close(end);
    }
#endif
}

void Dialer::stop() {
    d->stopped = true;
#ifdef Q_OS_WIN
    ::WSASetEvent(d->stopEvent);
#else
    const char byte = 0;
    [[maybe_unused]] const ssize_t written = ::write(d->stopPipe[1], &byte, 1);
#endif
}

bool Dialer::stopped() const {
    return d->stopped;
}

int Dialer::pending() const {
    return d->attempts.size();
}

bool Dialer::dial(const QString &address, int port) {
    addrinfo hints = {};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(address.toLatin1().constData(), QByteArray::number(port).constData(), &hints,
                      &found) != 0)
        return false;
#ifdef Q_OS_WIN
    Private::Attempt attempt{::socket(found->ai_family, SOCK_STREAM, IPPROTO_TCP),
                             ::WSACreateEvent()};
    // Asked for before connect(), so that the end of the attempt cannot pass unseen; the socket
    // does not block from here on.
    const bool started = attempt.socket != CURL_SOCKET_BAD && attempt.ended != WSA_INVALID_EVENT &&
                         ::WSAEventSelect(attempt.socket, attempt.ended, FD_CONNECT) == 0 &&
                         (::connect(attempt.socket, found->ai_addr, int(found->ai_addrlen)) == 0 ||
                          ::WSAGetLastError() == WSAEWOULDBLOCK);
#else
    Private::Attempt attempt{
        ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP)};
    const bool started =
        attempt.socket != CURL_SOCKET_BAD &&
        (::connect(attempt.socket, found->ai_addr, found->ai_addrlen) == 0 || errno == EINPROGRESS);
#endif
    ::freeaddrinfo(found);
    d->attempts << attempt;
    if (!started) {
        const curl_socket_t socket = d->take(d->attempts.size() - 1);
        if (socket != CURL_SOCKET_BAD)
            closeSocket(socket);
    }
    return started;
}

curl_socket_t Dialer::wait(int ms, bool *failed) {
    *failed = false;
    ms = qMax(ms, 0);
#ifdef Q_OS_WIN
    std::vector<WSAEVENT> events{d->stopEvent};
    for (const Private::Attempt &attempt : qAsConst(d->attempts))
        events.push_back(attempt.ended);
    // A stop comes first when other events came with it.
    const DWORD woke =
        ::WSAWaitForMultipleEvents(DWORD(events.size()), events.data(), FALSE, DWORD(ms), FALSE);
    if (woke == WSA_WAIT_TIMEOUT || woke == WSA_WAIT_FAILED || woke == WSA_WAIT_EVENT_0)
        return CURL_SOCKET_BAD;
#else
    std::vector<pollfd> entries{{d->stopPipe[0], POLLIN, 0}};
    for (const Private::Attempt &attempt : qAsConst(d->attempts))
        entries.push_back({attempt.socket, POLLOUT, 0});
    if (::poll(entries.data(), nfds_t(entries.size()), ms) <= 0 || entries.front().revents)
        return CURL_SOCKET_BAD;
#endif
    // Each attempt is asked once: on Windows, asking clears the answer. From the last to the
    // first, so that of two connected at once the one started first wins.
    curl_socket_t connected = CURL_SOCKET_BAD;
    for (int i = d->attempts.size() - 1; i >= 0; --i) {
        int error = 0;
        if (!d->ended(i, &error))
            continue;
        const curl_socket_t socket = d->take(i);
        if (error != 0) {
            closeSocket(socket);
            *failed = true;
            continue;
        }
        if (connected != CURL_SOCKET_BAD)
            closeSocket(connected);
        connected = socket;
    }
    if (connected != CURL_SOCKET_BAD) {
        while (!d->attempts.isEmpty())
            closeSocket(d->take(0));
    }
    return connected;
}

} // namespace SystemNet
