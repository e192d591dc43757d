#include "portlist.h"

#include <algorithm>

bool sameUsbIdentity(const PortDescription &a, const PortDescription &b) {
    return a.hasUsbIdentity && b.hasUsbIdentity && a.vendorId == b.vendorId &&
           a.productId == b.productId && a.serialNumber == b.serialNumber;
}

namespace PortList {

namespace {
bool isListed(const QList<PortDescription> &ports, const QString &location) {
    return std::any_of(ports.cbegin(), ports.cend(),
                       [&](const PortDescription &port) { return port.location == location; });
}

bool sameMake(const PortDescription &a, const PortDescription &b) {
    return a.hasUsbIdentity && b.hasUsbIdentity && a.vendorId == b.vendorId &&
           a.productId == b.productId;
}
} // namespace

Change compare(const QStringList &listedLocations, const QList<PortDescription> &found,
               const QStringList &keptLocations) {
    Change change;
    for (const QString &location : listedLocations) {
        if (!keptLocations.contains(location) && !isListed(found, location))
            change.removed << location;
    }
    for (const PortDescription &port : found) {
        if (!listedLocations.contains(port.location) && !isListed(change.added, port.location))
            change.added << port;
    }
    return change;
}

std::optional<QString> followedLocation(const PortDescription &lost,
                                        const QList<PortDescription> &portsAtLoss,
                                        const QList<PortDescription> &found) {
    if (!lost.hasUsbIdentity || isListed(found, lost.location))
        return std::nullopt;
    QList<PortDescription> appeared;
    for (const PortDescription &port : found) {
        if (!isListed(portsAtLoss, port.location) && sameMake(port, lost))
            appeared << port;
    }
    if (!lost.serialNumber.isEmpty()) {
        for (const PortDescription &port : appeared) {
            if (port.serialNumber == lost.serialNumber)
                return port.location;
        }
        return std::nullopt;
    }
    for (const PortDescription &before : portsAtLoss) {
        if (before.location == lost.location || !sameMake(before, lost))
            continue;
        const bool stillThere = std::any_of(found.cbegin(), found.cend(), [&](const auto &port) {
            return port.location == before.location && sameUsbIdentity(port, before);
        });
        if (!stillThere)
            return std::nullopt;
    }
    if (appeared.size() == 1 && appeared.first().serialNumber.isEmpty())
        return appeared.first().location;
    return std::nullopt;
}

bool mayReopen(const PortDescription &reader, const QList<PortDescription> &found) {
    if (!reader.hasUsbIdentity)
        return true;
    return std::any_of(found.cbegin(), found.cend(), [&](const PortDescription &port) {
        return port.location == reader.location && sameUsbIdentity(port, reader);
    });
}

QString chosenAtStart(const QString &storedLocation, const PortDescription &storedIdentity,
                      const QList<PortDescription> &found) {
    if (isListed(found, storedLocation) || storedIdentity.serialNumber.isEmpty())
        return storedLocation;
    QStringList same;
    for (const PortDescription &port : found) {
        if (sameUsbIdentity(port, storedIdentity))
            same << port.location;
    }
    return same.size() == 1 ? same.first() : storedLocation;
}

QString identityText(const PortDescription &port) {
    if (!port.hasUsbIdentity)
        return QString();
    return QStringLiteral("%1:%2:%3")
        .arg(port.vendorId, 4, 16, QLatin1Char('0'))
        .arg(port.productId, 4, 16, QLatin1Char('0'))
        .arg(port.serialNumber);
}

PortDescription identityFromText(const QString &text) {
    PortDescription port;
    const QStringList parts = text.split(':');
    if (parts.size() < 3)
        return port;
    bool vendorRead = false;
    bool productRead = false;
    port.vendorId = parts.at(0).toUShort(&vendorRead, 16);
    port.productId = parts.at(1).toUShort(&productRead, 16);
    port.hasUsbIdentity = vendorRead && productRead;
    // A serial number may itself hold a colon.
    port.serialNumber = port.hasUsbIdentity ? text.section(':', 2) : QString();
    return port;
}

} // namespace PortList
