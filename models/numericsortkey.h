#pragma once

#include <QString>
#include <QVariant>
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
    // Up to 19 digits 0 to 9 cannot overflow; everything else is left to toULongLong.
    bool plain = text.size() <= 19;
    quint64 value = 0;
    for (const QChar c : text) {
        const unsigned digit = unsigned(c.unicode()) - unsigned('0');
        if (digit <= 9) {
            value = value * 10 + digit;
        } else if (c.isDigit()) {
            plain = false;
        } else {
            return {};
        }
    }
    return {true, plain ? value : text.toULongLong()};
}

// The key of value.toString(), without making the text of an integer: that text is its plain
// decimal form, with a minus sign when it is negative.
inline NumericSortKey numericSortKey(const QVariant &value) {
    switch (value.userType()) {
    case QMetaType::Int:
    case QMetaType::LongLong: {
        const qlonglong number = value.toLongLong();
        return number < 0 ? NumericSortKey{} : NumericSortKey{true, quint64(number)};
    }
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return {true, value.toULongLong()};
    default:
        return numericSortKey(value.toString());
    }
}
