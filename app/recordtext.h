#pragma once

// What the record dialog may hand to the register, checked before any statement runs.

#include <QString>

// The collar number typed by the user in the form the register stores and shows it: a whole
// decimal number without surrounding blanks, leading zeros or plus sign. A null string when the
// text is no whole number, which SQLite would otherwise keep as text in the integer column.
QString collarNumberText(const QString &typed);

// The first character of an EID that the order file cannot carry (its field separator ";" or a
// line break), or a null character when there is none.
QChar forbiddenEidCharacter(const QString &eid);
