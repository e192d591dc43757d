#include "systemnet.h"

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

Addresses lookUp(const QByteArray &host, int port) {
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    Addresses addresses;
    if (::getaddrinfo(host.constData(), QByteArray::number(port).constData(), &hints, &found) != 0)
        return addresses;
    for (const addrinfo *entry = found; entry; entry = entry->ai_next) {
        addresses.server << numericAddress(entry->ai_addr, socklen_t(entry->ai_addrlen));
        if (addresses.local.isEmpty())
            addresses.local = localAddressFor(*entry);
    }
    ::freeaddrinfo(found);
    return addresses;
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
