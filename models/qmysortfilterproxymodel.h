#pragma once

#include "numericsortkey.h"

#include <QMetaObject>
#include <QSortFilterProxyModel>
#include <QVector>

#include <optional>

// Sorts the register for the view. With compareMode 1, texts made only of digits (or empty) are
// compared as unsigned 64-bit numbers, so collar numbers and numeric EIDs sort as 2 before 10;
// everything else is compared by the base class.
class QMySortFilterProxyModel : public QSortFilterProxyModel {
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    int compareMode = 0;

    void setSourceModel(QAbstractItemModel *sourceModel) override;
    // Rows are numbered as they stand in the view (1, 2, 3, ...), not as the source holds them.
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

protected:
    bool lessThan(const QModelIndex &left, const QModelIndex &right) const override;

private:
    NumericSortKey keyOf(const QModelIndex &sourceIndex) const;
    void forgetKeys();

    // A sort compares every row about log n times; the key of a row is read and worked out once,
    // at its first comparison, and kept until the source model changes.
    mutable int m_keyColumn = -1;
    mutable QVector<std::optional<NumericSortKey>> m_keys;
    QVector<QMetaObject::Connection> m_sourceConnections;
};
