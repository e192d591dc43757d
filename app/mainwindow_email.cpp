#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "appsettings.h"
#include "dialogemail.h"
#include "dialoginfo.h"
#include "mysqlquerymodel.h"
#include "orderarchive.h"
#include "orderattachment.h"
#include "orderdesk.h"
#include "qfsmtpclient.h"

#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QSqlDatabase>
#include <QTimer>

namespace {

// The compiled-in server and account, unless the settings name another order desk.
struct SmtpAccount {
    QString host = OrderDesk::smtpHost;
    int port = OrderDesk::smtpPort;
    QString login = OrderDesk::smtpLogin;
    QString password = OrderDesk::smtpPassword;
    QString caFile;
};

SmtpAccount smtpAccount() {
    AppSettings settings;
    SmtpAccount account;
    account.host = settings.value("smtp_host", account.host).toString();
    account.port = settings.value("smtp_port", account.port).toInt();
    account.login = settings.value("smtp_login", account.login).toString();
    account.password = settings.value("smtp_password", account.password).toString();
    account.caFile = settings.value("smtp_cafile").toString();
    return account;
}

// Keeps the attachment in the archive once the server has accepted it. The window, not the
// progress dialog, is the context, so that a dialog closed early loses nothing. A copy that cannot
// be written does not make the send a failure: it is told outside the client's signal, after the
// progress dialog has closed on that same signal.
void archiveWhenSent(MainWindow *window, QFSmtpClient *client, const QString &databasePath,
                     const QString &orderNumber, const QByteArray &attachment) {
    QObject::connect(client, &QFSmtpClient::sent, window, [=] {
        const OrderArchive::Result archived =
            OrderArchive::store(databasePath, orderNumber, OrderArchive::Sent, attachment);
        if (archived.error.isEmpty())
            return;
        QTimer::singleShot(0, window, [=] {
            QMessageBox::warning(window, MainWindow::tr("Zirave"),
                                 MainWindow::tr("Objednávka byla odeslána, ale její kopii se "
                                                "nepodařilo uložit do archivu.\n\nSoubor: %1\n%2")
                                     .arg(QDir::toNativeSeparators(archived.path), archived.error));
        });
    });
}

} // namespace

void MainWindow::sendEmail() {
    QString from;
    QString to;
    QString body;
    {
        AppSettings settings;
        from = settings.value("email_from", QString(OrderDesk::address)).toString();
        to = settings.value("email_to", QString(OrderDesk::address)).toString();
        body = settings.value("email_body", QVariant()).toString();
    }
    QString subject = "obojky - objednavka: " + m_ui->objednavka->text();
    const QString attachmentName = OrderAttachment::fileName;

    DialogEmail dialog(this);
    dialog.setWindowTitle(tr("Zirave") + " - " + tr("email"));
    dialog.setEmail(from, to, subject, body);
    if (dialog.exec() != QDialog::Accepted)
        return;
    dialog.getEmail(from, to, subject, body);

    const QString attachmentPath = QDir::tempPath() + "/" + attachmentName;
    QString writeError;
    if (!OrderAttachment::write(attachmentPath, OrderAttachment::text(*m_registerModel),
                                &writeError)) {
        // The writer refuses someone else's file or a directory at the path; without a word
        // here the dispatcher would believe the order went out.
        QMessageBox::critical(this, tr("Zirave"),
                              tr("Přílohu objednávky nelze zapsat do souboru %1: %2\n\n"
                                 "Objednávka nebyla odeslána.")
                                  .arg(QDir::toNativeSeparators(attachmentPath), writeError));
        return;
    }

    sendSmtp(from, to, subject, body, attachmentPath, attachmentName);
}

void MainWindow::sendSmtp(const QString &from, const QString &to, const QString &subject,
                          const QString &body, const QString &attachmentPath,
                          const QString &attachmentName) {
    const SmtpAccount account = smtpAccount();

    QVariantMap params;
    params.insert("login", account.login);
    params.insert("password", account.password);

    QFSmtpClient::Attachment attachment;
    attachment.fileName = attachmentName;
    QFile file(attachmentPath);
    if (!file.open(QIODevice::ReadOnly))
        return;
    attachment.content = file.readAll();
    file.close();
    const QList<QFSmtpClient::Attachment> attachments{attachment};

    auto *client = new QFSmtpClient(account.host, account.port, QFSmtpClient::SocketType(1));
    client->mode = 1;
    client->params = params;
    if (!account.caFile.isEmpty())
        client->setCaFile(account.caFile);
    client->setContent(from, to, subject, body, attachments);

    DialogInfo progress(this, true, false, false, false, false);
    progress.setWindowTitle(tr("Zirave") + " - " + tr("odesílání mailu"));
    connect(client, &QFSmtpClient::status, &progress, &DialogInfo::smtpStatus);
    connect(client, &QFSmtpClient::sent, &progress, &QDialog::accept);
    archiveWhenSent(this, client, m_database->databaseName(), m_ui->objednavka->text(),
                    attachment.content);
    client->sendAndDestroy();
    progress.exec();
}
