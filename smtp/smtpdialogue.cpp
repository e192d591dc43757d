#include "smtpdialogue.h"

#include "qfsmtpclient.h"

#include <QHash>
#include <QList>

#include <curl/curl.h>

// Server replies and our commands (never the login exchange) for diagnosing a failing server:
// enable with QT_LOGGING_RULES="zirave.smtp.debug=true".
Q_LOGGING_CATEGORY(lcSmtp, "zirave.smtp", QtWarningMsg)

void SmtpDialogue::serverSaid(const QByteArray &lines) {
    for (QByteArray line : lines.split('\n')) {
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        qCDebug(lcSmtp).noquote() << "S:" << QString::fromUtf8(line);
        if (m_quitting)
            continue;
        // "250-" goes on in the next line, "250 " is the last one of the reply.
        m_lastReply = m_replyGoesOn ? m_lastReply + ' ' + line : line;
        m_replyGoesOn = line.size() > 3 && line.at(3) == '-';
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
        static const QHash<int, const char *> reasons = {
            {CURLE_COULDNT_RESOLVE_HOST, QT_TR_NOOP("server %1 nebyl nalezen")},
            {CURLE_COULDNT_CONNECT, QT_TR_NOOP("k serveru se nelze připojit")},
            {CURLE_OPERATION_TIMEDOUT, QT_TR_NOOP("vypršel časový limit, server neodpovídá")},
            {CURLE_SSL_CONNECT_ERROR, QT_TR_NOOP("nepodařilo se navázat šifrované spojení")},
            {CURLE_PEER_FAILED_VERIFICATION,
             QT_TR_NOOP("certifikát serveru není důvěryhodný nebo nepatří tomuto serveru")},
            {CURLE_SSL_CACERT_BADFILE, QT_TR_NOOP("soubor s certifikáty nelze použít")},
            {CURLE_USE_SSL_FAILED, QT_TR_NOOP("server nenabízí šifrované spojení")},
            {CURLE_LOGIN_DENIED, QT_TR_NOOP("přihlášení k serveru se nezdařilo")},
            {CURLE_AUTH_ERROR, QT_TR_NOOP("přihlášení k serveru se nezdařilo")},
            {CURLE_SEND_ERROR, QT_TR_NOOP("spojení se serverem bylo přerušeno")},
            {CURLE_RECV_ERROR, QT_TR_NOOP("spojení se serverem bylo přerušeno")},
            {CURLE_GOT_NOTHING, QT_TR_NOOP("spojení se serverem bylo přerušeno")}};
        reason = tr(reasons.value(curlCode, QT_TR_NOOP("chyba komunikace se serverem")));
        if (curlCode == CURLE_COULDNT_RESOLVE_HOST)
            reason = reason.arg(server);
    }
    // The server's own words say more than curl's label for them.
    const QString details = responseCode >= 400 && !m_lastReply.isEmpty()
                                ? tr("odpověď serveru: %1").arg(QString::fromUtf8(m_lastReply))
                                : curlText;
    return tr("%1 (%2; kód %3)").arg(reason, details).arg(curlCode);
}
