#include "qmysortfilterproxymodel.h"

#include <QRegExp>

bool QMySortFilterProxyModel::lessThan(const QModelIndex &left, const QModelIndex &right) const {
    const QVariant leftData = sourceModel()->data(left, Qt::DisplayRole);
    const QVariant rightData = sourceModel()->data(right, Qt::DisplayRole);
    if (compareMode != 1)
        return QSortFilterProxyModel::lessThan(left, right);

    const QString leftText = leftData.toString();
    const QString rightText = rightData.toString();
    const QRegExp digitsOnly(QStringLiteral("\\d*"), Qt::CaseSensitive, QRegExp::RegExp);
    if (digitsOnly.exactMatch(leftText) && digitsOnly.exactMatch(rightText))
        return leftText.toULongLong() < rightText.toULongLong();
    return QSortFilterProxyModel::lessThan(left, right);
}
