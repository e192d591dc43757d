#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <curl/curl.h>

#include <memory>

// What the client asks of the system's network layer itself, the one place where Windows and
// POSIX differ. Windows needs WSAStartup() before any of this, which curl_global_init() has done.
namespace SystemNet {

// The mail server's numeric addresses in the system's order; none when the name is unknown.
// Blocks for as long as the system's name lookup takes, which nothing can interrupt: call it on a
// thread that nobody waits for.
QStringList lookUp(const QByteArray &host, int port);

// For tests: the numeric addresses lookUp() gives for host instead of the system's; none to
// forget them.
void setTestAddresses(const QByteArray &host, const QStringList &addresses);

// Our name as "hostname -f" finds it: the canonical name of the host name, else the host name.
// May block like lookUp().
QString canonicalHostName();

// The numeric addresses of the two ends of a connected socket; empty when unknown.
QString localAddress(curl_socket_t socket);
QString peerAddress(curl_socket_t socket);

int closeSocket(curl_socket_t socket);

// Ends both directions of a connected socket; whoever waits on it wakes at once.
void shutDown(curl_socket_t socket);

// Connections being made side by side without blocking, waited for together with a stop that
// another thread may give at any time.
class Dialer {
public:
    Dialer();
    ~Dialer(); // closes the sockets of the attempts still under way
    Dialer(const Dialer &) = delete;
    Dialer &operator=(const Dialer &) = delete;

    // Any thread: wait() returns at once, now and ever after.
    void stop();
    bool stopped() const;

    // Starts connecting to a numeric address; false when that failed at once (refused, no route).
    bool dial(const QString &address, int port);
    int pending() const;

    // Waits at most ms for an attempt to end. Gives up the socket of one that connected (it does
    // not block; the caller closes it) and closes every other attempt; else CURL_SOCKET_BAD, and
    // *failed tells whether an attempt failed meanwhile. Failed attempts are closed.
    curl_socket_t wait(int ms, bool *failed);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace SystemNet
