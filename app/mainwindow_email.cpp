#include "mainwindow.h"
#include "ui_mainwindow.h"

void MainWindow::sendEmail() {
}

void MainWindow::sendSmtp(const QString &from, const QString &to, const QString &subject,
                          const QString &body, const QString &attachmentPath,
                          const QString &attachmentName) {
    Q_UNUSED(from);
    Q_UNUSED(to);
    Q_UNUSED(subject);
    Q_UNUSED(body);
    Q_UNUSED(attachmentPath);
    Q_UNUSED(attachmentName);
}
