#pragma once

#include "portlist.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <thread>

// Finds the serial ports there are now: the system's, and the extra paths that exist. Scans run
// about once a second on a thread of their own, since one takes tens of milliseconds (the system
// asks every device), too long to hold the window.
class PortWatcher : public QObject {
    Q_OBJECT

public:
    using Scan = QList<PortDescription> (*)();
    // The system's ports; tests put their own function here before the watcher is made.
    static Scan systemPorts;

    explicit PortWatcher(const QStringList &extraPaths, QObject *parent = nullptr);
    ~PortWatcher() override;

    // Scans on the calling thread and returns at once what it found.
    QList<PortDescription> scanNow() const;
    // Scans again and again, reporting each result through portsFound.
    void start(int intervalMs);

signals:
    void portsFound(const QList<PortDescription> &ports);

private:
    void startScan();

    QStringList m_extraPaths;
    QTimer m_timer;
    std::thread m_scan;
    bool m_scanning = false;
};
