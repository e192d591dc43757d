#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <curl/curl.h>

// What the client asks of the system's network layer itself, the one place where Windows and
// POSIX differ. Windows needs WSAStartup() before any of this, which curl_global_init() has done.
namespace SystemNet {

// The addresses of one family (IPv4, IPv6), numeric, in the system's order, and the local address
// that reaches the first reachable one (empty when none is).
struct Family {
    int id = 0;
    QStringList servers;
    QString local;
};

// The mail server's addresses by family, the family of the system's first address first; none
// when the name is unknown. Blocks for as long as the system's name lookup takes, which nothing
// can interrupt: call it on a thread that nobody waits for.
QList<Family> lookUp(const QByteArray &host, int port);

// For tests: the numeric addresses lookUp() gives for host instead of the system's; none to
// forget them.
void setTestAddresses(const QByteArray &host, const QStringList &addresses);

// Our name as "hostname -f" finds it: the canonical name of the host name, else the host name.
// May block like lookUp().
QString canonicalHostName();

int closeSocket(curl_socket_t socket);

// Ends both directions of a connected socket; whoever waits on it wakes at once.
void shutDown(curl_socket_t socket);

} // namespace SystemNet
