#include "portwatcher.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <memory>

namespace {
// The system as the tests play it: a fingerprint they change, and ports a scan finds, counted.
// Scans run on threads of their own.
QByteArray fakeStamp;
int stampsTaken = 0;

QMutex fakeLock;
QList<PortDescription> fakePorts;
// What the system has finished by the time a scan has looked (udev naming an adapter's identity).
QList<PortDescription> fakePortsCompleted;
int scansBegun = 0;
std::atomic<bool> holdingScans{false};
QSemaphore heldScanRelease;
std::atomic<bool> scanHeld{false};
std::atomic<bool> heldScanEnded{false};

QByteArray takeFakeStamp() {
    ++stampsTaken;
    return fakeStamp;
}

QList<PortDescription> scanFake() {
    QMutexLocker locker(&fakeLock);
    ++scansBegun;
    const QList<PortDescription> found = fakePorts;
    if (!fakePortsCompleted.isEmpty())
        fakePorts = fakePortsCompleted;
    if (holdingScans) {
        locker.unlock();
        scanHeld = true;
        // Released by the test; a watcher that waited for its scan would wait here in vain.
        heldScanRelease.tryAcquire(1, 5000);
        heldScanEnded = true;
    }
    return found;
}

int scansBegunSoFar() {
    QMutexLocker locker(&fakeLock);
    return scansBegun;
}

void setFakePorts(const QList<PortDescription> &ports,
                  const QList<PortDescription> &completed = {}) {
    QMutexLocker locker(&fakeLock);
    fakePorts = ports;
    fakePortsCompleted = completed;
}

QStringList locations(const QList<PortDescription> &ports) {
    QStringList result;
    for (const PortDescription &port : ports)
        result << port.location;
    return result;
}

QList<PortDescription> foundAt(const QSignalSpy &spy, int index) {
    return spy.at(index).at(0).value<QList<PortDescription>>();
}
} // namespace

Q_DECLARE_METATYPE(QList<PortDescription>)

// The watcher asks the system for its ports only when a cheap fingerprint says they may have
// changed, and never holds its owner.
class TestPortWatcher : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void noScanWhileNothingChanges();
    void aChangeLeadsToAScan();
    void anIdentityCompletedAfterAChangeIsFound();
    void anExtraPathAppearingIsNoticed();
    void destroyingDuringAScanReturnsAtOnceAndDropsItsResult();
    void theFingerprintOnWindowsHoldsTheComPorts();

private:
    const PortWatcher::Scan m_realScan = PortWatcher::systemPorts;
    const PortWatcher::Stamp m_realStamp = PortWatcher::systemStamp;
};

void TestPortWatcher::initTestCase() {
    qRegisterMetaType<QList<PortDescription>>();
}

void TestPortWatcher::init() {
    PortWatcher::systemPorts = scanFake;
    PortWatcher::systemStamp = takeFakeStamp;
    fakeStamp = "before";
    stampsTaken = 0;
    scansBegun = 0;
    setFakePorts({plainPort("ttyS0", "/dev/ttyS0")});
}

void TestPortWatcher::cleanup() {
    PortWatcher::systemPorts = m_realScan;
    PortWatcher::systemStamp = m_realStamp;
}

void TestPortWatcher::noScanWhileNothingChanges() {
    PortWatcher watcher({});
    QSignalSpy found(&watcher, &PortWatcher::portsFound);
    QCOMPARE(locations(watcher.scanNow()), QStringList({"/dev/ttyS0"}));
    watcher.start(1);
    QTRY_VERIFY(stampsTaken >= 20);
    QCOMPARE(scansBegunSoFar(), 1);
    QCOMPARE(found.count(), 0);
}

void TestPortWatcher::aChangeLeadsToAScan() {
    PortWatcher watcher({});
    QSignalSpy found(&watcher, &PortWatcher::portsFound);
    watcher.scanNow();
    watcher.start(1);
    QTRY_VERIFY(stampsTaken >= 3);
    setFakePorts({plainPort("ttyS0", "/dev/ttyS0"), plainPort("ttyUSB0", "/dev/ttyUSB0")});
    fakeStamp = "after";
    QTRY_VERIFY(found.count() >= 1);
    QCOMPARE(locations(foundAt(found, 0)), QStringList({"/dev/ttyS0", "/dev/ttyUSB0"}));
}

// The adapter's node is there before the system has named its serial number; the number comes
// without a further change of the fingerprint.
void TestPortWatcher::anIdentityCompletedAfterAChangeIsFound() {
    PortWatcher watcher({});
    QSignalSpy found(&watcher, &PortWatcher::portsFound);
    watcher.scanNow();
    watcher.start(1);
    PortDescription adapter = plainPort("ttyUSB0", "/dev/ttyUSB0");
    adapter.hasUsbIdentity = true;
    PortDescription named = adapter;
    named.serialNumber = "A1";
    setFakePorts({adapter}, {named});
    fakeStamp = "after";
    QTRY_VERIFY(found.count() >= 2);
    QCOMPARE(foundAt(found, 0).value(0).serialNumber, QString());
    QCOMPARE(foundAt(found, 1).value(0).serialNumber, QString("A1"));
}

void TestPortWatcher::anExtraPathAppearingIsNoticed() {
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString path = folder.filePath("reader");
    PortWatcher watcher({path});
    QSignalSpy found(&watcher, &PortWatcher::portsFound);
    QCOMPARE(locations(watcher.scanNow()), QStringList({"/dev/ttyS0"}));
    watcher.start(1);
    QTRY_VERIFY(stampsTaken >= 3);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QTRY_VERIFY(found.count() >= 1);
    QCOMPARE(locations(foundAt(found, 0)), QStringList({"/dev/ttyS0", path}));
}

void TestPortWatcher::destroyingDuringAScanReturnsAtOnceAndDropsItsResult() {
    holdingScans = true;
    scanHeld = false;
    heldScanEnded = false;
    auto watcher = std::make_unique<PortWatcher>(QStringList());
    watcher->start(1);
    QTRY_VERIFY(scanHeld);

    watcher.reset();
    QVERIFY(!heldScanEnded);
    holdingScans = false;
    // A watcher made now may take the place of the one gone; the result is not its either.
    watcher = std::make_unique<PortWatcher>(QStringList());
    QSignalSpy found(watcher.get(), &PortWatcher::portsFound);
    heldScanRelease.release();
    QTRY_COMPARE(PortWatcher::runningScans(), 0);
    QCoreApplication::sendPostedEvents();
    QCOMPARE(found.count(), 0);
}

// Windows' map of COM ports, which the fingerprint reads, is also where a Wine prefix lists its
// ports, and where the system's scan finds them.
void TestPortWatcher::theFingerprintOnWindowsHoldsTheComPorts() {
#ifndef Q_OS_WIN
    QSKIP("the map of COM ports is Windows'");
#else
    const QByteArray stamp = m_realStamp();
    const QList<PortDescription> ports = m_realScan();
    QVERIFY(!ports.isEmpty());
    for (const PortDescription &port : ports) {
        const QByteArray name(reinterpret_cast<const char *>(port.name.utf16()),
                              int(port.name.size() * 2));
        QVERIFY2(stamp.contains(name), qPrintable(port.name));
    }
#endif
}

QTEST_GUILESS_MAIN(TestPortWatcher)
#include "tst_portwatcher.moc"
