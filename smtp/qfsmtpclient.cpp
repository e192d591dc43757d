#include "qfsmtpclient.h"

#include "connector.h"
#include "mailformat.h"
#include "mailmessage.h"
#include "smtpdialogue.h"
#include "systemnet.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QRegularExpression>
#include <QSet>
#include <QUrl>

#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using Clock = Connector::Clock;

constexpr int defaultTimeoutMs = 30000;
constexpr int minimumTimeoutMs = 100;

int nextClientId() {
    static int lastId = 0;
    return ++lastId;
}

bool curlReady() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

int timeoutOrDefault(int ms) {
    return ms <= 0 ? defaultTimeoutMs : qMax(ms, minimumTimeoutMs);
}

QString curlText(CURLcode code, const QString &detail) {
    const QString text = QString::fromUtf8(curl_easy_strerror(code));
    const QString more = detail.trimmed();
    return more.isEmpty() || more == text ? text : text + QStringLiteral(": ") + more;
}

QString bracketedIfIpv6(const QString &host) {
    return host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
}

// Everything the worker needs, copied when the send starts.
struct Job {
    QString server;
    int port = 0;
    QFSmtpClient::SocketType socketType = QFSmtpClient::TlsSocket;
    QString login;
    QString password;
    MailContent content;
    int connectTimeoutMs = defaultTimeoutMs;
    int stallTimeoutMs = defaultTimeoutMs;
    QString caFile;
};

// What the client's thread may do to a running send: stop it, which wakes the worker wherever it
// waits.
class Control {
public:
    void stop() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
        if (m_wake)
            m_wake();
    }

    bool stopped() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_stopped;
    }

    // How a stop wakes the worker where it waits now (the connector, curl); at once when it came
    // before. Empty once that wait is over.
    void onStop(const std::function<void()> &wake) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_wake = wake;
        if (m_stopped && m_wake)
            m_wake();
    }

private:
    std::mutex m_mutex;
    bool m_stopped = false;
    std::function<void()> m_wake;
};

// One SMTP dialogue with curl's multi interface, run on the worker thread from start to end.
class Transfer {
    Q_DECLARE_TR_FUNCTIONS(QFSmtpClient)

public:
    using Report = std::function<void(int stage, const QString &text)>;

    Transfer(const Job &job, Control &control, Report report)
        : m_job(job)
        , m_control(control)
        , m_report(std::move(report)) {}

    ~Transfer() {
        if (m_easy)
            curl_easy_cleanup(m_easy);
        curl_mime_free(m_mime);
        curl_slist_free_all(m_headers);
        curl_slist_free_all(m_recipients);
        curl_slist_free_all(m_resolve);
    }

    // Returns why the mail did not go out, in Czech; empty when the server accepted it.
    QString run() {
        QString problem = prepare();
        if (!problem.isEmpty())
            return problem;
        m_report(
            QFSmtpClient::StatusConnecting,
            tr("Připojování k serveru %1:%2 …").arg(bracketedIfIpv6(m_job.server)).arg(m_job.port));
        const Clock::time_point deadline =
            Clock::now() + std::chrono::milliseconds(m_job.connectTimeoutMs);
        Connector connector;
        m_control.onStop([&connector] { connector.stop(); });
        const Connector::Connection connection = connector.connect(m_host, m_job.port, deadline);
        m_control.onStop(nullptr);
        if (connection.result != CURLE_OK)
            return failureText(connection.result, connection.detail);
        problem = aim(connection, deadline);
        if (!problem.isEmpty())
            return problem;
        const CURLcode code = perform();
        if (code == CURLE_OK)
            return QString();
        if (m_stalled)
            return tr("server přestal odpovídat (%1 s bez odezvy)")
                       .arg(QString::number(m_job.stallTimeoutMs / 1000.0, 'f', 1)) +
                   tr(" (kód %1)").arg(int(CURLE_OPERATION_TIMEDOUT));
        return failureText(code, QString::fromUtf8(m_errorBuffer));
    }

private:
    // Builds the curl handles; returns a Czech description of what is wrong, empty when fine.
    QString prepare() {
        if (!curlReady())
            return tr("knihovnu curl nelze inicializovat");

        const QFSmtpClient::SocketType type = m_job.socketType;
        if (type != QFSmtpClient::PlainSocket && type != QFSmtpClient::TlsSocket &&
            type != QFSmtpClient::StartTlsSocket)
            return tr("neznámý typ zabezpečení spojení (%1)").arg(int(type));
        m_scheme = type == QFSmtpClient::TlsSocket ? "smtps" : "smtp";

        static const QRegularExpression hostChars(QStringLiteral("^[A-Za-z0-9.:-]+$"));
        m_host = QUrl::toAce(m_job.server);
        if (m_job.server.isEmpty() || !hostChars.match(QString::fromLatin1(m_host)).hasMatch())
            return tr("neplatný název serveru „%1“").arg(m_job.server);
        if (m_job.port < 1 || m_job.port > 65535)
            return tr("neplatný port serveru %1").arg(m_job.port);

        const QString fromAddress = MailFormat::extractAddress(m_job.content.from);
        if (!MailFormat::isValidAddress(fromAddress))
            return tr("neplatná adresa odesílatele „%1“").arg(m_job.content.from);
        const QStringList toList = MailFormat::splitAddressList(m_job.content.to);
        if (toList.isEmpty())
            return tr("chybí adresa příjemce");
        for (const QString &mailbox : toList) {
            const QString address = MailFormat::extractAddress(mailbox);
            if (!MailFormat::isValidAddress(address))
                return tr("neplatná adresa příjemce „%1“").arg(mailbox);
            m_recipients =
                curl_slist_append(m_recipients, ('<' + address.toUtf8() + '>').constData());
        }

        QByteArray caBundle;
        if (!m_job.caFile.isEmpty()) {
            QFile extra(m_job.caFile);
            if (!extra.open(QIODevice::ReadOnly))
                return tr("nelze načíst soubor s certifikáty „%1“: %2")
                    .arg(m_job.caFile, extra.errorString());
            caBundle = extra.readAll();
        }

        m_easy = curl_easy_init();
        m_mime = m_easy ? curl_mime_init(m_easy) : nullptr;
        if (!m_mime)
            return tr("nedostatek paměti");

        if (!caBundle.isEmpty()) {
            // The blob replaces curl's default bundle file, so put the system's bundle in front
            // of the extra certificates (the default CA directory stays in use as well).
            char *systemBundle = nullptr;
            curl_easy_getinfo(m_easy, CURLINFO_CAINFO, &systemBundle);
            if (systemBundle) {
                QFile system(QString::fromLocal8Bit(systemBundle));
                if (system.open(QIODevice::ReadOnly))
                    caBundle = system.readAll() + '\n' + caBundle;
            }
        }

        set(CURLOPT_ERRORBUFFER, m_errorBuffer);
        set(CURLOPT_PROTOCOLS_STR, m_scheme.constData());
        set(CURLOPT_USE_SSL,
            long(type == QFSmtpClient::PlainSocket ? CURLUSESSL_NONE : CURLUSESSL_ALL));
        set(CURLOPT_SSL_VERIFYPEER, 1L);
        set(CURLOPT_SSL_VERIFYHOST, 2L);
        if (type != QFSmtpClient::PlainSocket) {
            set(CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
            // Schannel checks revocation and fails when the revocation servers cannot be
            // reached, which many offices block; a certificate known to be revoked still fails.
            set(CURLOPT_SSL_OPTIONS, long(CURLSSLOPT_REVOKE_BEST_EFFORT));
        }
        if (!caBundle.isEmpty()) {
            curl_blob blob{caBundle.data(), size_t(caBundle.size()), CURL_BLOB_COPY};
            set(CURLOPT_CAINFO_BLOB, &blob);
        }
        set(CURLOPT_NOSIGNAL, 1L);
        // Should curl look a name up itself after all (a proxy), a stop does not wait for that.
        set(CURLOPT_QUICK_EXIT, 1L);
        // A fresh connection that is closed afterwards, so QUIT is sent and nothing lingers.
        set(CURLOPT_FORBID_REUSE, 1L);
        set(CURLOPT_FRESH_CONNECT, 1L);
        // curl's waits inside one call (for the reply to the message, to QUIT) ask the progress
        // callback once a second whether to go on.
        set(CURLOPT_NOPROGRESS, 0L);
        // The sockets curl has open, kept by the worker thread alone for the progress callback.
        set(
            CURLOPT_SOCKOPTFUNCTION, +[](void *self, curl_socket_t socket, curlsocktype) {
                static_cast<Transfer *>(self)->m_sockets.insert(socket);
                return int(CURL_SOCKOPT_OK);
            });
        set(CURLOPT_SOCKOPTDATA, this);
        set(
            CURLOPT_CLOSESOCKETFUNCTION, +[](void *self, curl_socket_t socket) {
                static_cast<Transfer *>(self)->m_sockets.remove(socket);
                return SystemNet::closeSocket(socket);
            });
        set(CURLOPT_CLOSESOCKETDATA, this);
        set(CURLOPT_XFERINFOFUNCTION, &Transfer::progressCallback);
        set(CURLOPT_XFERINFODATA, this);
        set(CURLOPT_VERBOSE, 1L);
        set(
            CURLOPT_DEBUGFUNCTION,
            +[](CURL *, curl_infotype kind, char *data, size_t size, void *self) {
                static_cast<Transfer *>(self)->onTraffic(kind, QByteArray(data, int(size)));
                return 0;
            });
        set(CURLOPT_DEBUGDATA, this);
        if (!m_job.login.isEmpty()) {
            set(CURLOPT_USERNAME, m_job.login.toUtf8().constData());
            set(CURLOPT_PASSWORD, m_job.password.toUtf8().constData());
        }
        set(CURLOPT_MAIL_FROM, ('<' + fromAddress.toUtf8() + '>').constData());
        set(CURLOPT_MAIL_RCPT, m_recipients);

        const CURLcode built = buildMessage(m_job.content, fromAddress, &m_headers, m_mime);
        if (built != CURLE_OK)
            return built == CURLE_OUT_OF_MEMORY ? tr("nedostatek paměti")
                                                : curlText(built, QString::fromUtf8(m_errorBuffer));
        set(CURLOPT_HTTPHEADER, m_headers);
        set(CURLOPT_MIMEPOST, m_mime);
        return setFailure();
    }

    // Numbers are logged: they are the switches and limits, never a credential.
    template <typename Value> void set(CURLoption option, Value value) {
        if constexpr (std::is_same_v<Value, long>) {
            const curl_easyoption *known = curl_easy_option_by_id(option);
            qCDebug(lcSmtp).noquote() << "curl:" << (known ? known->name : "?") << '=' << value;
        }
        if (m_setResult == CURLE_OK)
            m_setResult = curl_easy_setopt(m_easy, option, value);
    }

    QString setFailure() const {
        return m_setResult == CURLE_OK ? QString()
                                       : curlText(m_setResult, QString::fromUtf8(m_errorBuffer));
    }

    // curl takes our EHLO name from the URL before it connects, and that name is the local
    // address that reached the server first: so curl connects to that server address alone,
    // given by us instead of looked up.
    QString aim(const Connector::Connection &connection, Clock::time_point deadline) {
        const QByteArray port = QByteArray::number(m_job.port);
        // curl never looks up an IPv6 literal, and an entry for one could not be read.
        if (!m_host.contains(':')) {
            const QByteArray entry =
                m_host + ':' + port + ':' + bracketedIfIpv6(connection.server).toLatin1();
            m_resolve = curl_slist_append(nullptr, entry.constData());
            set(CURLOPT_RESOLVE, m_resolve);
        }
        const QByteArray greeting = MailFormat::greetingName(connection.ownName, connection.local);
        const QByteArray url = m_scheme + "://" + bracketedIfIpv6(m_host).toLatin1() + ':' + port +
                               '/' + (greeting.isEmpty() ? "localhost" : greeting);
        set(CURLOPT_URL, url.constData());
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        set(CURLOPT_CONNECTTIMEOUT_MS, long(std::max<qint64>(1, left.count())));
        return setFailure();
    }

    // Runs the transfer to its end. A stop wakes curl_multi_poll(), and the next
    // curl_multi_perform() asks the progress callback, which ends the transfer (removing a running
    // one instead would make curl end the message and wait for the server's reply).
    CURLcode perform() {
        CURLM *multi = curl_multi_init();
        if (!multi)
            return CURLE_OUT_OF_MEMORY;
        curl_multi_add_handle(multi, m_easy);
        m_control.onStop([multi] { curl_multi_wakeup(multi); });
        int running = 1;
        while (running && curl_multi_perform(multi, &running) == CURLM_OK && running)
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        CURLcode result = CURLE_ABORTED_BY_CALLBACK;
        int queued = 0;
        while (const CURLMsg *message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE)
                result = message->data.result;
        }
        m_control.onStop(nullptr);
        curl_multi_remove_handle(multi, m_easy);
        curl_multi_cleanup(multi);
        return result;
    }

    // Non-zero ends the transfer: when asked to stop, or when the server has been silent too
    // long. The stall clock starts with the first traffic, or once TLS is up, since Schannel
    // reports no handshake traffic; until then the connect limit applies.
    static int progressCallback(void *self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        auto *transfer = static_cast<Transfer *>(self);
        QElapsedTimer &silence = transfer->m_sinceTraffic;
        curl_off_t tlsUpAfter = 0;
        if (!silence.isValid() &&
            curl_easy_getinfo(transfer->m_easy, CURLINFO_APPCONNECT_TIME_T, &tlsUpAfter) ==
                CURLE_OK &&
            tlsUpAfter > 0)
            silence.start();
        if (silence.isValid() && silence.hasExpired(transfer->m_job.stallTimeoutMs))
            transfer->m_stalled = true;
        if (!transfer->m_stalled && !transfer->m_control.stopped())
            return 0;
        // Otherwise curl would still end the message or say QUIT, waiting a second for each reply.
        for (const curl_socket_t socket : transfer->m_sockets)
            SystemNet::shutDown(socket);
        return 1;
    }

    // Everything but curl's own remarks is traffic.
    void onTraffic(curl_infotype type, const QByteArray &data) {
        if (type == CURLINFO_TEXT)
            return;
        if (type == CURLINFO_HEADER_IN)
            m_dialogue.serverSaid(data);
        else if (type == CURLINFO_HEADER_OUT)
            reach(m_dialogue.clientSaid(data.trimmed()));
        m_sinceTraffic.start();
    }

    void reach(int stage) {
        if (stage <= m_lastStage)
            return;
        m_lastStage = stage;
        m_report(stage, stage == QFSmtpClient::StatusAuthenticating ? tr("Přihlašování k serveru …")
                                                                    : tr("Odesílání zprávy …"));
    }

    QString failureText(CURLcode code, const QString &detail = QString()) const {
        long responseCode = 0;
        curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &responseCode);
        return m_dialogue.failureText(int(code), curlText(code, detail), responseCode,
                                      m_job.server);
    }

    const Job &m_job;
    Control &m_control;
    const Report m_report;

    QByteArray m_scheme;
    QByteArray m_host; // ACE form
    CURL *m_easy = nullptr;
    curl_mime *m_mime = nullptr;
    curl_slist *m_headers = nullptr;
    curl_slist *m_recipients = nullptr;
    curl_slist *m_resolve = nullptr;
    CURLcode m_setResult = CURLE_OK;
    char m_errorBuffer[CURL_ERROR_SIZE] = {};

    QSet<curl_socket_t> m_sockets;
    SmtpDialogue m_dialogue;
    QElapsedTimer m_sinceTraffic;
    bool m_stalled = false;
    int m_lastStage = 0;
};

// Clients whose worker runs. Destroying the application object deletes them, which stops and
// joins their workers before the libraries those use are torn down at exit.
QSet<QFSmtpClient *> &sendingClients() {
    static QSet<QFSmtpClient *> clients;
    return clients;
}

void deleteSendingClients() {
    qDeleteAll(QSet<QFSmtpClient *>(sendingClients()));
}

} // namespace

struct QFSmtpClient::Private {
    QFSmtpClient *q = nullptr;
    const int id = nextClientId();
    Job job;
    Control control;
    bool started = false;
    std::thread worker;

    void start() {
        static const bool cleanupAdded = (qAddPostRoutine(deleteSendingClients), true);
        Q_UNUSED(cleanupAdded);
        curlReady(); // curl's global set-up is not safe to run on two threads at once
        sendingClients().insert(q);
        worker = std::thread([this, job = job] {
            auto report = [this](int stage, const QString &text) {
                QMetaObject::invokeMethod(
                    q, [this, stage, text] { emit q->status(id, stage, text); },
                    Qt::QueuedConnection);
            };
            // The transfer and its curl handles are gone before finish() joins this thread.
            const QString failure = Transfer(job, control, report).run();
            QMetaObject::invokeMethod(
                q, [this, failure] { finish(failure); }, Qt::QueuedConnection);
        });
    }

    // Runs in the client's thread once the worker has nothing left to do.
    void finish(const QString &failure) {
        stop();
        QPointer<QFSmtpClient> alive(q);
        if (failure.isEmpty()) {
            emit q->status(id, StatusSent, tr("Zpráva byla odeslána."));
            if (alive)
                emit q->sent(id, StatusSent);
        } else {
            emit q->status(id, StatusFailed, tr("Odeslání se nezdařilo: ") + failure);
        }
        if (alive)
            q->deleteLater();
    }

    void stop() {
        if (!worker.joinable())
            return;
        control.stop();
        worker.join();
        sendingClients().remove(q);
    }
};

QFSmtpClient::QFSmtpClient(const QString &server, int port, SocketType socketType)
    : d(std::make_unique<Private>()) {
    d->q = this;
    d->job.server = server.trimmed();
    d->job.port = port;
    d->job.socketType = socketType;
}

QFSmtpClient::~QFSmtpClient() {
    d->stop();
}

void QFSmtpClient::setContent(const QString &from, const QString &to, const QString &subject,
                              const QString &body, const QList<Attachment> &attachments) {
    d->job.content = {from, to, subject, body, attachments};
}

void QFSmtpClient::setConnectTimeout(int ms) {
    d->job.connectTimeoutMs = timeoutOrDefault(ms);
}

void QFSmtpClient::setStallTimeout(int ms) {
    d->job.stallTimeoutMs = timeoutOrDefault(ms);
}

void QFSmtpClient::setCaFile(const QString &path) {
    d->job.caFile = path;
}

int QFSmtpClient::clientId() const {
    return d->id;
}

void QFSmtpClient::sendAndDestroy() {
    if (d->started)
        return;
    d->started = true;
    d->job.login = params.value(QStringLiteral("login")).toString();
    d->job.password = params.value(QStringLiteral("password")).toString();
    d->start();
}
