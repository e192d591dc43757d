#pragma once

#include <QApplication>
#include <QDir>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QString>
#include <QTableView>
#include <QTest>
#include <QVariant>
#include <QWidget>

#include <functional>

// Helpers for tests that drive the real main window against the real data.db of the private HOME.
namespace RegisterFixture {

inline QString dataDirectory() {
    return QStandardPaths::standardLocations(QStandardPaths::DataLocation).value(0);
}

inline QString databasePath() {
    return dataDirectory() + "/data.db";
}

// Runs fn on a private connection to data.db, so tests can prepare or inspect the register
// without going through the window.
inline void withDatabase(const std::function<void(QSqlDatabase &)> &fn) {
    const QString name = "fixture";
    {
        QDir().mkpath(dataDirectory());
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", name);
        db.setDatabaseName(databasePath());
        QVERIFY2(db.open(), qPrintable(db.lastError().text()));
        fn(db);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

// Fills the register with (collar number, EID) rows, in this order.
inline void fillRegister(const QList<QPair<QVariant, QVariant>> &rows) {
    withDatabase([&](QSqlDatabase &db) {
        QSqlQuery query(db);
        QVERIFY(query.exec("create table IF NOT EXISTS obojky (id integer primary key "
                           "AUTOINCREMENT, obojek integer not null unique, eid varchar(60))"));
        QVERIFY(db.transaction());
        QVERIFY(query.prepare("insert into obojky(obojek,eid) values (?,?)"));
        for (const auto &row : rows) {
            query.addBindValue(row.first);
            query.addBindValue(row.second);
            QVERIFY2(query.exec(), qPrintable(query.lastError().text()));
        }
        QVERIFY(db.commit());
    });
}

inline void clearRegister() {
    withDatabase([](QSqlDatabase &db) {
        QSqlQuery query(db);
        query.exec("drop table if exists obojky");
        query.exec("delete from sqlite_sequence");
    });
}

// The texts of one column of the table as the user sees them, top to bottom.
inline QStringList columnTexts(const QTableView *view, int column) {
    QStringList texts;
    const QAbstractItemModel *model = view->model();
    for (int row = 0; row < model->rowCount(); ++row)
        texts << model->index(row, column).data().toString();
    return texts;
}

inline QString selectedCollar(const QTableView *view) {
    const QModelIndexList rows = view->selectionModel()->selectedRows(1);
    return rows.size() == 1 ? rows.first().data().toString() : QString();
}

// The folder where replaced and sent orders are kept, and what it holds, hidden entries included.
inline QString archiveDirectory() {
    return dataDirectory() + "/archive";
}

inline QStringList archiveEntries() {
    return QDir(archiveDirectory())
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                   QDir::Name);
}

} // namespace RegisterFixture
