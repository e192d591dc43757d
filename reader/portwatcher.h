#pragma once

#include "portlist.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <memory>

// Finds the serial ports there are now: the system's, and the extra paths that exist. Asking the
// system for its ports takes tens of milliseconds (it asks every device), so it is done only when
// a cheap look at the system says that something may have changed, and then on a thread of its
// own, so that neither the window nor its closing ever waits for it.
class PortWatcher : public QObject {
    Q_OBJECT

public:
    using Scan = QList<PortDescription> (*)();
    // The system's ports; tests put their own function here before the watcher is made.
    static Scan systemPorts;
    // A fingerprint of the system's ports that takes microseconds and differs whenever a port may
    // have come or gone: on Linux the modification times of /dev and of /dev/serial's folders,
    // on Windows the system's map of COM ports. Empty where there is none: every check scans.
    // Tests put their own function here.
    using Stamp = QByteArray (*)();
    static Stamp systemStamp;
    // A full scan comes at the latest this long after the last one, for what the fingerprint
    // cannot see (a driver that does not enter its ports in the map).
    static constexpr int safetyScanIntervalMs = 60000;
    // Scans still running, those of watchers already gone too; for tests that wait for them.
    static int runningScans();

    explicit PortWatcher(const QStringList &extraPaths, QObject *parent = nullptr);
    // Returns at once: what a scan still running finds is dropped.
    ~PortWatcher() override;

    // Scans on the calling thread and returns at once what it found.
    QList<PortDescription> scanNow() const;
    // Looks at the fingerprint every intervalMs and scans when it changed, reporting each scan's
    // result through portsFound.
    void start(int intervalMs);

signals:
    void portsFound(const QList<PortDescription> &ports);

private:
    struct Link;

    QByteArray currentStamp() const;
    void check();
    void startScan();

    QStringList m_extraPaths;
    QTimer m_timer;
    // Shared with the scans still running; they report only while it names this watcher.
    std::shared_ptr<Link> m_link;
    mutable QByteArray m_stamp;
    mutable QElapsedTimer m_sinceScan;
    bool m_scanning = false;
    bool m_settlingScanDue = false;
};
