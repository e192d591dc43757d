#include "smtpdialogue.h"

#include "qfsmtpclient.h"

#include <QList>
#include <QLoggingCategory>

#include <curl/curl.h>

// Server replies and our commands (never the login exchange) for diagnosing a failing server:
// enable with QT_LOGGING_RULES="zirave.smtp.debug=true".
Q_LOGGING_CATEGORY(lcSmtp, "zirave.smtp", QtWarningMsg)

namespace {

QString tr(const char *text) {
    return QFSmtpClient::tr(text);
}

} // namespace

void SmtpDialogue::serverSaid(const QByteArray &lines) {
    for (QByteArray line : lines.split('\n')) {
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
}

int SmtpDialogue::clientSaid(const QByteArray &line) {
    // Lines sent during the login exchange carry the credentials: never look at them.
    if (m_inAuthExchange) {
        qCDebug(lcSmtp) << "C: (přihlašovací údaje)";
        return 0;
    }
    const int space = line.indexOf(' ');
    const QByteArray verb = (space < 0 ? line : line.left(space)).toUpper();
    if (verb == "AUTH") {
        m_inAuthExchange = true;
        m_lastCommand = verb;
        qCDebug(lcSmtp).noquote() << "C: AUTH" << QString::fromLatin1(line.split(' ').value(1));
        return QFSmtpClient::StatusAuthenticating;
    }
    static const QList<QByteArray> known = {"EHLO", "HELO", "STARTTLS", "MAIL", "RCPT",
                                            "DATA", "QUIT", "RSET",     "NOOP"};
    if (!known.contains(verb)) {
        qCDebug(lcSmtp) << "C: (skryto)";
        return 0;
    }
    qCDebug(lcSmtp).noquote() << "C:" << QString::fromUtf8(line);
    if (verb == "QUIT") {
        m_quitting = true;
        return 0;
    }
    m_lastCommand = verb;
    return verb == "MAIL" ? QFSmtpClient::StatusSending : 0;
}

QString SmtpDialogue::failureText(int curlCode, const QString &curlText, long responseCode,
                                  const QString &server) const {
    const int replyCode = m_lastReply.left(3).toInt();
    if (replyCode >= 400)
        responseCode = replyCode;

    QString reason;
    if (responseCode >= 400) {
        if (m_lastCommand == "AUTH" || curlCode == CURLE_LOGIN_DENIED)
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
        switch (curlCode) {
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
    // The server's own words say more than curl's label for them.
    const QString details = responseCode >= 400 && !m_lastReply.isEmpty()
                                ? tr("odpověď serveru: %1").arg(QString::fromUtf8(m_lastReply))
                                : curlText;
    return tr("%1 (%2; kód %3)").arg(reason, details).arg(curlCode);
}
