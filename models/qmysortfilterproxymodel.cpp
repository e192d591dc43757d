#include "qmysortfilterproxymodel.h"

void QMySortFilterProxyModel::setSourceModel(QAbstractItemModel *model) {
    for (const QMetaObject::Connection &connection : qAsConst(m_sourceConnections))
        disconnect(connection);
    m_sourceConnections.clear();
    forgetKeys();

    // Connected before the base class connects its own handlers, which re-sort at once on a
    // change (dynamic sorting): the keys must be gone by then. Every other change is announced
    // before it happens.
    if (model) {
        const auto forget = [this] {
            forgetKeys();
        };
        m_sourceConnections = {
            connect(model, &QAbstractItemModel::dataChanged, this, forget),
            connect(model, &QAbstractItemModel::modelAboutToBeReset, this, forget),
            connect(model, &QAbstractItemModel::layoutAboutToBeChanged, this, forget),
            connect(model, &QAbstractItemModel::rowsAboutToBeInserted, this, forget),
            connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this, forget),
            connect(model, &QAbstractItemModel::rowsAboutToBeMoved, this, forget),
            connect(model, &QAbstractItemModel::columnsAboutToBeInserted, this, forget),
            connect(model, &QAbstractItemModel::columnsAboutToBeRemoved, this, forget),
            connect(model, &QAbstractItemModel::columnsAboutToBeMoved, this, forget),
        };
    }
    QSortFilterProxyModel::setSourceModel(model);
}

QVariant QMySortFilterProxyModel::headerData(int section, Qt::Orientation orientation,
                                             int role) const {
    if (orientation == Qt::Vertical && role == Qt::DisplayRole)
        return section + 1;
    return QSortFilterProxyModel::headerData(section, orientation, role);
}

bool QMySortFilterProxyModel::lessThan(const QModelIndex &left, const QModelIndex &right) const {
    if (compareMode != 1)
        return QSortFilterProxyModel::lessThan(left, right);

    const NumericSortKey leftKey = keyOf(left);
    const NumericSortKey rightKey = keyOf(right);
    if (leftKey.digitsOnly && rightKey.digitsOnly)
        return leftKey.value < rightKey.value;
    return QSortFilterProxyModel::lessThan(left, right);
}

NumericSortKey QMySortFilterProxyModel::keyOf(const QModelIndex &sourceIndex) const {
    const int row = sourceIndex.row();
    const bool cacheable = !sourceIndex.parent().isValid();
    if (cacheable && sourceIndex.column() == m_keyColumn && row < m_keys.size() && m_keys[row])
        return *m_keys[row];

    // Reading may make a lazily fetching model fetch more rows, which forgets the keys.
    const NumericSortKey key = numericSortKey(sourceModel()->data(sourceIndex, Qt::DisplayRole));
    if (!cacheable)
        return key;
    if (sourceIndex.column() != m_keyColumn) {
        m_keys.clear();
        m_keyColumn = sourceIndex.column();
    }
    if (row >= m_keys.size())
        m_keys.resize(qMax(row + 1, sourceModel()->rowCount()));
    m_keys[row] = key;
    return key;
}

void QMySortFilterProxyModel::forgetKeys() {
    m_keys.clear();
    m_keyColumn = -1;
}
