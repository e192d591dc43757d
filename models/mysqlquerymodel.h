#pragma once

#include <QSqlQueryModel>

// The register's query model: the rows of the register query, every valid cell on a solid white
// background.
class MySqlQueryModel : public QSqlQueryModel {
    Q_OBJECT

public:
    using QSqlQueryModel::QSqlQueryModel;

    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    // Sets the query on the default connection and fetches every row of it before the views hear
    // of the new rows: they take the whole result in with one reset and one sort, instead of a
    // reset and then a batch of inserted rows for every 255 rows fetched.
    void setQueryFetchingAll(const QString &query);
};
