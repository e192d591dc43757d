#include "dialogauitem.h"
#include "ui_dialogauitem.h"

DialogAUItem::DialogAUItem(QWidget *parent)
    : QDialog(parent)
    , m_ui(new Ui::DialogAUItem) {
    m_ui->setupUi(this);
    connect(m_ui->buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

DialogAUItem::~DialogAUItem() {
    delete m_ui;
}

void DialogAUItem::setItem(const QString &obojek, const QString &eid) {
    m_ui->obojek->setText(obojek);
    m_ui->eid->setText(eid);
}

void DialogAUItem::getItem(QString &obojek, QString &eid) const {
    obojek = m_ui->obojek->text();
    eid = m_ui->eid->text();
}
