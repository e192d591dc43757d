#include "portwatcher.h"

#include <QFileInfo>
#include <QSerialPortInfo>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace {
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

PortWatcher::PortWatcher(const QStringList &extraPaths, QObject *parent)
    : QObject(parent)
    , m_extraPaths(extraPaths) {
    connect(&m_timer, &QTimer::timeout, this, &PortWatcher::startScan);
}

PortWatcher::~PortWatcher() {
    // What a scan still running reports is dropped with this object.
    if (m_scan.joinable())
        m_scan.join();
}

QList<PortDescription> PortWatcher::scanNow() const {
    return scanPorts(systemPorts, m_extraPaths);
}

void PortWatcher::start(int intervalMs) {
    m_timer.start(intervalMs);
}

void PortWatcher::startScan() {
    // A scan slower than the interval is not joined by another one.
    if (m_scanning)
        return;
    if (m_scan.joinable())
        m_scan.join();
    m_scanning = true;
    m_scan = std::thread([this, scan = systemPorts, extraPaths = m_extraPaths] {
        const QList<PortDescription> ports = scanPorts(scan, extraPaths);
        QMetaObject::invokeMethod(
            this,
            [this, ports] {
                m_scanning = false;
                emit portsFound(ports);
            },
            Qt::QueuedConnection);
    });
}
