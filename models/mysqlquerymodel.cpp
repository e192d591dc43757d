#include "mysqlquerymodel.h"

#include <QBrush>

QVariant MySqlQueryModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || role != Qt::BackgroundRole)
        return QSqlQueryModel::data(index, role);
    return QBrush(QColor(255, 255, 255, 255), Qt::SolidPattern);
}
