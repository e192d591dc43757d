#pragma once

#include <QString>

// The collar number typed by the user in the form the register stores and shows it: a whole
// decimal number without surrounding blanks, leading zeros or plus sign. A null string when the
// text is no whole number, which SQLite would otherwise keep as text in the integer column.
QString collarNumberText(const QString &typed);
