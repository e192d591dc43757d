#include "connector.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace {

// Windows waits for at most 64 things at once; no mail server has that many addresses.
constexpr int maxAttempts = 60;

bool isIpv6(const QString &address) {
    return address.contains(QLatin1Char(':'));
}

// The families alternate, the system's first choice first.
QStringList attemptOrder(const QStringList &addresses) {
    QStringList preferred;
    QStringList other;
    for (const QString &address : addresses)
        (isIpv6(address) == isIpv6(addresses.first()) ? preferred : other) << address;
    QStringList order;
    for (int i = 0; i < std::max(preferred.size(), other.size()); ++i) {
        if (i < preferred.size())
            order << preferred.at(i);
        if (i < other.size())
            order << other.at(i);
    }
    return order.mid(0, maxAttempts);
}

Connector::Connection failure(CURLcode result, const QString &detail = QString()) {
    Connector::Connection connection;
    connection.result = result;
    connection.detail = detail;
    return connection;
}

} // namespace

struct Connector::Lookup {
    template <typename Value> void report(std::optional<Value> Lookup::*field, const Value &value) {
        std::lock_guard<std::mutex> lock(mutex);
        this->*field = value;
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool stopped = false;
    std::optional<QStringList> addresses;
    std::optional<QString> ownName;
};

Connector::Connector()
    : m_lookup(std::make_shared<Lookup>()) {
}

Connector::~Connector() = default;

void Connector::stop() {
    std::lock_guard<std::mutex> lock(m_lookup->mutex);
    m_lookup->stopped = true;
    m_lookup->changed.notify_all();
    m_dialer.stop();
}

Connector::Connection Connector::connect(const QByteArray &host, int port,
                                         Clock::time_point deadline) {
    const Clock::time_point started = Clock::now();
    const auto spentMs = [started] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started)
            .count();
    };
    std::thread([lookup = m_lookup, host, port] {
        lookup->report(&Lookup::addresses, SystemNet::lookUp(host, port));
        static const QString canonicalName = SystemNet::canonicalHostName();
        lookup->report(&Lookup::ownName, canonicalName);
    }).detach();
    std::unique_lock<std::mutex> lock(m_lookup->mutex);
    Lookup &found = *m_lookup;
    found.changed.wait_until(lock, deadline, [&found] { return found.stopped || found.addresses; });
    const Clock::time_point nameDeadline =
        std::min(deadline, Clock::now() + std::chrono::seconds(1));
    found.changed.wait_until(lock, nameDeadline,
                             [&found] { return found.stopped || found.ownName; });
    if (found.stopped)
        return failure(CURLE_ABORTED_BY_CALLBACK);
    if (!found.addresses)
        return failure(CURLE_OPERATION_TIMEDOUT,
                       QStringLiteral("Resolving timed out after %1 milliseconds").arg(spentMs()));
    if (found.addresses->isEmpty())
        return failure(CURLE_COULDNT_RESOLVE_HOST,
                       QStringLiteral("Could not resolve host: ") + QString::fromLatin1(host));
    const QStringList addresses = *found.addresses;
    const QString ownName = found.ownName.value_or(QString());
    lock.unlock();

    Connection connection = race(addresses, port, deadline);
    connection.ownName = ownName;
    if (connection.result != CURLE_OK && connection.result != CURLE_ABORTED_BY_CALLBACK)
        connection.detail = QStringLiteral("Failed to connect to %1 port %2 after %3 ms")
                                .arg(QString::fromLatin1(host))
                                .arg(port)
                                .arg(spentMs());
    return connection;
}

Connector::Connection Connector::race(const QStringList &addresses, int port,
                                      Clock::time_point deadline) {
    const QStringList order = attemptOrder(addresses);
    int next = 0;
    Clock::time_point nextAttempt = Clock::now();
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (m_dialer.stopped())
            return failure(CURLE_ABORTED_BY_CALLBACK);
        if (now >= deadline)
            return failure(CURLE_OPERATION_TIMEDOUT);
        if (next < order.size() && (now >= nextAttempt || m_dialer.pending() == 0)) {
            if (m_dialer.dial(order.at(next++), port))
                nextAttempt = now + attemptDelay;
            continue;
        }
        if (m_dialer.pending() == 0)
            return failure(CURLE_COULDNT_CONNECT);
        const Clock::time_point until =
            next < order.size() ? std::min(nextAttempt, deadline) : deadline;
        bool failed = false;
        const curl_socket_t socket = m_dialer.wait(
            int(std::chrono::ceil<std::chrono::milliseconds>(until - now).count()), &failed);
        if (socket != CURL_SOCKET_BAD) {
            Connection connection;
            connection.result = CURLE_OK;
            connection.server = SystemNet::peerAddress(socket);
            connection.local = SystemNet::localAddress(socket);
            SystemNet::closeSocket(socket);
            return connection;
        }
        // The next address need not wait for an attempt that has failed.
        if (failed)
            nextAttempt = now;
    }
}
