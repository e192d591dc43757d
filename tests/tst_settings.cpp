#include "appsettings.h"
#include "mainwindow.h"
#include "registerfixture.h"
#include "storedindex.h"
#include "testsupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QScreen>
#include <QSerialPortInfo>

using namespace RegisterFixture;

class TestSettings : public QObject {
    Q_OBJECT

private slots:
    void init();
    void firstRunTakesDefaults();
    void everyKeyComesBackAfterRestart();
    void halfAGeometryPairChangesNothing_data();
    void halfAGeometryPairChangesNothing();
    void storedPortIndex_data();
    void storedPortIndex();
    void geometryOffEveryScreenIsBroughtBack_data();
    void geometryOffEveryScreenIsBroughtBack();
    void storedPortIsFoundByItsLocation();
};

void TestSettings::init() {
    AppSettings().clear();
    clearRegister();
    fillRegister({{1, "30"}, {2, "10"}, {3, "20"}});
}

void TestSettings::firstRunTakesDefaults() {
    MainWindow window;
    auto *view = window.findChild<QTableView *>("tableView");
    QCOMPARE(view->horizontalHeader()->sectionSize(2),
             view->horizontalHeader()->defaultSectionSize());
    QCOMPARE(view->horizontalHeader()->sortIndicatorSection(), 0);
    QCOMPARE(window.size(), QSize(597, 426));
    QCOMPARE(window.findChild<QLabel *>("objednavka")->text(), QString());
    QVERIFY(!window.findChild<QCheckBox *>("zaznam")->isChecked());
    auto *com = window.findChild<QComboBox *>("com");
    QCOMPARE(com->currentIndex(), com->count() > 0 ? 0 : -1);
}

void TestSettings::everyKeyComesBackAfterRestart() {
    AppSettings().setValue("email_to", "sklad@vernholt.example");
    int port = 0;
    {
        MainWindow window;
        QHeaderView *header = window.findChild<QTableView *>("tableView")->horizontalHeader();
        header->resizeSection(1, 150);
        header->resizeSection(2, 222);
        header->setSortIndicator(2, Qt::DescendingOrder);
        window.move(23, 45);
        window.resize(700, 500);
        window.findChild<QLabel *>("objednavka")->setText("OBJ-2024/17");
        window.findChild<QCheckBox *>("zaznam")->setChecked(true);
        port = window.findChild<QComboBox *>("com")->currentIndex();
    }
    AppSettings settings;
    QCOMPARE(settings.allKeys().filter("table/sectionSize").size(), 3);
    QCOMPARE(settings.value("email_to").toString(), QString("sklad@vernholt.example"));
    QVERIFY(!settings.contains("email_from") && !settings.contains("email_body"));

    MainWindow window;
    auto *view = window.findChild<QTableView *>("tableView");
    QCOMPARE(view->horizontalHeader()->sectionSize(1), 150);
    QCOMPARE(view->horizontalHeader()->sectionSize(2), 222);
    // The sort column comes back, always ascending.
    QCOMPARE(view->horizontalHeader()->sortIndicatorOrder(), Qt::AscendingOrder);
    QCOMPARE(columnTexts(view, 2), QStringList({"10", "20", "30"}));
    QCOMPARE(window.pos(), QPoint(23, 45));
    QCOMPARE(window.size(), QSize(700, 500));
    QCOMPARE(window.findChild<QLabel *>("objednavka")->text(), QString("OBJ-2024/17"));
    QVERIFY(window.findChild<QCheckBox *>("zaznam")->isChecked());
    QCOMPARE(window.findChild<QComboBox *>("com")->currentIndex(), port);
}

void TestSettings::halfAGeometryPairChangesNothing_data() {
    QTest::addColumn<QString>("key");
    for (const char *key : {"window/posx", "window/posy", "window/width", "window/height"})
        QTest::newRow(key) << key;
}

void TestSettings::halfAGeometryPairChangesNothing() {
    QFETCH(QString, key);
    const QPoint untouched = MainWindow().pos();
    AppSettings().clear();
    AppSettings().setValue(key, 321);
    MainWindow window;
    QCOMPARE(window.pos(), untouched);
    QCOMPARE(window.size(), QSize(597, 426));
}

void TestSettings::storedPortIndex_data() {
    QTest::addColumn<int>("ports");
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("current");

    QTest::newRow("second of two") << 2 << 1 << 1;
    QTest::newRow("3 of two keeps the first") << 2 << 3 << 0;
    QTest::newRow("2 of two keeps the first") << 2 << 2 << 0;
    QTest::newRow("-1 with ports present selects none") << 2 << -1 << -1;
    QTest::newRow("no ports stay empty") << 0 << 0 << -1;
}

// The window lists the machine's real ports, so the rule is tried on a box of known size.
void TestSettings::storedPortIndex() {
    QFETCH(int, ports);
    QFETCH(int, stored);
    QFETCH(int, current);

    QComboBox box;
    for (int i = 0; i < ports; ++i)
        box.addItem(QString("ttyS%1").arg(i));
    restoreCurrentIndex(&box, stored);
    QCOMPARE(box.currentIndex(), current);
}

void TestSettings::geometryOffEveryScreenIsBroughtBack_data() {
    QTest::addColumn<QRect>("stored");
    QTest::newRow("far right and below") << QRect(50000, 40000, 597, 426);
    QTest::newRow("left of and above") << QRect(-3000, -2000, 597, 426);
    QTest::newRow("larger than any screen") << QRect(0, 0, 100000, 100000);
    QTest::newRow("running off the right edge") << QRect(400, 10, 597, 426);
}

void TestSettings::geometryOffEveryScreenIsBroughtBack() {
    QFETCH(QRect, stored);

    AppSettings settings;
    settings.setValue("window/posx", stored.x());
    settings.setValue("window/posy", stored.y());
    settings.setValue("window/width", stored.width());
    settings.setValue("window/height", stored.height());
    settings.sync();

    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    MainWindow window;
    const QRect restored(window.pos(), window.size());
    QVERIFY2(screen.contains(restored), qPrintable(QString("%1,%2 %3x%4")
                                                       .arg(restored.x())
                                                       .arg(restored.y())
                                                       .arg(restored.width())
                                                       .arg(restored.height())));
    QCOMPARE(window.size(), stored.size().boundedTo(screen.size()));
}

// The list of ports changes with the devices plugged in; the stored index alone would then
// name another device.
void TestSettings::storedPortIsFoundByItsLocation() {
    // Extra paths are listed while they exist.
    const QString a = QDir::tempPath() + "/zirave-a";
    const QString b = QDir::tempPath() + "/zirave-b";
    const QString c = QDir::tempPath() + "/zirave-c";
    for (const QString &path : {a, b, c}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const int found = QSerialPortInfo::availablePorts().size();
    AppSettings().setValue("extra_ports", QStringList{a, b});
    {
        MainWindow window;
        auto *com = window.findChild<QComboBox *>("com");
        com->setCurrentIndex(com->findData(b));
    }
    QCOMPARE(AppSettings().value("com").toInt(), found + 1);
    QCOMPARE(AppSettings().value("com_port").toString(), b);

    AppSettings().setValue("extra_ports", QStringList{c, a, b});
    MainWindow window;
    QCOMPARE(window.findChild<QComboBox *>("com")->currentData().toString(), b);
}

ZIRAVE_TEST_MAIN(TestSettings)
#include "tst_settings.moc"
