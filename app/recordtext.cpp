#include "recordtext.h"

#include <QRegularExpression>

QString collarNumberText(const QString &typed) {
    // Only ASCII digits: toLongLong alone would also take blanks inside the text.
    static const QRegularExpression wholeNumber("\\A[+-]?[0-9]+\\z");
    const QString trimmed = typed.trimmed();
    if (!wholeNumber.match(trimmed).hasMatch())
        return QString();
    bool ok = false;
    const qlonglong number = trimmed.toLongLong(&ok);
    // Beyond 64 bits SQLite would store a floating-point value.
    if (!ok)
        return QString();
    return QString::number(number);
}

QChar forbiddenEidCharacter(const QString &eid) {
    for (const QChar c : eid) {
        if (c == ';' || c == '\n' || c == '\r')
            return c;
    }
    return QChar();
}
