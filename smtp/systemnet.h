#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <curl/curl.h>

// What the client asks of the system's network layer itself, the one place where Windows and
// POSIX differ. Windows needs WSAStartup() before any of this, which curl_global_init() has done.
namespace SystemNet {

struct Addresses {
    QStringList server; // numeric, in the system's order; empty when the name is unknown
    QString local;      // the local address that reaches the first reachable one
};

// The mail server's addresses and the local address a connection to it uses. Blocks for as long
// as the system's name lookup takes, which nothing can interrupt: call it on a thread that nobody
// waits for.
Addresses lookUp(const QByteArray &host, int port);

// Our name as "hostname -f" finds it: the canonical name of the host name, else the host name.
// May block like lookUp().
QString canonicalHostName();

int closeSocket(curl_socket_t socket);

// Ends both directions of a connected socket; whoever waits on it wakes at once.
void shutDown(curl_socket_t socket);

} // namespace SystemNet
