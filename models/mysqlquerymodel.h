#pragma once

#include <QSqlQueryModel>

// The register's query model: the rows of the register query, every valid cell on a solid white
// background.
class MySqlQueryModel : public QSqlQueryModel {
    Q_OBJECT

public:
    using QSqlQueryModel::QSqlQueryModel;

    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
};
