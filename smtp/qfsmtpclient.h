#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <memory>

// Sends one e-mail through an SMTP server on a worker thread of its own, so that a slow or silent
// server never blocks the thread the client lives in (curl waits for some replies inside poll()).
// Typical use:
//   auto *c = new QFSmtpClient(host, 465, QFSmtpClient::TlsSocket);
//   c->params = {{"login", ...}, {"password", ...}};
//   c->setContent(from, to, subject, body, attachments);
//   connect(...); c->sendAndDestroy();
// The client reports progress through status(), emits sent() only when the server accepted the
// message, and deletes itself after the last signal whatever the outcome. Both signals are
// emitted from the event loop of the client's own thread. Deleting a client that is still sending
// abandons the mail, at once or, while the server holds its reply to the message, within a second
// (curl looks at us once a second then); so does destroying the application object, which deletes
// every client still sending. A name lookup never holds a deletion up.
class QFSmtpClient : public QObject {
    Q_OBJECT
public:
    // Never falls back to a weaker kind than the one asked for.
    enum SocketType : int {
        PlainSocket = 0,    // smtp:// without encryption
        TlsSocket = 1,      // smtps://, TLS from the first byte
        StartTlsSocket = 2, // smtp:// upgraded by STARTTLS, fails if the server cannot
    };
    Q_ENUM(SocketType)

    // statusCode of status() and sent().
    enum Status : int {
        StatusFailed = -1,
        StatusConnecting = 1,
        StatusAuthenticating = 2,
        StatusSending = 3,
        StatusSent = 4,
    };
    Q_ENUM(Status)

    struct Attachment {
        QString fileName;
        QByteArray content;
    };

    QFSmtpClient(const QString &server, int port, SocketType socketType);
    ~QFSmtpClient() override;

    int mode = 0;
    // "login" and "password" for SMTP AUTH; no AUTH when the login is empty.
    QVariantMap params;

    // from and to may be "Name <address>" or a bare address; to may list several, separated by
    // commas or semicolons.
    void setContent(const QString &from, const QString &to, const QString &subject,
                    const QString &body, const QList<Attachment> &attachments);

    // Limit for establishing the connection, TLS and login (ms; <= 0 means the default 30 s).
    void setConnectTimeout(int ms);
    // The transfer fails when the server sends nothing for this long (ms; <= 0: default 30 s).
    void setStallTimeout(int ms);
    // PEM file with certificates trusted in addition to the system's ones; empty for none.
    void setCaFile(const QString &path);

    int clientId() const;

    // Returns at once; the work happens on the worker thread, every signal later in the event loop.
    // The settings above must be made before.
    void sendAndDestroy();

signals:
    void status(int clientId, int statusCode, const QString &text);
    void sent(int clientId, int statusCode);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

Q_DECLARE_METATYPE(QFSmtpClient::Attachment)
