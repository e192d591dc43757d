#pragma once

#include <QSettings>

// The program's settings store: the per-user INI file of Vernholt/Zirave. Each operation opens
// its own, and the file is written when it goes out of scope.
class AppSettings : public QSettings {
public:
    AppSettings()
        : QSettings(QSettings::IniFormat, QSettings::UserScope, "Vernholt", "Zirave") {}
};
