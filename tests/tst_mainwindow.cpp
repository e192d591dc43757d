#include "mainwindow.h"
#include "modalscript.h"
#include "qmysortfilterproxymodel.h"
#include "registerfixture.h"
#include "testsupport.h"

#include <QBrush>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QSqlDatabase>
#include <QStandardItemModel>
#include <QTableView>

using namespace RegisterFixture;

using Rows = QList<QPair<QVariant, QVariant>>;

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void init();

    void firstStartCreatesRegisterAndSecondStartShowsItsRows();
    void windowTitleAndVisibleColumns();
    void registerIsLoadedCompletely();
    void teardownRemovesTheConnection();

    void viewSortsNumbersAsNumbers_data();
    void viewSortsNumbersAsNumbers();
    void lessThanRule_data();
    void lessThanRule();
    void everyValidCellHasWhiteBackground();

    void unopenableRegisterIsReportedOnceShown_data();
    void unopenableRegisterIsReportedOnceShown();
    void noReportWhileTheWindowIsNotShown();
};

void TestMainWindow::init() {
    QDir(dataDirectory()).removeRecursively();
    QFile::remove(dataDirectory());
}

void TestMainWindow::firstStartCreatesRegisterAndSecondStartShowsItsRows() {
    QVERIFY(!QDir(dataDirectory()).exists());
    {
        MainWindow window;
        QVERIFY(QFile::exists(databasePath()));
        auto *view = window.findChild<QTableView *>("tableView");
        QCOMPARE(view->model()->rowCount(), 0);
        QVERIFY(view->selectionModel()->selectedRows().isEmpty());
    }
    fillRegister({{1, "111"}, {2, "222"}});
    MainWindow window;
    auto *view = window.findChild<QTableView *>("tableView");
    QCOMPARE(columnTexts(view, 1), QStringList({"1", "2"}));
    QCOMPARE(columnTexts(view, 2), QStringList({"111", "222"}));
    QCOMPARE(selectedCollar(view), QString("1"));
}

void TestMainWindow::windowTitleAndVisibleColumns() {
    fillRegister({{7, "70"}});
    MainWindow window;
    QCOMPARE(window.windowTitle(), QString("Zirave 1.01"));
    auto *view = window.findChild<QTableView *>("tableView");
    QVERIFY(view->isColumnHidden(0));
    QVERIFY(!view->isColumnHidden(1));
    QVERIFY(!view->isColumnHidden(2));
    QCOMPARE(view->model()->headerData(1, Qt::Horizontal).toString(), QString("Obojek"));
    QCOMPARE(view->model()->headerData(2, Qt::Horizontal).toString(), QString("EID"));
    QCOMPARE(window.size(), QSize(597, 426));
}

void TestMainWindow::registerIsLoadedCompletely() {
    Rows rows;
    for (int i = 1; i <= 1000; ++i)
        rows.append({i, QString::number(5000 + i)});
    fillRegister(rows);
    MainWindow window;
    auto *view = window.findChild<QTableView *>("tableView");
    QCOMPARE(view->model()->rowCount(), 1000);
    QCOMPARE(columnTexts(view, 1).last(), QString("1000"));
}

void TestMainWindow::teardownRemovesTheConnection() {
    {
        MainWindow window;
        QVERIFY(QSqlDatabase::contains(QSqlDatabase::defaultConnection));
    }
    QVERIFY(!QSqlDatabase::contains(QSqlDatabase::defaultConnection));
    MainWindow again;
    QVERIFY(QSqlDatabase::database().isOpen());
}

void TestMainWindow::viewSortsNumbersAsNumbers_data() {
    QTest::addColumn<Rows>("rows");
    QTest::addColumn<int>("column");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("collar numbers") << Rows{{100, "a"}, {2, "b"}, {10, "c"}, {1, "d"}} << 1
                                    << QStringList{"1", "2", "10", "100"};
    QTest::newRow("eids of different lengths")
        << Rows{{1, "1000"}, {2, "99"}, {3, "100000000000"}, {4, "5"}} << 2
        << QStringList{"5", "99", "1000", "100000000000"};
    QTest::newRow("null eid counts as zero")
        << Rows{{1, "7"}, {2, QVariant()}, {3, "3"}} << 2 << QStringList{"", "3", "7"};
    QTest::newRow("eid above 2^64-1 counts as zero")
        << Rows{{1, "18446744073709551615"}, {2, "18446744073709551616"}, {3, "1"}} << 2
        << QStringList{"18446744073709551616", "1", "18446744073709551615"};
}

void TestMainWindow::viewSortsNumbersAsNumbers() {
    QFETCH(Rows, rows);
    QFETCH(int, column);
    QFETCH(QStringList, expected);

    fillRegister(rows);
    MainWindow window;
    auto *view = window.findChild<QTableView *>("tableView");
    view->horizontalHeader()->setSortIndicator(column, Qt::AscendingOrder);
    QCOMPARE(columnTexts(view, column), expected);
    view->horizontalHeader()->setSortIndicator(column, Qt::DescendingOrder);
    std::reverse(expected.begin(), expected.end());
    QCOMPARE(columnTexts(view, column), expected);

    // The rows are numbered down the side as they stand, not in the order they were filed.
    QStringList numbers;
    QStringList shown;
    for (int row = 0; row < view->model()->rowCount(); ++row) {
        numbers << QString::number(row + 1);
        shown << view->model()->headerData(row, Qt::Vertical).toString();
    }
    QCOMPARE(shown, numbers);
}

void TestMainWindow::lessThanRule_data() {
    QTest::addColumn<QVariant>("left");
    QTest::addColumn<QVariant>("right");
    QTest::addColumn<bool>("less");

    QTest::newRow("2 < 10 as numbers") << QVariant("2") << QVariant("10") << true;
    QTest::newRow("10 !< 2 as numbers") << QVariant("10") << QVariant("2") << false;
    QTest::newRow("leading zeros are numbers") << QVariant("007") << QVariant("10") << true;
    QTest::newRow("empty is zero") << QVariant("") << QVariant("0") << false;
    QTest::newRow("empty below one") << QVariant("") << QVariant("1") << true;
    QTest::newRow("null below one") << QVariant() << QVariant("1") << true;
    QTest::newRow("max u64 above 1") << QVariant("18446744073709551615") << QVariant("1") << false;
    QTest::newRow("one above max u64 is zero")
        << QVariant("18446744073709551616") << QVariant("1") << true;
    QTest::newRow("letter falls to text") << QVariant("10a") << QVariant("9") << true;
    QTest::newRow("negative falls to text") << QVariant("-5") << QVariant("-10") << false;
    QTest::newRow("blank falls to text") << QVariant(" 9") << QVariant("10") << true;
    QTest::newRow("arabic-indic digits are zero")
        << QVariant(QString::fromUtf8("\u0663")) << QVariant("1") << true;
    QTest::newRow("full-width digits are zero")
        << QVariant(QString::fromUtf8("\uff19")) << QVariant("1") << true;
}

void TestMainWindow::lessThanRule() {
    QFETCH(QVariant, left);
    QFETCH(QVariant, right);
    QFETCH(bool, less);

    QStandardItemModel source(2, 1);
    source.setData(source.index(0, 0), left);
    source.setData(source.index(1, 0), right);
    struct Probe : QMySortFilterProxyModel {
        using QMySortFilterProxyModel::lessThan;
    } proxy;
    proxy.setSourceModel(&source);
    proxy.compareMode = 1;
    QCOMPARE(proxy.lessThan(source.index(0, 0), source.index(1, 0)), less);
}

void TestMainWindow::everyValidCellHasWhiteBackground() {
    fillRegister({{1, "10"}, {2, QVariant()}});
    MainWindow window;
    auto *view = window.findChild<QTableView *>("tableView");
    const QAbstractItemModel *model = view->model();
    for (int row = 0; row < model->rowCount(); ++row) {
        for (int column = 0; column < model->columnCount(); ++column) {
            const QVariant background = model->index(row, column).data(Qt::BackgroundRole);
            QCOMPARE(background.value<QBrush>(), QBrush(QColor(255, 255, 255), Qt::SolidPattern));
        }
    }
    auto *source = qobject_cast<QSortFilterProxyModel *>(view->model())->sourceModel();
    QVERIFY(!source->data(QModelIndex(), Qt::BackgroundRole).isValid());
}

void TestMainWindow::unopenableRegisterIsReportedOnceShown_data() {
    QTest::addColumn<bool>("blockDirectory");
    QTest::addColumn<QString>("driverText");
    QTest::newRow("not a database") << false << "file is not a database";
    QTest::newRow("directory cannot be created") << true << "unable to open database file";
}

void TestMainWindow::unopenableRegisterIsReportedOnceShown() {
    QFETCH(bool, blockDirectory);
    QFETCH(QString, driverText);

    QString reportedFile;
    if (blockDirectory) {
        // A file where the data directory should be: the directory cannot be created.
        QFile blocker(dataDirectory());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        reportedFile = databasePath();
    } else {
        QVERIFY(QDir().mkpath(dataDirectory()));
        QFile garbage(databasePath());
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write(QByteArray(4096, 'x'));
        reportedFile = databasePath();
    }

    MainWindow window;
    QString boxText;
    QMessageBox::Icon boxIcon = QMessageBox::NoIcon;
    auto seen = answerModals({[&](QWidget *modal) {
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            boxText = box->text();
            boxIcon = box->icon();
        }
        modal->close();
    }});
    window.show();
    QTRY_COMPARE(seen->answered, 1);
    QCOMPARE(boxIcon, QMessageBox::Critical);
    QVERIFY2(boxText.contains(QDir::toNativeSeparators(reportedFile)), qPrintable(boxText));
    QVERIFY2(boxText.contains(driverText), qPrintable(boxText));
    QVERIFY(window.isVisible());
    QCOMPARE(window.findChild<QTableView *>("tableView")->model()->rowCount(), 0);
}

void TestMainWindow::noReportWhileTheWindowIsNotShown() {
    QVERIFY(QDir().mkpath(dataDirectory()));
    QFile garbage(databasePath());
    QVERIFY(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(4096, 'x'));
    garbage.close();

    MainWindow window;
    QTest::qWait(50);
    QVERIFY(QApplication::activeModalWidget() == nullptr);
}

ZIRAVE_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
