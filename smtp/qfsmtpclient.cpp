#include "qfsmtpclient.h"

#include "mailformat.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QPointer>
#include <QRegularExpression>
#include <QSet>
#include <QSysInfo>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#ifndef Q_OS_WIN
#include <sys/socket.h>
#include <unistd.h>
#endif

// Server replies and our commands (never the login exchange) for diagnosing a failing server:
// enable with QT_LOGGING_RULES="zirave.smtp.debug=true".
Q_LOGGING_CATEGORY(lcSmtp, "zirave.smtp", QtWarningMsg)

namespace {

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

QString tr(const char *text) {
    return QFSmtpClient::tr(text);
}

// Our name in EHLO. Servers dislike names that are not domain-like, so anything odd becomes
// "localhost".
QByteArray ehloName() {
    static const QRegularExpression hostName(
        QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$"));
    const QString name = QSysInfo::machineHostName();
    return hostName.match(name).hasMatch() ? name.toLatin1() : QByteArrayLiteral("localhost");
}

QString curlText(CURLcode code, const char *errorBuffer) {
    QString text = QString::fromUtf8(curl_easy_strerror(code));
    const QString detail = QString::fromUtf8(errorBuffer).trimmed();
    if (!detail.isEmpty() && detail != text)
        text += QStringLiteral(": ") + detail;
    return text;
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
    QString from;
    QString to;
    QString subject;
    QString body;
    QList<QFSmtpClient::Attachment> attachments;
    int connectTimeoutMs = defaultTimeoutMs;
    int stallTimeoutMs = defaultTimeoutMs;
    QString caFile;
};

// The one thing another thread may do to a running transfer: stop it. curl waits for some replies
// in poll() for up to a second between looks at its progress callback, so the connection's sockets
// are shut down as well, which wakes it at once. A socket is closed only under the lock, so a
// shutdown never reaches a number the system has handed out again.
class Abort {
public:
    void request() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requested = true;
        for (curl_socket_t socket : m_sockets)
            shutdownSocket(socket);
    }

    bool requested() const { return m_requested; }

    static curl_socket_t openCallback(void *self, curlsocktype, curl_sockaddr *address) {
        return static_cast<Abort *>(self)->open(*address);
    }

    static int closeCallback(void *self, curl_socket_t socket) {
        return static_cast<Abort *>(self)->close(socket);
    }

private:
    curl_socket_t open(const curl_sockaddr &address) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_requested)
            return CURL_SOCKET_BAD;
        const curl_socket_t socket = ::socket(address.family, address.socktype, address.protocol);
        if (socket != CURL_SOCKET_BAD)
            m_sockets.push_back(socket);
        return socket;
    }

    int close(curl_socket_t socket) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sockets.erase(std::remove(m_sockets.begin(), m_sockets.end(), socket), m_sockets.end());
#ifdef Q_OS_WIN
        return ::closesocket(socket);
#else
        return ::close(socket);
#endif
    }

    static void shutdownSocket(curl_socket_t socket) {
#ifdef Q_OS_WIN
        ::shutdown(socket, SD_BOTH);
#else
        ::shutdown(socket, SHUT_RDWR);
#endif
    }

    std::atomic<bool> m_requested{false};
    std::mutex m_mutex;
    std::vector<curl_socket_t> m_sockets;
};

// One SMTP dialogue with curl's easy interface, run on the worker thread from start to end.
class Transfer {
public:
    using Report = std::function<void(int stage, const QString &text)>;

    Transfer(const Job &job, Abort &abort, Report report)
        : m_job(job)
        , m_abort(abort)
        , m_report(std::move(report)) {}

    ~Transfer() {
        if (m_easy)
            curl_easy_cleanup(m_easy);
        curl_mime_free(m_mime);
        curl_slist_free_all(m_headers);
        curl_slist_free_all(m_recipients);
    }

    // Returns why the mail did not go out, in Czech; empty when the server accepted it.
    QString run() {
        const QString problem = prepare();
        if (!problem.isEmpty())
            return problem;
        m_report(
            QFSmtpClient::StatusConnecting,
            tr("Připojování k serveru %1:%2 …").arg(bracketedIfIpv6(m_job.server)).arg(m_job.port));
        const CURLcode code = curl_easy_perform(m_easy);
        if (code == CURLE_OK)
            return QString();
        if (m_stalled)
            return tr("server přestal odpovídat (%1 s bez odezvy)")
                       .arg(QString::number(m_job.stallTimeoutMs / 1000.0, 'f', 1)) +
                   tr(" (kód %1)").arg(int(CURLE_OPERATION_TIMEDOUT));
        return failureText(code);
    }

private:
    // Builds the curl handles; returns a Czech description of what is wrong, empty when fine.
    QString prepare() {
        if (!curlReady())
            return tr("knihovnu curl nelze inicializovat");

        QByteArray scheme;
        curl_usessl useSsl = CURLUSESSL_ALL;
        switch (m_job.socketType) {
        case QFSmtpClient::PlainSocket:
            scheme = "smtp";
            useSsl = CURLUSESSL_NONE;
            break;
        case QFSmtpClient::TlsSocket:
            scheme = "smtps";
            break;
        case QFSmtpClient::StartTlsSocket:
            scheme = "smtp";
            break;
        default:
            return tr("neznámý typ zabezpečení spojení (%1)").arg(int(m_job.socketType));
        }

        static const QRegularExpression hostChars(QStringLiteral("^[A-Za-z0-9.:-]+$"));
        const QString ace = QString::fromLatin1(QUrl::toAce(m_job.server));
        if (m_job.server.isEmpty() || !hostChars.match(ace).hasMatch())
            return tr("neplatný název serveru „%1“").arg(m_job.server);
        if (m_job.port < 1 || m_job.port > 65535)
            return tr("neplatný port serveru %1").arg(m_job.port);

        const QString fromAddress = MailFormat::extractAddress(m_job.from);
        if (!MailFormat::isValidAddress(fromAddress))
            return tr("neplatná adresa odesílatele „%1“").arg(m_job.from);
        const QStringList toList = MailFormat::splitAddressList(m_job.to);
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

        const QByteArray url = scheme + "://" + bracketedIfIpv6(ace).toLatin1() + ':' +
                               QByteArray::number(m_job.port) + '/' + ehloName();

        CURLcode rc = CURLE_OK;
        auto set = [&](CURLoption option, auto value) {
            if (rc == CURLE_OK)
                rc = curl_easy_setopt(m_easy, option, value);
        };
        set(CURLOPT_ERRORBUFFER, m_errorBuffer);
        set(CURLOPT_URL, url.constData());
        set(CURLOPT_PROTOCOLS_STR, scheme.constData());
        set(CURLOPT_USE_SSL, long(useSsl));
        set(CURLOPT_SSL_VERIFYPEER, 1L);
        set(CURLOPT_SSL_VERIFYHOST, 2L);
        if (m_job.socketType != QFSmtpClient::PlainSocket)
            set(CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
        if (!caBundle.isEmpty()) {
            curl_blob blob{caBundle.data(), size_t(caBundle.size()), CURL_BLOB_COPY};
            set(CURLOPT_CAINFO_BLOB, &blob);
        }
        set(CURLOPT_NOSIGNAL, 1L);
        set(CURLOPT_CONNECTTIMEOUT_MS, long(m_job.connectTimeoutMs));
        // A fresh connection that is closed afterwards, so QUIT is sent and nothing lingers.
        set(CURLOPT_FORBID_REUSE, 1L);
        set(CURLOPT_FRESH_CONNECT, 1L);
        set(CURLOPT_OPENSOCKETFUNCTION, &Abort::openCallback);
        set(CURLOPT_OPENSOCKETDATA, &m_abort);
        set(CURLOPT_CLOSESOCKETFUNCTION, &Abort::closeCallback);
        set(CURLOPT_CLOSESOCKETDATA, &m_abort);
        // Called at least once a second while curl waits, also for the reply to the message.
        set(CURLOPT_NOPROGRESS, 0L);
        set(CURLOPT_XFERINFOFUNCTION, &Transfer::progressCallback);
        set(CURLOPT_XFERINFODATA, this);
        set(CURLOPT_VERBOSE, 1L);
        set(CURLOPT_DEBUGFUNCTION, &Transfer::debugCallback);
        set(CURLOPT_DEBUGDATA, this);
        if (!m_job.login.isEmpty()) {
            set(CURLOPT_USERNAME, m_job.login.toUtf8().constData());
            set(CURLOPT_PASSWORD, m_job.password.toUtf8().constData());
        }
        set(CURLOPT_MAIL_FROM, ('<' + fromAddress.toUtf8() + '>').constData());
        set(CURLOPT_MAIL_RCPT, m_recipients);

        const QString message = buildMessage(fromAddress);
        if (!message.isEmpty())
            return message;
        set(CURLOPT_HTTPHEADER, m_headers);
        set(CURLOPT_MIMEPOST, m_mime);
        return rc == CURLE_OK ? QString() : curlText(rc, m_errorBuffer);
    }

    QString buildMessage(const QString &fromAddress) {
        const QList<QByteArray> lines = {
            "Date: " + MailFormat::formatDate(QDateTime::currentDateTime()),
            "From: " + MailFormat::encodeMailbox(m_job.from, 6),
            "To: " + MailFormat::encodeAddressList(m_job.to, 4),
            "Subject: " + MailFormat::encodeHeaderText(m_job.subject, 9),
            "Message-ID: " + MailFormat::makeMessageId(fromAddress),
        };
        for (const QByteArray &line : lines)
            m_headers = curl_slist_append(m_headers, line.constData());

        // Text lines end in CRLF on the wire; the encoder keeps them as real line breaks.
        QString text = m_job.body;
        text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
        const QByteArray textBytes = text.toUtf8();

        CURLcode rc = CURLE_OK;
        auto check = [&rc](CURLcode result) {
            if (rc == CURLE_OK)
                rc = result;
        };
        curl_mimepart *part = curl_mime_addpart(m_mime);
        check(part ? CURLE_OK : CURLE_OUT_OF_MEMORY);
        if (part) {
            check(curl_mime_data(part, textBytes.constData(), size_t(textBytes.size())));
            check(curl_mime_type(part, "text/plain; charset=UTF-8"));
            check(curl_mime_encoder(part, "quoted-printable"));
        }
        for (const QFSmtpClient::Attachment &attachment : m_job.attachments) {
            const QString name = MailFormat::sanitizeFileName(attachment.fileName);
            part = curl_mime_addpart(m_mime);
            if (!part)
                return tr("nedostatek paměti");
            check(curl_mime_data(part, attachment.content.constData(),
                                 size_t(attachment.content.size())));
            check(curl_mime_filename(part, name.toUtf8().constData()));
            check(curl_mime_type(part, MailFormat::contentTypeForFileName(name).constData()));
            check(curl_mime_encoder(part, "base64"));
            const QByteArray disposition = MailFormat::attachmentDisposition(name);
            if (!disposition.isEmpty()) {
                curl_slist *partHeaders =
                    curl_slist_append(nullptr, ("Content-Disposition: " + disposition).constData());
                check(curl_mime_headers(part, partHeaders, 1));
            }
        }
        return rc == CURLE_OK ? QString() : curlText(rc, m_errorBuffer);
    }

    // Non-zero stops the transfer: when asked to, or when the server has been silent too long.
    // The stall clock starts with the first traffic; until then the connect limit applies.
    static int progressCallback(void *self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        auto *transfer = static_cast<Transfer *>(self);
        if (transfer->m_abort.requested())
            return 1;
        if (transfer->m_sinceTraffic.isValid() &&
            transfer->m_sinceTraffic.hasExpired(transfer->m_job.stallTimeoutMs)) {
            transfer->m_stalled = true;
            // Otherwise curl would still say QUIT and wait for its reply.
            transfer->m_abort.request();
            return 1;
        }
        return 0;
    }

    static int debugCallback(CURL *, curl_infotype type, char *data, size_t size, void *self) {
        static_cast<Transfer *>(self)->onTraffic(type, data, size);
        return 0;
    }

    void onTraffic(curl_infotype type, const char *data, size_t size) {
        switch (type) {
        case CURLINFO_HEADER_IN:
            for (QByteArray line : QByteArray(data, int(size)).split('\n')) {
                line = line.trimmed();
                if (line.isEmpty())
                    continue;
                qCDebug(lcSmtp).noquote() << "S:" << QString::fromUtf8(line);
                if (m_quitting)
                    continue;
                m_lastReply = line;
                // 235 ends a successful login, 4xx/5xx a failed one.
                if (m_inAuthExchange &&
                    (line.startsWith("235") || line.startsWith('4') || line.startsWith('5')))
                    m_inAuthExchange = false;
            }
            break;
        case CURLINFO_HEADER_OUT:
            onCommand(QByteArray(data, int(size)).trimmed());
            break;
        case CURLINFO_DATA_IN:
        case CURLINFO_DATA_OUT:
        case CURLINFO_SSL_DATA_IN:
        case CURLINFO_SSL_DATA_OUT:
            break;
        default:
            return;
        }
        m_sinceTraffic.start();
    }

    void onCommand(const QByteArray &line) {
        // Lines sent during the login exchange carry the credentials: never look at them.
        if (m_inAuthExchange) {
            qCDebug(lcSmtp) << "C: (přihlašovací údaje)";
            return;
        }
        const int space = line.indexOf(' ');
        const QByteArray verb = (space < 0 ? line : line.left(space)).toUpper();
        if (verb == "AUTH") {
            m_inAuthExchange = true;
            m_lastCommand = verb;
            reach(QFSmtpClient::StatusAuthenticating, tr("Přihlašování k serveru …"));
            qCDebug(lcSmtp).noquote() << "C: AUTH" << QString::fromLatin1(line.split(' ').value(1));
            return;
        }
        static const QList<QByteArray> known = {"EHLO", "HELO", "STARTTLS", "MAIL", "RCPT",
                                                "DATA", "QUIT", "RSET",     "NOOP"};
        if (!known.contains(verb)) {
            qCDebug(lcSmtp) << "C: (skryto)";
            return;
        }
        qCDebug(lcSmtp).noquote() << "C:" << QString::fromUtf8(line);
        if (verb == "QUIT") {
            m_quitting = true;
            return;
        }
        m_lastCommand = verb;
        if (verb == "MAIL")
            reach(QFSmtpClient::StatusSending, tr("Odesílání zprávy …"));
    }

    void reach(int stage, const QString &text) {
        if (stage <= m_lastStage)
            return;
        m_lastStage = stage;
        m_report(stage, text);
    }

    // Czech reason of a failed transfer with curl's own words and the server's reply.
    QString failureText(CURLcode code) const {
        long responseCode = 0;
        curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &responseCode);
        const int replyCode = m_lastReply.left(3).toInt();
        if (replyCode >= 400)
            responseCode = replyCode;

        QString reason;
        if (responseCode >= 400) {
            if (m_lastCommand == "AUTH" || code == CURLE_LOGIN_DENIED)
                reason = tr("server odmítl přihlašovací jméno nebo heslo");
            else if (m_lastCommand == "MAIL")
                reason = tr("server odmítl adresu odesílatele");
            else if (m_lastCommand == "RCPT")
                reason = tr("server odmítl adresu příjemce");
            else if (m_lastCommand == "DATA")
                reason = tr("server zprávu nepřijal");
            else
                reason = tr("server požadavek odmítl");
        } else {
            switch (code) {
            case CURLE_COULDNT_RESOLVE_HOST:
                reason = tr("server %1 nebyl nalezen").arg(m_job.server);
                break;
            case CURLE_COULDNT_CONNECT:
                reason = tr("k serveru se nelze připojit");
                break;
            case CURLE_OPERATION_TIMEDOUT:
                reason = tr("vypršel časový limit, server neodpovídá");
                break;
            case CURLE_SSL_CONNECT_ERROR:
                reason = tr("nepodařilo se navázat šifrované spojení");
                break;
            case CURLE_PEER_FAILED_VERIFICATION:
                reason = tr("certifikát serveru není důvěryhodný nebo nepatří tomuto serveru");
                break;
            case CURLE_SSL_CACERT_BADFILE:
                reason = tr("soubor s certifikáty nelze použít");
                break;
            case CURLE_USE_SSL_FAILED:
                reason = tr("server nenabízí šifrované spojení");
                break;
            case CURLE_LOGIN_DENIED:
            case CURLE_AUTH_ERROR:
                reason = tr("přihlášení k serveru se nezdařilo");
                break;
            case CURLE_SEND_ERROR:
            case CURLE_RECV_ERROR:
            case CURLE_GOT_NOTHING:
                reason = tr("spojení se serverem bylo přerušeno");
                break;
            default:
                reason = tr("chyba komunikace se serverem");
                break;
            }
        }
        QString details = curlText(code, m_errorBuffer);
        if (responseCode >= 400 && !m_lastReply.isEmpty())
            details += tr("; odpověď serveru: %1").arg(QString::fromUtf8(m_lastReply));
        return tr("%1 (%2; kód %3)").arg(reason, details).arg(int(code));
    }

    const Job &m_job;
    Abort &m_abort;
    const Report m_report;

    CURL *m_easy = nullptr;
    curl_mime *m_mime = nullptr;
    curl_slist *m_headers = nullptr;
    curl_slist *m_recipients = nullptr;
    char m_errorBuffer[CURL_ERROR_SIZE] = {};

    QElapsedTimer m_sinceTraffic;
    bool m_stalled = false;
    int m_lastStage = 0;
    QByteArray m_lastCommand;
    QByteArray m_lastReply;
    bool m_inAuthExchange = false;
    bool m_quitting = false;
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
    Abort abort;
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
            const QString failure = Transfer(job, abort, report).run();
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
        abort.request();
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
    d->job.from = from;
    d->job.to = to;
    d->job.subject = subject;
    d->job.body = body;
    d->job.attachments = attachments;
}

void QFSmtpClient::setConnectTimeout(int ms) {
    d->job.connectTimeoutMs = timeoutOrDefault(ms);
}

int QFSmtpClient::connectTimeout() const {
    return d->job.connectTimeoutMs;
}

void QFSmtpClient::setStallTimeout(int ms) {
    d->job.stallTimeoutMs = timeoutOrDefault(ms);
}

int QFSmtpClient::stallTimeout() const {
    return d->job.stallTimeoutMs;
}

void QFSmtpClient::setCaFile(const QString &path) {
    d->job.caFile = path;
}

QString QFSmtpClient::caFile() const {
    return d->job.caFile;
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
