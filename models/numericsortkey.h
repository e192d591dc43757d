#pragma once

#include <QString>
#include <QtGlobal>

// What the register's numeric-aware sort needs to know about one cell text: whether it consists
// of decimal digits only (of any script, or none at all), and then its value.
struct NumericSortKey {
    bool digitsOnly = false;
    // QString::toULongLong of the text: 0 for the empty text, for a value above the 64-bit range
    // and for digits other than 0 to 9.
    quint64 value = 0;
};

// The same answer as a QRegExp "\d*" exactMatch followed by toULongLong, without building a
// regular expression. \d there tests each UTF-16 unit with QChar::isDigit, so a digit outside the
// basic plane, written as a surrogate pair, is not a digit either.
inline NumericSortKey numericSortKey(const QString &text) {
    for (const QChar c : text) {
        if (!c.isDigit())
            return {};
    }
    return {true, text.toULongLong()};
}
