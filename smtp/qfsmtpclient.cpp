#include "qfsmtpclient.h"

#include "mailformat.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QLoggingCategory>
#include <QPointer>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QSysInfo>
#include <QTimer>
#include <QUrl>

#include <curl/curl.h>

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

long wholeSeconds(int ms) {
    return long((ms + 999) / 1000);
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

} // namespace

struct QFSmtpClient::Private {
    struct Watch {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };

    QFSmtpClient *q;
    const int id = nextClientId();
    QString server;
    int port;
    SocketType socketType;

    QString from;
    QString to;
    QString subject;
    QString body;
    QList<Attachment> attachments;
    int connectTimeoutMs = defaultTimeoutMs;
    int stallTimeoutMs = defaultTimeoutMs;
    QString caFile;

    bool started = false;
    bool finished = false;
    CURLM *multi = nullptr;
    CURL *easy = nullptr;
    bool added = false;
    curl_mime *mime = nullptr;
    curl_slist *headers = nullptr;
    curl_slist *recipients = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    QTimer curlTimer;
    QTimer stallTimer;
    QHash<curl_socket_t, Watch> watches;

    // What the SMTP dialogue has reached, noted in curl's callbacks and reported after curl
    // returns, so that no slot runs while curl is inside a call.
    QList<int> reachedStages;
    int lastStage = 0;
    QByteArray lastCommand;
    QByteArray lastReply;
    bool inAuthExchange = false;
    bool quitting = false;

    Private(QFSmtpClient *owner, const QString &host, int serverPort, SocketType type)
        : q(owner)
        , server(host.trimmed())
        , port(serverPort)
        , socketType(type) {
        curlTimer.setSingleShot(true);
        stallTimer.setSingleShot(true);
        QObject::connect(&curlTimer, &QTimer::timeout, q,
                         [this] { drive(CURL_SOCKET_TIMEOUT, 0); });
        QObject::connect(&stallTimer, &QTimer::timeout, q, [this] {
            finish(CURLE_OPERATION_TIMEDOUT,
                   tr("server přestal odpovídat (%1 s bez odezvy)")
                       .arg(QString::number(stallTimeoutMs / 1000.0, 'f', 1)));
        });
    }

    ~Private() { cleanup(); }

    static QString tr(const char *text) { return QFSmtpClient::tr(text); }

    void start() {
        const QString problem = prepare();
        if (!problem.isEmpty()) {
            finish(CURLE_OK, problem);
            return;
        }
        lastStage = StatusConnecting;
        const QString host = server.contains(QLatin1Char(':'))
                                 ? QLatin1Char('[') + server + QLatin1Char(']')
                                 : server;
        emit q->status(id, StatusConnecting,
                       tr("Připojování k serveru %1:%2 …").arg(host).arg(port));
        const CURLMcode rc = curl_multi_add_handle(multi, easy);
        if (rc != CURLM_OK) {
            finish(CURLE_OK, QString::fromUtf8(curl_multi_strerror(rc)));
            return;
        }
        added = true;
    }

    // Builds the curl handles; returns a Czech description of what is wrong, empty when fine.
    QString prepare() {
        if (!curlReady())
            return tr("knihovnu curl nelze inicializovat");

        QByteArray scheme;
        curl_usessl useSsl = CURLUSESSL_ALL;
        switch (socketType) {
        case PlainSocket:
            scheme = "smtp";
            useSsl = CURLUSESSL_NONE;
            break;
        case TlsSocket:
            scheme = "smtps";
            break;
        case StartTlsSocket:
            scheme = "smtp";
            break;
        default:
            return tr("neznámý typ zabezpečení spojení (%1)").arg(int(socketType));
        }

        static const QRegularExpression hostChars(QStringLiteral("^[A-Za-z0-9.:-]+$"));
        const QString ace = QString::fromLatin1(QUrl::toAce(server));
        if (server.isEmpty() || !hostChars.match(ace).hasMatch())
            return tr("neplatný název serveru „%1“").arg(server);
        if (port < 1 || port > 65535)
            return tr("neplatný port serveru %1").arg(port);
        const QString urlHost =
            ace.contains(QLatin1Char(':')) ? QLatin1Char('[') + ace + QLatin1Char(']') : ace;

        const QString fromAddress = MailFormat::extractAddress(from);
        if (!MailFormat::isValidAddress(fromAddress))
            return tr("neplatná adresa odesílatele „%1“").arg(from);
        const QStringList toList = MailFormat::splitAddressList(to);
        if (toList.isEmpty())
            return tr("chybí adresa příjemce");
        for (const QString &mailbox : toList) {
            const QString address = MailFormat::extractAddress(mailbox);
            if (!MailFormat::isValidAddress(address))
                return tr("neplatná adresa příjemce „%1“").arg(mailbox);
            recipients = curl_slist_append(recipients, ('<' + address.toUtf8() + '>').constData());
        }

        QByteArray caBundle;
        if (!caFile.isEmpty()) {
            QFile extra(caFile);
            if (!extra.open(QIODevice::ReadOnly))
                return tr("nelze načíst soubor s certifikáty „%1“: %2")
                    .arg(caFile, extra.errorString());
            caBundle = extra.readAll();
        }

        multi = curl_multi_init();
        easy = curl_easy_init();
        mime = easy ? curl_mime_init(easy) : nullptr;
        if (!multi || !easy || !mime)
            return tr("nedostatek paměti");

        if (!caBundle.isEmpty()) {
            // The blob replaces curl's default bundle file, so put the system's bundle in front
            // of the extra certificates (the default CA directory stays in use as well).
            char *systemBundle = nullptr;
            curl_easy_getinfo(easy, CURLINFO_CAINFO, &systemBundle);
            if (systemBundle) {
                QFile system(QString::fromLocal8Bit(systemBundle));
                if (system.open(QIODevice::ReadOnly))
                    caBundle = system.readAll() + '\n' + caBundle;
            }
        }

        const QString login = q->params.value(QStringLiteral("login")).toString();
        const QString password = q->params.value(QStringLiteral("password")).toString();
        const QByteArray url =
            scheme + "://" + urlHost.toLatin1() + ':' + QByteArray::number(port) + '/' + ehloName();

        CURLcode rc = CURLE_OK;
        auto set = [&](CURLoption option, auto value) {
            if (rc == CURLE_OK)
                rc = curl_easy_setopt(easy, option, value);
        };
        set(CURLOPT_ERRORBUFFER, errorBuffer);
        set(CURLOPT_URL, url.constData());
        set(CURLOPT_PROTOCOLS_STR, scheme.constData());
        set(CURLOPT_USE_SSL, long(useSsl));
        set(CURLOPT_SSL_VERIFYPEER, 1L);
        set(CURLOPT_SSL_VERIFYHOST, 2L);
        if (socketType != PlainSocket)
            set(CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
        if (!caBundle.isEmpty()) {
            curl_blob blob{caBundle.data(), size_t(caBundle.size()), CURL_BLOB_COPY};
            set(CURLOPT_CAINFO_BLOB, &blob);
        }
        set(CURLOPT_NOSIGNAL, 1L);
        set(CURLOPT_CONNECTTIMEOUT_MS, long(connectTimeoutMs));
        // curl waits for the reply to the end of the message inside one call; this bounds it.
        set(CURLOPT_SERVER_RESPONSE_TIMEOUT, wholeSeconds(stallTimeoutMs));
        set(CURLOPT_LOW_SPEED_LIMIT, 1L);
        set(CURLOPT_LOW_SPEED_TIME, wholeSeconds(stallTimeoutMs));
        // A fresh connection that is closed afterwards, so QUIT is sent and nothing lingers.
        set(CURLOPT_FORBID_REUSE, 1L);
        set(CURLOPT_FRESH_CONNECT, 1L);
        set(CURLOPT_VERBOSE, 1L);
        set(CURLOPT_DEBUGFUNCTION, &Private::debugCallback);
        set(CURLOPT_DEBUGDATA, this);
        if (!login.isEmpty()) {
            set(CURLOPT_USERNAME, login.toUtf8().constData());
            set(CURLOPT_PASSWORD, password.toUtf8().constData());
        }
        set(CURLOPT_MAIL_FROM, ('<' + fromAddress.toUtf8() + '>').constData());
        set(CURLOPT_MAIL_RCPT, recipients);

        const QString message = buildMessage(fromAddress);
        if (!message.isEmpty())
            return message;
        set(CURLOPT_HTTPHEADER, headers);
        set(CURLOPT_MIMEPOST, mime);
        if (rc != CURLE_OK)
            return curlText(rc, errorBuffer);

        curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &Private::socketCallback);
        curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &Private::timerCallback);
        curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this);
        return QString();
    }

    QString buildMessage(const QString &fromAddress) {
        const QList<QByteArray> lines = {
            "Date: " + MailFormat::formatDate(QDateTime::currentDateTime()),
            "From: " + MailFormat::encodeMailbox(from, 6),
            "To: " + MailFormat::encodeAddressList(to, 4),
            "Subject: " + MailFormat::encodeHeaderText(subject, 9),
            "Message-ID: " + MailFormat::makeMessageId(fromAddress),
        };
        for (const QByteArray &line : lines)
            headers = curl_slist_append(headers, line.constData());

        // Text lines end in CRLF on the wire; the encoder keeps them as real line breaks.
        QString text = body;
        text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
        const QByteArray textBytes = text.toUtf8();

        CURLcode rc = CURLE_OK;
        auto check = [&rc](CURLcode result) {
            if (rc == CURLE_OK)
                rc = result;
        };
        curl_mimepart *part = curl_mime_addpart(mime);
        check(part ? CURLE_OK : CURLE_OUT_OF_MEMORY);
        if (part) {
            check(curl_mime_data(part, textBytes.constData(), size_t(textBytes.size())));
            check(curl_mime_type(part, "text/plain; charset=UTF-8"));
            check(curl_mime_encoder(part, "quoted-printable"));
        }
        for (const Attachment &attachment : attachments) {
            const QString name = MailFormat::sanitizeFileName(attachment.fileName);
            part = curl_mime_addpart(mime);
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
        return rc == CURLE_OK ? QString() : curlText(rc, errorBuffer);
    }

    static int socketCallback(CURL *, curl_socket_t socket, int what, void *userData, void *) {
        static_cast<Private *>(userData)->watch(socket, what);
        return 0;
    }

    static int timerCallback(CURLM *, long timeoutMs, void *userData) {
        auto *self = static_cast<Private *>(userData);
        if (timeoutMs < 0)
            self->curlTimer.stop();
        else
            self->curlTimer.start(int(qMin(timeoutMs, long(INT_MAX))));
        return 0;
    }

    static int debugCallback(CURL *, curl_infotype type, char *data, size_t size, void *userData) {
        static_cast<Private *>(userData)->onTraffic(type, data, size);
        return 0;
    }

    // Called by curl: only bookkeeping here, curl must not be re-entered.
    void watch(curl_socket_t socket, int what) {
        if (what == CURL_POLL_REMOVE) {
            const Watch w = watches.take(socket);
            retire(w.read);
            retire(w.write);
            return;
        }
        Watch &w = watches[socket];
        const bool wantRead = what == CURL_POLL_IN || what == CURL_POLL_INOUT;
        const bool wantWrite = what == CURL_POLL_OUT || what == CURL_POLL_INOUT;
        if (wantRead && !w.read)
            w.read = notifier(socket, QSocketNotifier::Read, CURL_CSELECT_IN);
        if (wantWrite && !w.write)
            w.write = notifier(socket, QSocketNotifier::Write, CURL_CSELECT_OUT);
        if (w.read)
            w.read->setEnabled(wantRead);
        if (w.write)
            w.write->setEnabled(wantWrite);
    }

    QSocketNotifier *notifier(curl_socket_t socket, QSocketNotifier::Type type, int mask) {
        auto *n = new QSocketNotifier(socket, type, q);
        QObject::connect(n, &QSocketNotifier::activated, q,
                         [this, socket, mask] { drive(socket, mask); });
        return n;
    }

    // The notifier may be the one whose signal is being delivered right now.
    static void retire(QSocketNotifier *n) {
        if (n) {
            n->setEnabled(false);
            n->deleteLater();
        }
    }

    void onTraffic(curl_infotype type, const char *data, size_t size) {
        switch (type) {
        case CURLINFO_HEADER_IN:
            for (QByteArray line : QByteArray(data, int(size)).split('\n')) {
                line = line.trimmed();
                if (line.isEmpty())
                    continue;
                qCDebug(lcSmtp).noquote() << "S:" << QString::fromUtf8(line);
                if (quitting)
                    continue;
                lastReply = line;
                // 235 ends a successful login, 4xx/5xx a failed one.
                if (inAuthExchange &&
                    (line.startsWith("235") || line.startsWith('4') || line.startsWith('5')))
                    inAuthExchange = false;
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
        if (!finished)
            stallTimer.start(stallTimeoutMs);
    }

    void onCommand(const QByteArray &line) {
        // Lines sent during the login exchange carry the credentials: never look at them.
        if (inAuthExchange) {
            qCDebug(lcSmtp) << "C: (přihlašovací údaje)";
            return;
        }
        const int space = line.indexOf(' ');
        const QByteArray verb = (space < 0 ? line : line.left(space)).toUpper();
        if (verb == "AUTH") {
            inAuthExchange = true;
            lastCommand = verb;
            reach(StatusAuthenticating);
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
            quitting = true;
            return;
        }
        lastCommand = verb;
        if (verb == "MAIL")
            reach(StatusSending);
    }

    void reach(int stage) {
        if (!reachedStages.contains(stage))
            reachedStages << stage;
    }

    void reportStages() {
        while (!reachedStages.isEmpty() && !finished) {
            const int stage = reachedStages.takeFirst();
            if (stage <= lastStage)
                continue;
            lastStage = stage;
            emit q->status(id, stage,
                           stage == StatusAuthenticating ? tr("Přihlašování k serveru …")
                                                         : tr("Odesílání zprávy …"));
        }
    }

    void drive(curl_socket_t socket, int mask) {
        if (finished || !multi)
            return;
        int running = 0;
        const CURLMcode rc = curl_multi_socket_action(multi, socket, mask, &running);
        if (rc != CURLM_OK) {
            finish(CURLE_OK, QString::fromUtf8(curl_multi_strerror(rc)));
            return;
        }
        int queued = 0;
        while (CURLMsg *message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
                finish(message->data.result);
                return;
            }
        }
        reportStages();
    }

    // Czech reason of a failed transfer with curl's own words and the server's reply.
    QString failureText(CURLcode code) const {
        long responseCode = 0;
        if (easy)
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &responseCode);
        const int replyCode = lastReply.left(3).toInt();
        if (replyCode >= 400)
            responseCode = replyCode;

        QString reason;
        if (responseCode >= 400) {
            if (lastCommand == "AUTH" || code == CURLE_LOGIN_DENIED)
                reason = tr("server odmítl přihlašovací jméno nebo heslo");
            else if (lastCommand == "MAIL")
                reason = tr("server odmítl adresu odesílatele");
            else if (lastCommand == "RCPT")
                reason = tr("server odmítl adresu příjemce");
            else if (lastCommand == "DATA")
                reason = tr("server zprávu nepřijal");
            else
                reason = tr("server požadavek odmítl");
        } else {
            switch (code) {
            case CURLE_COULDNT_RESOLVE_HOST:
                reason = tr("server %1 nebyl nalezen").arg(server);
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
        QString details = curlText(code, errorBuffer);
        if (responseCode >= 400 && !lastReply.isEmpty())
            details += tr("; odpověď serveru: %1").arg(QString::fromUtf8(lastReply));
        return tr("%1 (%2; kód %3)").arg(reason, details).arg(int(code));
    }

    // Ends the job: reports, releases curl and schedules deletion. ownReason replaces curl's
    // result when the failure was found by us.
    void finish(CURLcode code, const QString &ownReason = QString()) {
        if (finished)
            return;
        reportStages();
        finished = true;
        const bool ok = ownReason.isEmpty() && code == CURLE_OK;
        QString text;
        if (!ok) {
            QString reason = ownReason;
            if (reason.isEmpty())
                reason = failureText(code);
            else if (code != CURLE_OK)
                reason += tr(" (kód %1)").arg(int(code));
            text = tr("Odeslání se nezdařilo: ") + reason;
        }
        cleanup();

        QPointer<QFSmtpClient> alive(q);
        if (ok) {
            emit q->status(id, StatusSent, tr("Zpráva byla odeslána."));
            if (alive)
                emit q->sent(id, StatusSent);
        } else {
            emit q->status(id, StatusFailed, text);
        }
        if (alive)
            q->deleteLater();
    }

    void cleanup() {
        curlTimer.stop();
        stallTimer.stop();
        if (added)
            curl_multi_remove_handle(multi, easy);
        added = false;
        if (easy)
            curl_easy_cleanup(easy);
        easy = nullptr;
        if (multi)
            curl_multi_cleanup(multi);
        multi = nullptr;
        curl_mime_free(mime);
        mime = nullptr;
        curl_slist_free_all(headers);
        headers = nullptr;
        curl_slist_free_all(recipients);
        recipients = nullptr;
        for (const Watch &w : qAsConst(watches)) {
            retire(w.read);
            retire(w.write);
        }
        watches.clear();
    }
};

QFSmtpClient::QFSmtpClient(const QString &server, int port, SocketType socketType)
    : d(std::make_unique<Private>(this, server, port, socketType)) {
}

QFSmtpClient::~QFSmtpClient() {
    d->finished = true;
    d->cleanup();
}

void QFSmtpClient::setContent(const QString &from, const QString &to, const QString &subject,
                              const QString &body, const QList<Attachment> &attachments) {
    d->from = from;
    d->to = to;
    d->subject = subject;
    d->body = body;
    d->attachments = attachments;
}

void QFSmtpClient::setConnectTimeout(int ms) {
    d->connectTimeoutMs = timeoutOrDefault(ms);
}

int QFSmtpClient::connectTimeout() const {
    return d->connectTimeoutMs;
}

void QFSmtpClient::setStallTimeout(int ms) {
    d->stallTimeoutMs = timeoutOrDefault(ms);
}

int QFSmtpClient::stallTimeout() const {
    return d->stallTimeoutMs;
}

void QFSmtpClient::setCaFile(const QString &path) {
    d->caFile = path;
}

QString QFSmtpClient::caFile() const {
    return d->caFile;
}

int QFSmtpClient::clientId() const {
    return d->id;
}

void QFSmtpClient::sendAndDestroy() {
    if (d->started)
        return;
    d->started = true;
    QMetaObject::invokeMethod(
        this, [this] { d->start(); }, Qt::QueuedConnection);
}
