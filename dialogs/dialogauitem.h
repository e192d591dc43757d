#pragma once

#include <QDialog>
#include <QString>

namespace Ui {
class DialogAUItem;
}

// The record dialog of the register: carries one collar number and one EID in and out. It checks
// nothing; the caller decides what the database may take.
class DialogAUItem : public QDialog {
    Q_OBJECT

public:
    explicit DialogAUItem(QWidget *parent);
    ~DialogAUItem() override;

    void setItem(const QString &obojek, const QString &eid);
    // The texts exactly as typed, blanks included.
    void getItem(QString &obojek, QString &eid) const;

private:
    Ui::DialogAUItem *m_ui;
};
