#pragma once

#include <QDialog>

namespace Ui {
class DialogEmail;
}

// The compose dialog of the order e-mail: sender, recipient, subject and a plain-text body.
class DialogEmail : public QDialog {
    Q_OBJECT

public:
    explicit DialogEmail(QWidget *parent);
    ~DialogEmail() override;

    void setEmail(const QString &from, const QString &to, const QString &subject,
                  const QString &body);
    void getEmail(QString &from, QString &to, QString &subject, QString &body) const;

private:
    Ui::DialogEmail *m_ui;
};
