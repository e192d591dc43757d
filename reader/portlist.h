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

namespace PortList {

// What turns the listed ports into the found ones without moving the others: the listed
// locations that vanished, in list order, and the found ports that are new, in the order found.
// keptLocation (the port of a reading) stays listed while it is absent.
struct Change {
    QStringList removed;
    QList<PortDescription> added;
};
Change compare(const QStringList &listedLocations, const QList<PortDescription> &found,
               const QString &keptLocation);

// Where a lost reader has come back under another name: a port found now that was not there when
// the reader was lost, while the reader's own location is absent, with the lost port's USB
// identity: the same serial number, or, for a device without one, the only such new port. Nothing
// when that is not certain, or when the lost port had no USB identity.
std::optional<QString> followedLocation(const PortDescription &lost,
                                        const QStringList &locationsAtLoss,
                                        const QList<PortDescription> &found);

} // namespace PortList
