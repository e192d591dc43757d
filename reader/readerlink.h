#pragma once

#include "portlist.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QStringList>
#include <QTimer>

class PortWatcher;

// The link to the RFID reader: its serial port, the polling, the replies framed by silence, the
// waiting for a reader that went away, and the ports it may be reached on. It shows nothing: it
// tells what happened through its signals and takes its orders from the window.
class ReaderLink : public QObject {
    Q_OBJECT

public:
    // A reading lasts from its start to the user's end, whatever the reader's cable does
    // meanwhile: a reader that goes away is waited for with the port closed.
    enum class State { Idle, Reading, WaitingForReader };

    explicit ReaderLink(QObject *parent = nullptr);

    State state() const { return m_state; }

    // Lists the ports there are now: the system's, and the extra paths that exist.
    void listPorts(const QStringList &extraPaths);
    // From now on the list follows the ports that come and go.
    void followPorts();
    // The ports to offer, in the order they came; the chosen port among them while it is absent.
    QList<PortDescription> listedPorts() const { return m_listed; }
    bool isPresent(const QString &location) const;

    // The chosen port is the one the user last picked, or that a reading was started on, or at
    // start the stored one; no scan changes it. An absent chosen port that is no longer chosen
    // leaves the list.
    QString chosenLocation() const { return m_chosen; }
    void choose(const QString &location);
    // At start: the port stored at the last exit, and the USB identity of the last reader, by
    // which it is found under another name.
    void chooseStored(const QString &location, const PortDescription &readerIdentity);
    // The device the reading runs on, as the system described it when it was opened.
    PortDescription readerDescription() const { return m_readerDescription; }

    // Opens the port at location and polls it until end(); false when it cannot be opened, with
    // errorString() saying why.
    bool start(const QString &location);
    // Hands over the last reply, if any, and closes the port.
    void end();
    QString errorString() const { return m_port.errorString(); }

signals:
    // A reply is over: the line has fallen silent after it, or the reading ended or lost its
    // reader.
    void replyEnded(const QByteArray &reply);
    void stateChanged(ReaderLink::State state);
    // A poll tick with no reading to poll for.
    void idleTick();
    // The listed ports, their presence or the chosen one changed.
    void listedPortsChanged();

private:
    void applyFoundPorts(const QList<PortDescription> &found);
    void dropAbsentUnkept();
    PortDescription describePort(const QString &location, const QString &name = QString()) const;
    void followLostReader();
    void onPollTick();
    void readChunk();
    void handlePortError(QSerialPort::SerialPortError error);
    bool openPort(const QString &location);
    void loseReader();
    void tryReopen();
    void takeInArrivedBytes();
    void finishReply();
    void setState(State state);

    State m_state = State::Idle;
    // The port the reading was started on, where a lost reader is looked for again, and the
    // device the system had behind it, by which the reader is known under another name.
    QString m_readerLocation;
    PortDescription m_readerDescription;
    // The ports there were when the reader was lost: the reader comes back as a new one.
    QList<PortDescription> m_portsAtLoss;
    int m_reopenTicksToRest = 0;
    int m_ticksWithPollUnwritten = 0;
    QSerialPort m_port;
    QByteArray m_replyBuffer;
    QTimer m_pollTimer;
    // Runs from the last chunk of a reply: the reader marks the end of a reply only by falling
    // silent.
    QTimer m_replyEndTimer;

    PortWatcher *m_portWatcher = nullptr;
    QList<PortDescription> m_foundPorts;
    QList<PortDescription> m_listed;
    QString m_chosen;
    // Listed under their path as written, like the system's ports under their name.
    QStringList m_extraPaths;
};
