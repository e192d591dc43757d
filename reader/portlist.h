#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>

// A serial port as the system describes it, and the rules by which the port list follows the
// ports that come and go. Nothing here touches a port or a widget.
struct PortDescription {
    QString name;     // shown in the list: "COM3", "ttyUSB0", or an extra path as written
    QString location; // what is opened: "\\.\COM3", "/dev/ttyUSB0", the extra path
    // The USB identity of the device behind the port; a built-in port or a pseudo-terminal has
    // none.
    bool hasUsbIdentity = false;
    quint16 vendorId = 0;
    quint16 productId = 0;
    QString serialNumber;
};

// A port known only by its name and location.
inline PortDescription plainPort(const QString &name, const QString &location) {
    PortDescription port;
    port.name = name;
    port.location = location;
    return port;
}

// The two name the same device: the same USB vendor, product and serial number.
bool sameUsbIdentity(const PortDescription &a, const PortDescription &b);

namespace PortList {

// What turns the listed ports into the found ones without moving the others: the listed
// locations that vanished, in list order, and the found ports that are new, in the order found.
// keptLocations (the chosen port, the port of a reading) stay listed while they are absent.
struct Change {
    QStringList removed;
    QList<PortDescription> added;
};
Change compare(const QStringList &listedLocations, const QList<PortDescription> &found,
               const QStringList &keptLocations);

// Where a lost reader has come back under another name: a port found now that was not there when
// the reader was lost, while the reader's own location is absent, with the lost port's USB
// identity. With a serial number, the port with that serial number; without one (the vendor and
// product then name only the chip), the only such new port, and only while every other port of
// that make there was at the loss is still there under its name: otherwise the new one may be
// another adapter that was moved. Nothing when the lost port had no USB identity.
std::optional<QString> followedLocation(const PortDescription &lost,
                                        const QList<PortDescription> &portsAtLoss,
                                        const QList<PortDescription> &found);

// Whether the port found at the reader's location may be opened as the reader: a reader with a
// USB identity only once the location is found again with that same identity, so that another
// device given the freed name is not taken for it.
bool mayReopen(const PortDescription &reader, const QList<PortDescription> &found);

// The port chosen at start: the stored location, unless it is absent and exactly one port found
// has the stored USB identity with a serial number (the reader plugged into another socket).
// Without a serial number nothing is guessed.
QString chosenAtStart(const QString &storedLocation, const PortDescription &storedIdentity,
                      const QList<PortDescription> &found);

// A USB identity as it is stored in the settings, "0403:6001:A1B2C3" (vendor and product in
// four hexadecimal digits, then the serial number, maybe empty); an empty text for a port without
// one. identityFromText reads it back into a description without name or location.
QString identityText(const PortDescription &port);
PortDescription identityFromText(const QString &text);

} // namespace PortList
