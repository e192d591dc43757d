#pragma once

#include "systemnet.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <memory>

// Finds the mail server and the first of its addresses that answers, as RFC 8305 ("Happy
// Eyeballs") has it: connections are tried in turn, the families alternating, the next one when
// the last has not connected after 250 ms, or at once when it failed. The first one made wins and
// every attempt is closed: curl 7.88 cannot take over a connected socket on Windows (it connects
// it again and fails), so curl makes its own connection to the winning address. An address whose
// packets are dropped in silence thus costs a quarter of a second, not the connection limit.
class Connector {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds attemptDelay{250};

    struct Connection {
        // CURLE_OK, or why there is no connection in curl's terms: its code and its kind of words.
        CURLcode result = CURLE_COULDNT_CONNECT;
        QString detail;
        // Numeric: the address that answered first and ours that reached it.
        QString server;
        QString local;
        QString ownName; // our canonical host name, when it was found in time
    };

    Connector();
    ~Connector();

    // Any thread: connect() returns at once, now or when it comes.
    void stop();

    // Looks host up and races its addresses, all by the deadline. The lookup runs on a helper
    // thread that nobody waits for after a stop, since a lookup cannot be interrupted. Our own
    // name, looked up there once per process, gets a second at most once the server is known:
    // without it we greet with an address literal.
    Connection connect(const QByteArray &host, int port, Clock::time_point deadline);

private:
    Connection race(const QStringList &addresses, int port, Clock::time_point deadline);

    struct Lookup; // shared with the helper thread
    std::shared_ptr<Lookup> m_lookup;
    SystemNet::Dialer m_dialer;
};
