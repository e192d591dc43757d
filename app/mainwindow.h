#pragma once

#include "portlist.h"

#include <QByteArray>
#include <QMainWindow>
#include <QSerialPort>
#include <QString>
#include <QTimer>

class QSqlDatabase;
class MySqlQueryModel;
class QMySortFilterProxyModel;
class PortWatcher;

namespace Ui {
class MainWindow;
}

// The one window of the program: it owns the register, the reader link and every command.
// Its implementation is split by concern: mainwindow.cpp (start-up, register view),
// mainwindow_reader.cpp, mainwindow_register.cpp, mainwindow_settings.cpp, mainwindow_email.cpp.
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
    void onTimerTimeout();
    void readyData();
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

    // Reader link
    void listSerialPorts();
    void applyFoundPorts(const QList<PortDescription> &found);
    PortDescription describePort(const QString &systemLocation) const;
    void followLostReader();
    void handleReaderPortError(QSerialPort::SerialPortError error);
    bool openReaderPort(const QString &systemLocation);
    void endReading();
    void loseReader();
    void tryReopenReaderPort();
    void takeInArrivedBytes();
    void onReplyEnded();
    void finishReply();
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
    // A reading lasts from its start to the user's end, whatever the reader's cable does
    // meanwhile: a reader that goes away is waited for with the port closed.
    enum class ReadingState { Idle, Reading, WaitingForReader };
    ReadingState m_readingState = ReadingState::Idle;
    // The port the reading was started on, where a lost reader is looked for again, and the
    // device the system had behind it, by which the reader is known under another name.
    QString m_readerLocation;
    PortDescription m_readerPortDescription;
    // The ports there were when the reader was lost: the reader comes back as a new one.
    QStringList m_locationsAtLoss;
    int m_reopenTicksToRest = 0;
    int m_ticksWithPollUnwritten = 0;
    QSerialPort m_readerPort;
    QByteArray m_replyBuffer;
    int m_nextCollarNumber = 0;
    QTimer m_pollTimer;
    // Runs from the last chunk of a reply: the reader marks the end of a reply only by falling
    // silent.
    QTimer m_replyEndTimer;
    // Set once the largest collar number has been filed or found taken; nothing more is filed
    // until reading starts anew.
    bool m_collarNumbersExhausted = false;

    // The port list follows the ports the system has.
    PortWatcher *m_portWatcher = nullptr;
    QList<PortDescription> m_foundPorts;
    // The port of the last run, selected once it appears unless the user has chosen one since.
    QString m_storedPortLocation;
    bool m_portChosenByUser = false;

    // Why the register could not be opened, told to the user once the window is shown.
    QString m_databaseError;
};
