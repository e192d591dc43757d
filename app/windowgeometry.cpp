#include "windowgeometry.h"

#include <QtGlobal>

namespace {
qint64 overlapArea(const QRect &a, const QRect &b) {
    const QRect overlap = a.intersected(b);
    return overlap.isEmpty() ? 0 : qint64(overlap.width()) * overlap.height();
}
} // namespace

QRect fitOnScreens(const QRect &wanted, const QVector<QRect> &screens) {
    if (screens.isEmpty())
        return wanted;
    QRect screen = screens.first();
    qint64 largest = 0;
    for (const QRect &candidate : screens) {
        const qint64 area = overlapArea(wanted, candidate);
        if (area > largest) {
            largest = area;
            screen = candidate;
        }
    }

    QRect fitted(wanted.topLeft(), wanted.size().boundedTo(screen.size()));
    fitted.moveLeft(qBound(screen.left(), fitted.left(), screen.right() - fitted.width() + 1));
    fitted.moveTop(qBound(screen.top(), fitted.top(), screen.bottom() - fitted.height() + 1));
    return fitted;
}
