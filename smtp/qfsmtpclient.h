#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <memory>

// Sends one e-mail through an SMTP server without blocking the GUI: curl's multi interface is
// driven by the Qt event loop of the thread the client lives in. Typical use:
//   auto *c = new QFSmtpClient(host, 465, QFSmtpClient::TlsSocket);
//   c->params = {{"login", ...}, {"password", ...}};
//   c->setContent(from, to, subject, body, attachments);
//   connect(...); c->sendAndDestroy();
// The client reports progress through status(), emits sent() only when the server accepted the
// message, and deletes itself after the last signal whatever the outcome.
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
    int connectTimeout() const;
    // The transfer fails when the server sends nothing for this long (ms; <= 0: default 30 s).
    void setStallTimeout(int ms);
    int stallTimeout() const;
    // PEM file with certificates trusted in addition to the system's ones; empty for none.
    void setCaFile(const QString &path);
    QString caFile() const;

    int clientId() const;

    // Returns at once; the work and every signal happen later in the event loop.
    void sendAndDestroy();

signals:
    void status(int clientId, int statusCode, const QString &text);
    void sent(int clientId, int statusCode);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

Q_DECLARE_METATYPE(QFSmtpClient::Attachment)
