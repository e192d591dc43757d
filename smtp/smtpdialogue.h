#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QString>

Q_DECLARE_LOGGING_CATEGORY(lcSmtp)

// Follows one SMTP dialogue through the lines curl shows us: how far it got and what the server
// said last, never looking at the login exchange, which carries the credentials. Logs the
// dialogue to "zirave.smtp" (debug) for diagnosing a failing server.
class SmtpDialogue {
    Q_DECLARE_TR_FUNCTIONS(QFSmtpClient)

public:
    // Reply lines from the server, one or several.
    void serverSaid(const QByteArray &lines);
    // One command line of ours. Returns the QFSmtpClient::Status the command starts (logging in,
    // sending), or 0.
    int clientSaid(const QByteArray &line);

    // The Czech reason why a transfer failed with curl's code, its text (curl's own words) and the
    // reply code curl recorded; the server's reply is shown instead of curl's text when there is
    // one.
    QString failureText(int curlCode, const QString &curlText, long responseCode,
                        const QString &server) const;

private:
    QByteArray m_lastCommand;
    QByteArray m_lastReply; // every line of it, joined with spaces
    bool m_replyGoesOn = false;
    bool m_inAuthExchange = false;
    bool m_quitting = false;
};
