#include "portlist.h"
#include "ptypair.h"
#include "readerprotocol.h"

#include <QTest>

namespace {
// An adapter of the common cheap chip; without a serial number, two of them look alike.
PortDescription adapter(const QString &name, const QString &serial = QString()) {
    PortDescription port = plainPort(name, "/dev/" + name);
    port.hasUsbIdentity = true;
    port.vendorId = 0x1a86;
    port.productId = 0x7523;
    port.serialNumber = serial;
    return port;
}

PortDescription otherMake(const QString &name) {
    PortDescription port = adapter(name);
    port.productId = 0x5523;
    return port;
}

using Ports = QList<PortDescription>;
} // namespace

Q_DECLARE_METATYPE(PortDescription)

// What the program knows of the reader's line and of the ports it may be on, without a port or a
// window.
class TestReaderProtocol : public QObject {
    Q_OBJECT

private slots:
    void tagCode_data();
    void tagCode();
    void replyBufferKeepsNoMoreThanATagNeeds();
    void slowReopeningsAreSpaced();
    void lostReaderIsFollowedOnlyWhenItCannotBeAnother_data();
    void lostReaderIsFollowedOnlyWhenItCannotBeAnother();
    void reopeningWaitsForTheReadersOwnDevice_data();
    void reopeningWaitsForTheReadersOwnDevice();
    void readerIsFoundAtStartByItsSerialNumber_data();
    void readerIsFoundAtStartByItsSerialNumber();
    void identityTextComesBack();
};

void TestReaderProtocol::tagCode_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("eid");

    QTest::newRow("256 little-endian") << tagReply(256) << "256";
    QTest::newRow("byte order") << tagReply(0x12345678) << "305419896";
    QTest::newRow("code 0") << tagReply(0) << "0";
    QTest::newRow("largest code, ten digits") << tagReply(0xffffffff) << "4294967295";
    QTest::newRow("other bytes not looked at")
        << QByteArray(3, '\xff') + QByteArray("\x01\0\0\0", 4) + QByteArray(5, '\xff') << "1";
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("11 bytes") << tagReply(5).left(11) << QString();
    QTest::newRow("13 bytes") << tagReply(5) + 'x' << QString();
    QTest::newRow("two replies joined") << tagReply(5) + tagReply(6) << QString();
}

void TestReaderProtocol::tagCode() {
    QFETCH(QByteArray, reply);
    QFETCH(QString, eid);
    const std::optional<quint32> code = ReaderProtocol::tagCode(reply);
    QCOMPARE(code.has_value(), !eid.isNull());
    if (code)
        QCOMPARE(ReaderProtocol::eidText(*code), eid);
}

void TestReaderProtocol::replyBufferKeepsNoMoreThanATagNeeds() {
    const QByteArray tag = tagReply(256);
    QByteArray reply;
    ReaderProtocol::appendToReply(reply, tag.left(5));
    ReaderProtocol::appendToReply(reply, tag.mid(5));
    QCOMPARE(ReaderProtocol::tagCode(reply), std::optional<quint32>(256));

    // A line that never falls silent.
    for (int i = 0; i < 1000; ++i)
        ReaderProtocol::appendToReply(reply, tag);
    QCOMPARE(reply.size(), ReaderProtocol::tagReplyLength + 1);
    QVERIFY(!ReaderProtocol::tagCode(reply));
}

// Attempts keep to about a tenth of the time, resting at most 30 s.
void TestReaderProtocol::slowReopeningsAreSpaced() {
    QCOMPARE(ReaderProtocol::ticksToRestAfterReopen(1, 300), 0);
    QCOMPARE(ReaderProtocol::ticksToRestAfterReopen(30, 300), 0);
    QCOMPARE(ReaderProtocol::ticksToRestAfterReopen(300, 300), 9);
    QCOMPARE(ReaderProtocol::ticksToRestAfterReopen(60000, 300), 100);
}

void TestReaderProtocol::lostReaderIsFollowedOnlyWhenItCannotBeAnother_data() {
    QTest::addColumn<PortDescription>("lost");
    QTest::addColumn<Ports>("atLoss");
    QTest::addColumn<Ports>("found");
    QTest::addColumn<QString>("followed");

    const PortDescription reader = adapter("ttyUSB0");
    QTest::newRow("same serial number")
        << adapter("ttyUSB0", "A1") << Ports{adapter("ttyUSB0", "A1"), adapter("ttyUSB1")}
        << Ports{adapter("ttyUSB1"), adapter("ttyUSB2", "A1")} << "/dev/ttyUSB2";
    QTest::newRow("another serial number")
        << adapter("ttyUSB0", "A1") << Ports{adapter("ttyUSB0", "A1")}
        << Ports{adapter("ttyUSB2", "B2")} << QString();
    QTest::newRow("no serial number, the only new one of its make")
        << reader << Ports{reader, adapter("ttyUSB1"), otherMake("ttyUSB3")}
        << Ports{adapter("ttyUSB1"), adapter("ttyUSB2"), otherMake("ttyUSB4")} << "/dev/ttyUSB2";
    QTest::newRow("no serial number, two new ones of its make")
        << reader << Ports{reader} << Ports{adapter("ttyUSB1"), adapter("ttyUSB2")} << QString();
    QTest::newRow("no serial number, another of its make moved meanwhile")
        << reader << Ports{reader, adapter("ttyUSB1")} << Ports{adapter("ttyUSB2")} << QString();
    QTest::newRow("back under its own name")
        << reader << Ports{reader} << Ports{reader} << QString();
    QTest::newRow("no USB identity")
        << plainPort("ttyS0", "/dev/ttyS0") << Ports{plainPort("ttyS0", "/dev/ttyS0")}
        << Ports{plainPort("ttyS1", "/dev/ttyS1")} << QString();
}

void TestReaderProtocol::lostReaderIsFollowedOnlyWhenItCannotBeAnother() {
    QFETCH(PortDescription, lost);
    QFETCH(Ports, atLoss);
    QFETCH(Ports, found);
    QFETCH(QString, followed);
    QCOMPARE(PortList::followedLocation(lost, atLoss, found).value_or(QString()), followed);
}

void TestReaderProtocol::reopeningWaitsForTheReadersOwnDevice_data() {
    QTest::addColumn<PortDescription>("reader");
    QTest::addColumn<Ports>("found");
    QTest::addColumn<bool>("reopened");

    QTest::newRow("back") << adapter("ttyUSB0", "A1") << Ports{adapter("ttyUSB0", "A1")} << true;
    QTest::newRow("another device under its name")
        << adapter("ttyUSB0", "A1") << Ports{adapter("ttyUSB0", "B2")} << false;
    QTest::newRow("not found yet") << adapter("ttyUSB0", "A1") << Ports{} << false;
    QTest::newRow("no USB identity to check")
        << plainPort("ttyS0", "/dev/ttyS0") << Ports{} << true;
}

void TestReaderProtocol::reopeningWaitsForTheReadersOwnDevice() {
    QFETCH(PortDescription, reader);
    QFETCH(Ports, found);
    QFETCH(bool, reopened);
    QCOMPARE(PortList::mayReopen(reader, found), reopened);
}

void TestReaderProtocol::readerIsFoundAtStartByItsSerialNumber_data() {
    QTest::addColumn<PortDescription>("stored");
    QTest::addColumn<Ports>("found");
    QTest::addColumn<QString>("chosen");

    QTest::newRow("where it was") << adapter("ttyUSB0", "A1")
                                  << Ports{adapter("ttyUSB0", "A1"), adapter("ttyUSB1", "A1")}
                                  << "/dev/ttyUSB0";
    QTest::newRow("under another name")
        << adapter("ttyUSB0", "A1") << Ports{adapter("ttyUSB1", "B2"), adapter("ttyUSB2", "A1")}
        << "/dev/ttyUSB2";
    QTest::newRow("without a serial number, not guessed")
        << adapter("ttyUSB0") << Ports{adapter("ttyUSB2")} << "/dev/ttyUSB0";
}

void TestReaderProtocol::readerIsFoundAtStartByItsSerialNumber() {
    QFETCH(PortDescription, stored);
    QFETCH(Ports, found);
    QFETCH(QString, chosen);
    QCOMPARE(PortList::chosenAtStart(stored.location, stored, found), chosen);
}

void TestReaderProtocol::identityTextComesBack() {
    const PortDescription port = adapter("ttyUSB0", "A:1");
    QCOMPARE(PortList::identityText(port), QString("1a86:7523:A:1"));
    QVERIFY(sameUsbIdentity(PortList::identityFromText(PortList::identityText(port)), port));
    QCOMPARE(PortList::identityText(plainPort("ttyS0", "/dev/ttyS0")), QString());
    QVERIFY(!PortList::identityFromText(QString()).hasUsbIdentity);
}

QTEST_APPLESS_MAIN(TestReaderProtocol)
#include "tst_readerprotocol.moc"
