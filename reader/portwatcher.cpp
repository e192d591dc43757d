#include "portwatcher.h"

#include <QFileInfo>
#include <QSerialPortInfo>

#include <atomic>
#include <mutex>
#include <thread>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#elif defined(Q_OS_LINUX)
#include <sys/stat.h>
#endif

namespace {
std::atomic<int> scansRunning{0};

QList<PortDescription> scanSystemPorts() {
    QList<PortDescription> ports;
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        PortDescription port = plainPort(info.portName(), info.systemLocation());
        port.hasUsbIdentity = info.hasVendorIdentifier() && info.hasProductIdentifier();
        port.vendorId = info.vendorIdentifier();
        port.productId = info.productIdentifier();
        port.serialNumber = info.serialNumber();
        ports << port;
    }
    return ports;
}

#ifdef Q_OS_WIN
// The system's map of present COM ports: a value per port, entered by its driver when the port
// comes and removed when it goes. The key itself is missing while there is no port.
QByteArray systemPortsStamp() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS)
        return "no map";
    QByteArray stamp = "map:";
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        wchar_t data[256];
        DWORD nameLength = 256;
        DWORD dataBytes = sizeof data;
        const LONG result = RegEnumValueW(key, index, name, &nameLength, nullptr, nullptr,
                                          reinterpret_cast<BYTE *>(data), &dataBytes);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        // Nothing a driver enters is that long; if the map cannot be read, every check scans.
        if (result != ERROR_SUCCESS) {
            stamp.clear();
            break;
        }
        stamp += QByteArray(reinterpret_cast<const char *>(name), int(nameLength * sizeof *name));
        stamp += '=';
        stamp += QByteArray(reinterpret_cast<const char *>(data), int(dataBytes));
        stamp += ';';
    }
    RegCloseKey(key);
    return stamp;
}
#elif defined(Q_OS_LINUX)
// A device node that comes or goes changes the modification time of /dev; the names udev gives a
// USB adapter afterwards, once it knows its identity, change those of /dev/serial's folders.
QByteArray systemPortsStamp() {
    QByteArray stamp;
    for (const char *folder : {"/dev", "/dev/serial", "/dev/serial/by-id", "/dev/serial/by-path"}) {
        struct stat status {};
        if (stat(folder, &status) == 0) {
            stamp += QByteArray::number(qint64(status.st_mtim.tv_sec)) + '.' +
                     QByteArray::number(qint64(status.st_mtim.tv_nsec));
        }
        stamp += ' ';
    }
    return stamp;
}
#else
QByteArray systemPortsStamp() {
    return QByteArray();
}
#endif

// Whether something is there at a path named in the settings. On Windows a port's name, plain or
// as \\.\COM9, is no file: it is looked up among the system's device names.
bool extraPathExists(const QString &path) {
#ifdef Q_OS_WIN
    const QString device = path.startsWith(QLatin1String("\\\\.\\")) ? path.mid(4) : path;
    if (!device.isEmpty() && !device.contains('\\') && !device.contains('/') &&
        !device.contains(':')) {
        wchar_t target[MAX_PATH];
        return QueryDosDeviceW(reinterpret_cast<const wchar_t *>(device.utf16()), target,
                               MAX_PATH) != 0;
    }
#endif
    return QFileInfo::exists(path);
}

// The system does not list pseudo-terminals or serial-over-network bridges, so such a reader
// can only be reached through a path named in the settings; it is listed while it is there.
QList<PortDescription> scanPorts(PortWatcher::Scan systemPorts, const QStringList &extraPaths) {
    QList<PortDescription> ports = systemPorts();
    for (const QString &path : extraPaths) {
        if (extraPathExists(path))
            ports << plainPort(path, path);
    }
    return ports;
}
} // namespace

PortWatcher::Scan PortWatcher::systemPorts = scanSystemPorts;
PortWatcher::Stamp PortWatcher::systemStamp = systemPortsStamp;

// A scan's thread is never waited for: it may take seconds, or hang in a driver. It keeps this
// link alive by itself, and reports only while the link still names the watcher; the lock keeps
// the watcher from going while a report is being posted to it, and a report posted before is
// dropped with the watcher's pending events. Everything the thread touches after its scan is its
// own, so it may still be running when the program's statics are destroyed.
struct PortWatcher::Link {
    std::mutex lock;
    PortWatcher *watcher = nullptr;
};

PortWatcher::PortWatcher(const QStringList &extraPaths, QObject *parent)
    : QObject(parent)
    , m_extraPaths(extraPaths)
    , m_link(std::make_shared<Link>()) {
    m_link->watcher = this;
    connect(&m_timer, &QTimer::timeout, this, &PortWatcher::check);
}

int PortWatcher::runningScans() {
    return scansRunning;
}

PortWatcher::~PortWatcher() {
    const std::lock_guard<std::mutex> locker(m_link->lock);
    m_link->watcher = nullptr;
}

QByteArray PortWatcher::currentStamp() const {
    QByteArray stamp = systemStamp();
    if (stamp.isEmpty())
        return stamp;
    stamp += '|';
    for (const QString &path : m_extraPaths)
        stamp += extraPathExists(path) ? '1' : '0';
    return stamp;
}

QList<PortDescription> PortWatcher::scanNow() const {
    // Taken before the scan, so that a change during it is seen at the next check.
    m_stamp = currentStamp();
    m_sinceScan.start();
    return scanPorts(systemPorts, m_extraPaths);
}

void PortWatcher::start(int intervalMs) {
    m_timer.start(intervalMs);
}

void PortWatcher::check() {
    // A scan slower than the interval is not joined by another one.
    if (m_scanning)
        return;
    const QByteArray stamp = currentStamp();
    if (stamp.isEmpty() || stamp != m_stamp) {
        m_stamp = stamp;
        // The system may still be finishing what changed (udev names a USB adapter's identity
        // after its node appears; two changes may fall in one tick of the file system's clock):
        // one more scan at the next check sees it done.
        m_settlingScanDue = !stamp.isEmpty();
        startScan();
    } else if (m_settlingScanDue) {
        m_settlingScanDue = false;
        startScan();
    } else if (!m_sinceScan.isValid() || m_sinceScan.hasExpired(safetyScanIntervalMs)) {
        startScan();
    }
}

void PortWatcher::startScan() {
    m_scanning = true;
    m_sinceScan.start();
    ++scansRunning;
    std::thread([link = m_link, scan = systemPorts, extraPaths = m_extraPaths] {
        const QList<PortDescription> ports = scanPorts(scan, extraPaths);
        {
            const std::lock_guard<std::mutex> locker(link->lock);
            if (link->watcher) {
                QMetaObject::invokeMethod(
                    link->watcher,
                    [watcher = link->watcher, ports] {
                        watcher->m_scanning = false;
                        emit watcher->portsFound(ports);
                    },
                    Qt::QueuedConnection);
            }
        }
        --scansRunning;
    }).detach();
}
