#include "mysqlquerymodel.h"

#include <QBrush>

QVariant MySqlQueryModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || role != Qt::BackgroundRole)
        return QSqlQueryModel::data(index, role);
    return QBrush(QColor(255, 255, 255, 255), Qt::SolidPattern);
}

void MySqlQueryModel::setQueryFetchingAll(const QString &query) {
    // Nested inside this reset, setQuery and fetchMore announce nothing of their own.
    beginResetModel();
    setQuery(query);
    while (canFetchMore())
        fetchMore();
    endResetModel();
}
