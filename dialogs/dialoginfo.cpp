#include "dialoginfo.h"
#include "ui_dialoginfo.h"

#include <QLayout>
#include <QPushButton>

DialogInfo::DialogInfo(QWidget *parent, bool showLabel, bool showProgress, bool showProgress2,
                       bool showOk, bool showCancel)
    : QDialog(parent)
    , m_ui(new Ui::DialogInfo) {
    m_ui->setupUi(this);
    m_ui->label->setVisible(showLabel);
    m_ui->progressBar->setVisible(showProgress);
    m_ui->progressBar_2->setVisible(showProgress2);
    m_ui->buttonBox->button(QDialogButtonBox::Ok)->setVisible(showOk);
    m_ui->buttonBox->button(QDialogButtonBox::Cancel)->setVisible(showCancel);
    setWindowTitle(tr("Zirave"));

    connect(m_ui->buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

DialogInfo::~DialogInfo() {
    delete m_ui;
}

void DialogInfo::setParts(bool showLabel, bool showProgress, bool showProgress2, bool showButtons) {
    m_ui->label->setVisible(showLabel);
    m_ui->progressBar->setVisible(showProgress);
    m_ui->progressBar_2->setVisible(showProgress2);
    m_ui->buttonBox->setVisible(showButtons);
    // The layout learns of the hidden parts only later, so it would keep the old minimum height.
    layout()->activate();
    resize(width(), 0);
}

void DialogInfo::setText(const QString &text) {
    m_ui->label->setText(text);
    fitHeightToText();
}

// The label wraps its text at the dialog's width, so a long text needs more lines: the dialog
// grows downwards rather than sideways (a window never grows by itself to a larger height).
void DialogInfo::fitHeightToText() {
    const int needed = heightForWidth(width());
    if (needed > height())
        resize(width(), needed);
}

void DialogInfo::setProgress(int minimum, int maximum, int value) {
    m_ui->progressBar->setMinimum(minimum);
    m_ui->progressBar->setMaximum(maximum);
    m_ui->progressBar->setValue(value);
}

void DialogInfo::setProgressValue(int value) {
    m_ui->progressBar->setValue(value);
}

QLabel *DialogInfo::label() const {
    return m_ui->label;
}

QProgressBar *DialogInfo::progressBar() const {
    return m_ui->progressBar;
}

QProgressBar *DialogInfo::progressBar2() const {
    return m_ui->progressBar_2;
}

void DialogInfo::smtpStatus(int client_id, int status_code, const QString &txt) {
    Q_UNUSED(client_id);
    Q_UNUSED(status_code);
    setText(txt);
}
