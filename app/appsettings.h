#pragma once

#include <QSettings>

// The program's settings store: the per-user INI file of Vernholt/Zirave. Each operation opens
// its own, and the file is written when it goes out of scope.
class AppSettings : public QSettings {
public:
    AppSettings()
        : QSettings(QSettings::IniFormat, QSettings::UserScope, "Vernholt", "Zirave") {}
};

// The USB identity of the device a reading was last started on (PortList::identityText), beside
// the port "com_port": by it the reader is found under another port name at the next start.
inline constexpr char readerIdentityKey[] = "com_port_usb";
