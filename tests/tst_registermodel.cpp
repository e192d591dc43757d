#include "mysqlquerymodel.h"
#include "testsupport.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

// The register's query model as refreshTable loads it: every row at once.
class TestRegisterModel : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void loadsEveryRowWithOneReset_data();
    void loadsEveryRowWithOneReset();
    void failingQueryLeavesAnEmptyModel();
};

namespace {
const char registerQuery[] = "select id,obojek,eid from obojky";
}

void TestRegisterModel::init() {
    // The model reads the default connection, as the program's does.
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE");
    db.setDatabaseName(":memory:");
    QVERIFY(db.open());
    QVERIFY(QSqlQuery().exec("create table obojky (id integer primary key AUTOINCREMENT, obojek "
                             "integer not null unique, eid varchar(60))"));
}

void TestRegisterModel::cleanup() {
    const QString name = QSqlDatabase::database().connectionName();
    QSqlDatabase::database().close();
    QSqlDatabase::removeDatabase(name);
}

void TestRegisterModel::loadsEveryRowWithOneReset_data() {
    QTest::addColumn<int>("rows");
    QTest::newRow("empty register") << 0;
    QTest::newRow("one row") << 1;
    QTest::newRow("exactly one batch") << 255;
    QTest::newRow("one more than a batch") << 256;
    QTest::newRow("many batches") << 2000;
}

void TestRegisterModel::loadsEveryRowWithOneReset() {
    QFETCH(int, rows);
    QSqlQuery query;
    QVERIFY(QSqlDatabase::database().transaction());
    QVERIFY(query.prepare("insert into obojky(obojek,eid) values (?,?)"));
    for (int row = 0; row < rows; ++row) {
        query.addBindValue(row + 1);
        query.addBindValue(row % 7 ? QVariant(QString::number(row * 31)) : QVariant());
        QVERIFY(query.exec());
    }
    QVERIFY(QSqlDatabase::database().commit());

    MySqlQueryModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.setQuery(registerQuery);
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QSignalSpy inserts(&model, &QAbstractItemModel::rowsInserted);
    QVERIFY(resets.isValid() && inserts.isValid());

    model.setQueryFetchingAll(registerQuery);
    QCOMPARE(resets.count(), 1);
    QCOMPARE(inserts.count(), 0);
    QCOMPARE(model.rowCount(), rows);
    QVERIFY(!model.canFetchMore());
    QCOMPARE(model.query().lastQuery(), QString(registerQuery));

    // The rows in the query's order, each value as the base model gives it.
    QSqlQueryModel base;
    base.setQuery(registerQuery);
    while (base.canFetchMore())
        base.fetchMore();
    QCOMPARE(base.rowCount(), rows);
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < 3; ++column) {
            const QVariant expected = base.index(row, column).data();
            const QVariant value = model.index(row, column).data();
            QCOMPARE(value, expected);
            QCOMPARE(value.isNull(), expected.isNull());
        }
    }
}

void TestRegisterModel::failingQueryLeavesAnEmptyModel() {
    MySqlQueryModel model;
    model.setQueryFetchingAll(registerQuery);
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QVERIFY(resets.isValid());
    model.setQueryFetchingAll("select id,obojek,eid from missing");
    QCOMPARE(resets.count(), 1);
    QCOMPARE(model.rowCount(), 0);
    QVERIFY(model.lastError().isValid());
}

ZIRAVE_TEST_MAIN(TestRegisterModel)
#include "tst_registermodel.moc"
