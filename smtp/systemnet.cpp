#include "systemnet.h"

#include <QHash>

#include <algorithm>
#include <mutex>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
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

// Empty when the system has no route to address. Connecting a UDP socket sends nothing.
QString localAddressFor(const addrinfo &address) {
    const curl_socket_t udp = ::socket(address.ai_family, SOCK_DGRAM, IPPROTO_UDP);
    if (udp == CURL_SOCKET_BAD)
        return QString();
    sockaddr_storage local = {};
    socklen_t length = sizeof local;
    const bool known = ::connect(udp, address.ai_addr, socklen_t(address.ai_addrlen)) == 0 &&
                       ::getsockname(udp, reinterpret_cast<sockaddr *>(&local), &length) == 0;
    closeSocket(udp);
    return known ? numericAddress(reinterpret_cast<sockaddr *>(&local), length) : QString();
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

QList<Family> lookUp(const QByteArray &host, int port) {
    std::unique_lock<std::mutex> lock(testMutex);
    const QStringList given = testHosts.value(host);
    lock.unlock();
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    QList<Family> families;
    for (const QString &name : given.isEmpty() ? QStringList{QString::fromLatin1(host)} : given) {
        addrinfo *found = nullptr;
        if (::getaddrinfo(name.toLatin1().constData(), QByteArray::number(port).constData(), &hints,
                          &found) != 0)
            continue;
        for (const addrinfo *entry = found; entry; entry = entry->ai_next) {
            auto family = std::find_if(families.begin(), families.end(), [entry](const Family &f) {
                return f.id == entry->ai_family;
            });
            if (family == families.end())
                family = families.insert(families.end(), Family{entry->ai_family, {}, {}});
            family->servers << numericAddress(entry->ai_addr, socklen_t(entry->ai_addrlen));
            if (family->local.isEmpty())
                family->local = localAddressFor(*entry);
        }
        ::freeaddrinfo(found);
    }
    return families;
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

} // namespace SystemNet
