#pragma once

#include "readerlink.h"

#include <QByteArray>
#include <QMainWindow>
#include <QString>

class QSqlDatabase;
class MySqlQueryModel;
class QMySortFilterProxyModel;

namespace Ui {
class MainWindow;
}

// The one window of the program: it owns the register, the reader link and every command. What
// the reader link does itself (the port, polling, replies, the port list) is in reader/; the
// order's files are in order/. The window's implementation is split by concern: mainwindow.cpp
// (start-up, register view), mainwindow_reader.cpp (reading and filing), mainwindow_register.cpp,
// mainwindow_settings.cpp, mainwindow_email.cpp.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    void onNewOrder();
    void onFilter();
    void onFilterReset();
    void onAdd();
    void onEdit();
    void onDelete();
    void onRead();
    void sendEmail();

protected:
    void showEvent(QShowEvent *event) override;

private:
    // Register database and view
    void openDatabase();
    void refreshTable(const QString &selectText);
    void reportDatabaseError();

    // Settings
    void loadSettings();
    void saveSettings();

    // Reading and filing
    void listSerialPorts();
    void showListedPorts();
    void showReaderState(ReaderLink::State state);
    void evaluateReply(const QByteArray &reply);
    // Returns why the tag could not be filed, or an empty text.
    QString fileTag(quint32 code);
    QString collarNumbersExhaustedText() const;

    // Register commands
    bool selectedRecord(QString *id, QString *obojek, QString *eid) const;
    QString storeRecord(const QString &title, const QString &id, const QString &obojek,
                        const QString &eid);

    // Order dispatch
    void sendSmtp(const QString &from, const QString &to, const QString &subject,
                  const QString &body, const QString &attachmentPath,
                  const QString &attachmentName);

    Ui::MainWindow *m_ui;
    QSqlDatabase *m_database = nullptr;
    MySqlQueryModel *m_registerModel = nullptr;
    QMySortFilterProxyModel *m_sortProxy = nullptr;
    ReaderLink *m_reader = nullptr;
    int m_nextCollarNumber = 0;
    // Set once the largest collar number has been filed or found taken; nothing more is filed
    // until reading starts anew.
    bool m_collarNumbersExhausted = false;

    // Why the register could not be opened, told to the user once the window is shown.
    QString m_databaseError;
};
