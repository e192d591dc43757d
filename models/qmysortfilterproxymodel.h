#pragma once

#include <QSortFilterProxyModel>

// Sorts the register for the view. With compareMode 1, texts made only of digits (or empty) are
// compared as unsigned 64-bit numbers, so collar numbers and numeric EIDs sort as 2 before 10;
// everything else is compared by the base class.
class QMySortFilterProxyModel : public QSortFilterProxyModel {
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    int compareMode = 0;

protected:
    bool lessThan(const QModelIndex &left, const QModelIndex &right) const override;
};
