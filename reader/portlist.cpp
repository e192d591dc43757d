#include "portlist.h"

#include <algorithm>

namespace PortList {

namespace {
bool isListed(const QList<PortDescription> &ports, const QString &location) {
    return std::any_of(ports.cbegin(), ports.cend(),
                       [&](const PortDescription &port) { return port.location == location; });
}
} // namespace

Change compare(const QStringList &listedLocations, const QList<PortDescription> &found,
               const QString &keptLocation) {
    Change change;
    for (const QString &location : listedLocations) {
        if (location != keptLocation && !isListed(found, location))
            change.removed << location;
    }
    for (const PortDescription &port : found) {
        if (!listedLocations.contains(port.location) && !isListed(change.added, port.location))
            change.added << port;
    }
    return change;
}

std::optional<QString> followedLocation(const PortDescription &lost,
                                        const QStringList &locationsAtLoss,
                                        const QList<PortDescription> &found) {
    if (!lost.hasUsbIdentity || isListed(found, lost.location))
        return std::nullopt;
    QList<PortDescription> sameDevice;
    for (const PortDescription &port : found) {
        if (!locationsAtLoss.contains(port.location) && port.hasUsbIdentity &&
            port.vendorId == lost.vendorId && port.productId == lost.productId)
            sameDevice << port;
    }
    if (!lost.serialNumber.isEmpty()) {
        for (const PortDescription &port : sameDevice) {
            if (port.serialNumber == lost.serialNumber)
                return port.location;
        }
        return std::nullopt;
    }
    // Adapters without a serial number are told apart only by being the one that appeared.
    if (sameDevice.size() == 1 && sameDevice.first().serialNumber.isEmpty())
        return sameDevice.first().location;
    return std::nullopt;
}

} // namespace PortList
