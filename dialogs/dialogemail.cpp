#include "dialogemail.h"
#include "ui_dialogemail.h"

DialogEmail::DialogEmail(QWidget *parent)
    : QDialog(parent)
    , m_ui(new Ui::DialogEmail) {
    m_ui->setupUi(this);
    connect(m_ui->buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

DialogEmail::~DialogEmail() {
    delete m_ui;
}

void DialogEmail::setEmail(const QString &from, const QString &to, const QString &subject,
                           const QString &body) {
    m_ui->le_from->setText(from);
    m_ui->le_to->setText(to);
    m_ui->le_subject->setText(subject);
    m_ui->le_body->setPlainText(body);
}

void DialogEmail::getEmail(QString &from, QString &to, QString &subject, QString &body) const {
    from = m_ui->le_from->text();
    to = m_ui->le_to->text();
    subject = m_ui->le_subject->text();
    body = m_ui->le_body->toPlainText();
}
