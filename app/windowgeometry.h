#pragma once

#include <QRect>
#include <QVector>

// The stored window rectangle made to lie whole on one of the available screens: the screen it
// overlaps most (or the first, when it overlaps none), no larger than that screen and moved the
// least distance onto it. A rectangle already on a screen comes back unchanged. With no screens
// at all nothing is changed.
QRect fitOnScreens(const QRect &wanted, const QVector<QRect> &screens);
