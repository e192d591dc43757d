#include "ptypair.h"
#include "readerprotocol.h"

#include <QTest>

// What the program knows of the reader's line, without a port or a window.
class TestReaderProtocol : public QObject {
    Q_OBJECT

private slots:
    void tagCode_data();
    void tagCode();
    void replyBufferKeepsNoMoreThanATagNeeds();
    void slowReopeningsAreSpaced();
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

QTEST_APPLESS_MAIN(TestReaderProtocol)
#include "tst_readerprotocol.moc"
