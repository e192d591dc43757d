#include "dialogemail.h"
#include "dialoginfo.h"
#include "orderarchive.h"
#include "orderattachment.h"
#include "testsupport.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTextEdit>

using Rows = QList<QPair<QVariant, QVariant>>;

class TestAttachment : public QObject {
    Q_OBJECT

private slots:
    void text_data();
    void text();
    void writesUtf8WithoutBomAndReplacesTheOldFile();
    void doesNotFollowAPlantedSymbolicLink();
    void failsWhereNoFileCanBeWritten();

    void archiveFileName_data();
    void archiveFileName();
    void archiveAddsACopyAndNeverReplacesAnything();

    void progressDialogShowsOnlyTheStatusText();
    void progressDialogWrapsALongStatusText();
    void progressDialogParts();
    void composeDialogRoundTrip();
};

void TestAttachment::text_data() {
    QTest::addColumn<Rows>("rows");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty register") << Rows{} << "czv;obojek;eid\n";
    QTest::newRow("two collars in model order")
        << Rows{{1, "123"}, {2, "456"}} << "czv;obojek;eid\n;1;123\n;2;456\n";
    QTest::newRow("model order, not numeric order")
        << Rows{{10, "9"}, {2, "1"}} << "czv;obojek;eid\n;10;9\n;2;1\n";
    QTest::newRow("separator inside an eid is written unchanged")
        << Rows{{3, "12;34"}} << "czv;obojek;eid\n;3;12;34\n";
    QTest::newRow("null eid is an empty field") << Rows{{4, QVariant()}} << "czv;obojek;eid\n;4;\n";
    QTest::newRow("czech letters") << Rows{{5, QString::fromUtf8("žluťoučký")}}
                                   << QString::fromUtf8("czv;obojek;eid\n;5;žluťoučký\n");
}

void TestAttachment::text() {
    QFETCH(Rows, rows);
    QFETCH(QString, expected);

    QStandardItemModel model(rows.size(), 3);
    for (int row = 0; row < rows.size(); ++row) {
        model.setData(model.index(row, 0), row + 100);
        model.setData(model.index(row, 1), rows[row].first);
        model.setData(model.index(row, 2), rows[row].second);
    }
    QCOMPARE(OrderAttachment::text(model), expected);
}

static QByteArray readAll(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void TestAttachment::writesUtf8WithoutBomAndReplacesTheOldFile() {
    QTemporaryDir dir;
    const QString path = dir.filePath(OrderAttachment::fileName);
    const QString first = QString::fromUtf8("czv;obojek;eid\n;1;čáp\n;2;long line\n");
    QVERIFY(OrderAttachment::write(path, first));
    QCOMPARE(readAll(path), withPlatformLineEnds(first.toUtf8()));

    // On Windows this replaces a file the program wrote itself a moment ago.
    QVERIFY(OrderAttachment::write(path, "czv;obojek;eid\n"));
    QCOMPARE(readAll(path), withPlatformLineEnds("czv;obojek;eid\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{OrderAttachment::fileName});
}

void TestAttachment::doesNotFollowAPlantedSymbolicLink() {
    QTemporaryDir dir;
    const QString victim = dir.filePath("victim.txt");
    {
        QFile file(victim);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("precious");
    }
    const QString path = dir.filePath(OrderAttachment::fileName);
    QVERIFY(QFile::link(victim, path));

    QVERIFY(OrderAttachment::write(path, "czv;obojek;eid\n"));
    QCOMPARE(readAll(victim), QByteArray("precious"));
    QVERIFY(!QFileInfo(path).isSymLink());
    QCOMPARE(readAll(path), withPlatformLineEnds("czv;obojek;eid\n"));
}

void TestAttachment::failsWhereNoFileCanBeWritten() {
    QTemporaryDir dir;
    QString error;
    QVERIFY(!OrderAttachment::write(dir.filePath("missing/obojky.csv"), "x\n", &error));
    QVERIFY(!error.isEmpty());
    // A directory standing at the path cannot be replaced by the file; the reason is the system's.
    QVERIFY(QDir(dir.path()).mkdir("obojky.csv"));
    QVERIFY(!OrderAttachment::write(dir.filePath("obojky.csv"), "x\n", &error));
    QCOMPARE(error, directoryInTheWayError());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

void TestAttachment::archiveFileName_data() {
    QTest::addColumn<QString>("orderNumber");
    QTest::addColumn<int>("reason");
    QTest::addColumn<int>("copy");
    QTest::addColumn<QString>("expected");

    const int replaced = OrderArchive::Replaced;
    QTest::newRow("slash") << "2026/118" << replaced << 1 << "20260301_070809_2026_118_nova.csv";
    QTest::newRow("sent") << "2026/118" << int(OrderArchive::Sent) << 1
                          << "20260301_070809_2026_118_odeslano.csv";
    QTest::newRow("blanks") << " A 7 " << replaced << 1 << "20260301_070809__A_7__nova.csv";
    QTest::newRow("czech letters, dash and dot are kept")
        << QString::fromUtf8("Žďár-3.ú") << replaced << 1
        << QString::fromUtf8("20260301_070809_Žďár-3.ú_nova.csv");
    QTest::newRow("path and shell characters")
        << "..\\a:b*c?\"<>|" << replaced << 1 << "20260301_070809_.._a_b_c______nova.csv";
    QTest::newRow("one character beyond 16 bits")
        << QString::fromUtf8("7\U0001F404") << replaced << 1 << "20260301_070809_7__nova.csv";
    QTest::newRow("empty") << "" << replaced << 1 << "20260301_070809_bez-cisla_nova.csv";
    QTest::newRow("second copy") << "118" << replaced << 2 << "20260301_070809_118_nova_2.csv";
}

void TestAttachment::archiveFileName() {
    QFETCH(QString, orderNumber);
    QFETCH(int, reason);
    QFETCH(int, copy);
    QFETCH(QString, expected);
    const QDateTime time(QDate(2026, 3, 1), QTime(7, 8, 9));
    QCOMPARE(OrderArchive::fileName(time, orderNumber, OrderArchive::Reason(reason), copy),
             expected);
}

// Two orders in the same second, and a link planted under the second one's name.
void TestAttachment::archiveAddsACopyAndNeverReplacesAnything() {
    QTemporaryDir dir;
    const QString database = dir.filePath("data.db");
    const QString archive = dir.filePath("archive");
    QCOMPARE(OrderArchive::directory(database), archive);
    const QDateTime second(QDate(2026, 3, 1), QTime(23, 59, 59));

    const OrderArchive::Result first =
        OrderArchive::store(database, "118", OrderArchive::Sent, "first\n", second);
    QCOMPARE(first.error, QString());
    QCOMPARE(first.path, archive + "/20260301_235959_118_odeslano.csv");
    QVERIFY(QFile::link(dir.filePath("victim"), archive + "/20260301_235959_118_odeslano_2.csv"));

    const OrderArchive::Result clash =
        OrderArchive::store(database, "118", OrderArchive::Sent, "second\n", second);
    QCOMPARE(clash.error, QString());
    QCOMPARE(clash.path, archive + "/20260301_235959_118_odeslano_3.csv");
    QCOMPARE(readAll(first.path), QByteArray("first\n"));
    QCOMPARE(readAll(clash.path), QByteArray("second\n"));
    QVERIFY(!QFileInfo::exists(dir.filePath("victim")));
    QCOMPARE(QDir(archive).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                     QDir::NoDotAndDotDot),
             QStringList({"20260301_235959_118_odeslano.csv", "20260301_235959_118_odeslano_2.csv",
                          "20260301_235959_118_odeslano_3.csv"}));
}

void TestAttachment::progressDialogShowsOnlyTheStatusText() {
    QWidget parent;
    DialogInfo dialog(&parent, true, false, false, false, false);
    dialog.show();
    auto *label = dialog.findChild<QLabel *>("label");
    QVERIFY(label->isVisible());
    QVERIFY(label->text().isEmpty());
    QVERIFY(!dialog.findChild<QProgressBar *>("progressBar")->isVisible());
    QVERIFY(!dialog.findChild<QProgressBar *>("progressBar_2")->isVisible());
    auto *buttons = dialog.findChild<QDialogButtonBox *>("buttonBox");
    QVERIFY(!buttons->button(QDialogButtonBox::Ok)->isVisible());
    QVERIFY(!buttons->button(QDialogButtonBox::Cancel)->isVisible());
    QCOMPARE(dialog.windowTitle(), QString("Zirave"));

    dialog.smtpStatus(7, -1, QString::fromUtf8("Přihlašování"));
    QCOMPARE(label->text(), QString::fromUtf8("Přihlašování"));
    dialog.smtpStatus(8, 42, "sent");
    QCOMPARE(label->text(), QString("sent"));
    QVERIFY(!dialog.findChild<QProgressBar *>("progressBar")->isVisible());
}

// Found with an untrusted certificate: the one-line failure text made the dialog 1,300 px wide,
// running off the screen with the reason cut off.
void TestAttachment::progressDialogWrapsALongStatusText() {
    QWidget parent;
    parent.resize(800, 500);
    parent.show();
    DialogInfo dialog(&parent, true, false, false, false, false);
    dialog.show();
    const int formWidth = dialog.width();
    const QString reason = QString::fromUtf8(
        "Odeslání se nezdařilo: certifikát serveru není důvěryhodný nebo nepatří tomuto serveru "
        "(SSL peer certificate or SSH remote key was not OK: SSL certificate problem: "
        "self-signed certificate; kód 60)");
    dialog.smtpStatus(1, -1, reason + " " + reason);
    QApplication::processEvents();

    QCOMPARE(dialog.width(), formWidth);
    QLabel *label = dialog.label();
    QVERIFY(label->heightForWidth(label->width()) > label->fontMetrics().height() * 3);
    QVERIFY2(
        label->height() >= label->heightForWidth(label->width()),
        qPrintable(
            QString("%1 < %2").arg(label->height()).arg(label->heightForWidth(label->width()))));
    QVERIFY(dialog.screen()->availableGeometry().contains(dialog.frameGeometry()));
}

void TestAttachment::progressDialogParts() {
    DialogInfo dialog(nullptr, false, false, false, true, true);
    dialog.show();
    dialog.setParts(true, true, false, false);
    QVERIFY(dialog.label()->isVisible());
    QVERIFY(dialog.progressBar()->isVisible());
    QVERIFY(!dialog.progressBar2()->isVisible());
    QVERIFY(!dialog.findChild<QDialogButtonBox *>("buttonBox")->isVisible());
    QCOMPARE(dialog.height(), dialog.minimumSizeHint().height());

    dialog.setProgress(10, 20, 15);
    QCOMPARE(dialog.progressBar()->minimum(), 10);
    QCOMPARE(dialog.progressBar()->maximum(), 20);
    QCOMPARE(dialog.progressBar()->value(), 15);
    dialog.setProgressValue(18);
    QCOMPARE(dialog.progressBar()->value(), 18);
    QCOMPARE(dialog.progressBar2()->value(), 0);
    dialog.setText("abc");
    QCOMPARE(dialog.label()->text(), QString("abc"));
}

void TestAttachment::composeDialogRoundTrip() {
    DialogEmail dialog(nullptr);
    const QString body = QString::fromUtf8("Dobrý den,\nposíláme objednávku.\n\nS pozdravem");
    dialog.setEmail("a@b.example", "c@d.example", "obojky - objednavka: 7", body);
    QCOMPARE(dialog.findChild<QLineEdit *>("le_from")->text(), QString("a@b.example"));
    QCOMPARE(dialog.findChild<QTextEdit *>("le_body")->toPlainText(), body);

    dialog.findChild<QLineEdit *>("le_to")->setText("x@y.example");
    QString from, to, subject, readBody;
    dialog.getEmail(from, to, subject, readBody);
    QCOMPARE(QStringList({from, to, subject, readBody}),
             QStringList({"a@b.example", "x@y.example", "obojky - objednavka: 7", body}));

    // The focus runs sender, recipient, subject, body.
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    dialog.findChild<QLineEdit *>("le_from")->setFocus();
    for (const char *next : {"le_to", "le_subject", "le_body"}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), QString(next));
    }
}

ZIRAVE_TEST_MAIN(TestAttachment)
#include "tst_attachment.moc"
