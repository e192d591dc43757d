// zirave-drawicons: draws the toolbar button images and the application icon with QPainter, so
// that the committed pictures can be reproduced from source.
//
// Usage: zirave-drawicons <pics-dir> <ico-dir>
//   <pics-dir> receives the nine button images (order.png, email.png, ...),
//   <ico-dir> receives zirave.png and zirave.ico (64 x 64, 32 bits per pixel) and the larger
//   zirave-128.png and zirave-256.png for the desktop's icon theme.
//
// Everything is drawn from geometry alone (no fonts), so the output does not depend on what is
// installed on the machine.

#include <QByteArray>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QPointF>
#include <QPolygonF>
#include <QRadialGradient>
#include <QRectF>
#include <QString>
#include <QTransform>
#include <QtMath>

#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

// Shared palette, so that the sheets, badges and outlines match across the icons.
const QColor kSheetOutline(0x5b, 0x67, 0x78);
const QColor kSheetTop(0xff, 0xff, 0xff);
const QColor kSheetBottom(0xe3, 0xe8, 0xef);
const QColor kFoldLight(0xf4, 0xf6, 0xf9);
const QColor kFoldDark(0xc9, 0xd1, 0xdc);
const QColor kTextLine(0xb3, 0xbd, 0xca);
const QColor kGreenLight(0x7c, 0xcf, 0x6e);
const QColor kGreenDark(0x2e, 0x8b, 0x35);
const QColor kGreenEdge(0x1d, 0x5e, 0x22);
const QColor kRedLight(0xf0, 0x6a, 0x5e);
const QColor kRedDark(0xc0, 0x26, 0x1f);
const QColor kRedEdge(0x86, 0x17, 0x12);
const QColor kBlueLight(0x4f, 0xa8, 0xf0);
const QColor kBlueDark(0x17, 0x62, 0xbd);
const QColor kBlueEdge(0x0e, 0x40, 0x82);

QImage blankImage(int width, int height) {
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

void prepare(QPainter &p) {
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::SmoothPixmapTransform, true);
}

QLinearGradient verticalGradient(qreal top, qreal bottom, const QColor &a, const QColor &b) {
    QLinearGradient g(0, top, 0, bottom);
    g.setColorAt(0, a);
    g.setColorAt(1, b);
    return g;
}

QPen pen(const QBrush &brush, qreal width, Qt::PenCapStyle cap = Qt::RoundCap,
         Qt::PenJoinStyle join = Qt::RoundJoin) {
    return QPen(brush, width, Qt::SolidLine, cap, join);
}

// Removes what was drawn so far inside `shape` (with a margin), leaving a transparent gap that
// keeps an overlapping element readable against what lies below it.
void knockOut(QPainter &p, const QPainterPath &shape, qreal margin) {
    p.save();
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.setPen(pen(Qt::black, 2 * margin));
    p.setBrush(Qt::black);
    p.drawPath(shape);
    p.restore();
}

// A sheet of paper with its top right corner folded over. `r` should lie on half pixels so the
// one pixel outline is crisp.
QPainterPath sheetPath(const QRectF &r, qreal fold) {
    QPainterPath path;
    path.moveTo(r.left(), r.top());
    path.lineTo(r.right() - fold, r.top());
    path.lineTo(r.right(), r.top() + fold);
    path.lineTo(r.right(), r.bottom());
    path.lineTo(r.left(), r.bottom());
    path.closeSubpath();
    return path;
}

void drawSheet(QPainter &p, const QRectF &r, qreal fold, int textLines) {
    p.save();
    const QPainterPath outline = sheetPath(r, fold);

    // Soft shadow to the lower right.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 28));
    p.drawPath(outline.translated(1, 1));

    QLinearGradient paper(r.topLeft(), r.bottomRight());
    paper.setColorAt(0, kSheetTop);
    paper.setColorAt(1, kSheetBottom);
    p.setBrush(paper);
    p.setPen(pen(kSheetOutline, 1, Qt::FlatCap, Qt::MiterJoin));
    p.drawPath(outline);

    QPolygonF corner;
    corner << QPointF(r.right() - fold, r.top()) << QPointF(r.right() - fold, r.top() + fold)
           << QPointF(r.right(), r.top() + fold);
    QLinearGradient foldBrush(QPointF(r.right() - fold, r.top() + fold),
                              QPointF(r.right() - fold / 2, r.top() + fold / 2));
    foldBrush.setColorAt(0, kFoldLight);
    foldBrush.setColorAt(1, kFoldDark);
    p.setBrush(foldBrush);
    p.drawPolygon(corner);

    // Text lines: one pixel high, on whole pixel rows, alternating lengths.
    p.setPen(Qt::NoPen);
    p.setBrush(kTextLine);
    const qreal left = r.left() + 3.5;
    const qreal right = r.right() - 3.5;
    for (int i = 0; i < textLines; ++i) {
        const qreal y = r.top() + fold + 2.5 + i * 3;
        const qreal len = (i % 3 == 2) ? (right - left) * 0.6 : (right - left);
        p.drawRect(QRectF(left, y, len, 1.5));
    }
    p.restore();
}

// A round badge with a white rim and a gentle top light, used for the plus and minus signs.
void drawBadge(QPainter &p, const QPointF &c, qreal radius, const QColor &light, const QColor &dark,
               const QColor &edge) {
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255));
    p.drawEllipse(c, radius + 1.5, radius + 1.5);

    QRadialGradient g(c.x() - radius * 0.3, c.y() - radius * 0.4, radius * 1.5);
    g.setColorAt(0, light);
    g.setColorAt(1, dark);
    p.setBrush(g);
    p.setPen(pen(edge, 1));
    p.drawEllipse(c, radius - 0.5, radius - 0.5);

    // Highlight on the upper half.
    QLinearGradient shine(0, c.y() - radius, 0, c.y());
    shine.setColorAt(0, QColor(255, 255, 255, 110));
    shine.setColorAt(1, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(shine);
    p.drawEllipse(QRectF(c.x() - radius * 0.72, c.y() - radius + 1.2, radius * 1.44, radius));
    p.restore();
}

// A white plus or minus sign centred on `c`, with a thin shadow below it.
void drawSign(QPainter &p, const QPointF &c, bool plus) {
    const QRectF across(c.x() - 6, c.y() - 1.5, 12, 3);
    const QRectF upright(c.x() - 1.5, c.y() - 6, 3, 12);
    p.fillRect(across.translated(0, 1), QColor(0, 0, 0, 50));
    if (plus) {
        p.fillRect(upright.translated(0, 1), QColor(0, 0, 0, 50));
    }
    p.fillRect(across, Qt::white);
    if (plus) {
        p.fillRect(upright, Qt::white);
    }
}

// ---------------------------------------------------------------------------------------------

// The large picture for the order page: a document in cyan outline with a check mark badge.
QImage drawOrder() {
    QImage image = blankImage(220, 229);
    QPainter p(&image);
    prepare(p);

    const QColor cyanTop(0x2c, 0xc8, 0xe2);
    const QColor cyanBottom(0x00, 0x96, 0xbb);
    const QBrush cyan = verticalGradient(0, 229, cyanTop, cyanBottom);
    const qreal stroke = 9;

    const QRectF sheet(26.5, 12.5, 142, 203);
    const qreal fold = 44;
    p.setBrush(Qt::NoBrush);
    p.setPen(pen(cyan, stroke));
    p.drawPath(sheetPath(sheet, fold));

    QPainterPath corner;
    corner.moveTo(sheet.right() - fold, sheet.top());
    corner.lineTo(sheet.right() - fold, sheet.top() + fold);
    corner.lineTo(sheet.right(), sheet.top() + fold);
    p.drawPath(corner);

    // Text lines: a short heading, then body lines.
    const qreal left = sheet.left() + 28;
    const qreal right = sheet.right() - 28;
    p.drawLine(QPointF(left, sheet.top() + 34),
               QPointF(sheet.right() - fold - 24, sheet.top() + 34));
    const qreal ys[] = {80, 108, 136, 164};
    const qreal ends[] = {right, right - 18, right, left + 40};
    for (int i = 0; i < 4; ++i) {
        p.drawLine(QPointF(left, sheet.top() + ys[i]), QPointF(ends[i], sheet.top() + ys[i]));
    }

    // Check mark badge over the lower right corner, separated by a transparent gap.
    const QPointF c(164, 182);
    const qreal radius = 38;
    QPainterPath disc;
    disc.addEllipse(c, radius, radius);
    knockOut(p, disc, stroke / 2 + 8);

    p.setPen(pen(cyan, stroke));
    p.setBrush(QColor(0x2c, 0xc8, 0xe2, 40));
    p.drawEllipse(c, radius, radius);

    QPainterPath check;
    check.moveTo(c.x() - 19, c.y() + 1);
    check.lineTo(c.x() - 5, c.y() + 15);
    check.lineTo(c.x() + 20, c.y() - 14);
    p.setBrush(Qt::NoBrush);
    p.setPen(pen(cyan, stroke + 3));
    p.drawPath(check);
    return image;
}

// A dark red "at" sign, built from arcs.
QImage drawEmail() {
    QImage image = blankImage(32, 32);
    QPainter p(&image);
    prepare(p);

    const QPointF outerC(16, 16);
    const qreal outerR = 12.25;
    const QPointF innerC(15, 16);
    const qreal innerR = 4.5;
    const qreal stemX = innerC.x() + innerR;

    QPainterPath at;
    at.addEllipse(innerC, innerR, innerR);
    // The stem on the right of the small ring curls down and out into the big ring, which runs
    // counter-clockwise over the top and ends below on the right.
    at.moveTo(stemX, innerC.y() - innerR);
    at.lineTo(stemX, innerC.y() + 2);
    at.cubicTo(QPointF(stemX, innerC.y() + 6.5), QPointF(outerC.x() + outerR, innerC.y() + 6.5),
               QPointF(outerC.x() + outerR, outerC.y()));
    at.arcTo(QRectF(outerC.x() - outerR, outerC.y() - outerR, 2 * outerR, 2 * outerR), 0, 305);

    const QBrush red = verticalGradient(3, 29, QColor(0xb8, 0x2a, 0x2a), QColor(0x7a, 0x10, 0x10));
    p.setBrush(Qt::NoBrush);
    p.setPen(pen(red, 2.6));
    p.drawPath(at);
    return image;
}

// A reader device with radio waves above it.
QImage drawWireless() {
    QImage image = blankImage(32, 32);
    QPainter p(&image);
    prepare(p);

    // Waves.
    const QPointF c(16, 17);
    const QBrush blue = verticalGradient(4, 17, kBlueLight, kBlueDark);
    p.setBrush(Qt::NoBrush);
    p.setPen(pen(blue, 2));
    for (qreal r : {4.0, 8.0, 12.0}) {
        p.drawArc(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), 50 * 16, 80 * 16);
    }

    // Antenna mast.
    p.setPen(pen(QColor(0x45, 0x55, 0x62), 2, Qt::FlatCap));
    p.drawLine(QPointF(16, 17), QPointF(16, 19));
    p.setPen(Qt::NoPen);
    p.setBrush(kBlueDark);
    p.drawEllipse(QPointF(16, 16.5), 1.6, 1.6);

    // Box.
    const QRectF box(4.5, 19.5, 23, 9);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 30));
    p.drawRoundedRect(box.translated(0, 1), 2, 2);
    p.setBrush(verticalGradient(box.top(), box.bottom(), QColor(0x8a, 0x9b, 0xa8),
                                QColor(0x4a, 0x5a, 0x66)));
    p.setPen(pen(QColor(0x33, 0x40, 0x4a), 1));
    p.drawRoundedRect(box, 2, 2);
    p.setPen(pen(QColor(255, 255, 255, 90), 1, Qt::FlatCap));
    p.drawLine(QPointF(box.left() + 2, box.top() + 1), QPointF(box.right() - 2, box.top() + 1));

    // Display window and status light.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1e, 0x2a, 0x32));
    p.drawRect(QRectF(13, 22, 11, 4));
    p.setBrush(QColor(0x6b, 0xd8, 0xf0, 160));
    p.drawRect(QRectF(14, 23, 5, 1));
    p.setBrush(QColor(0x7c, 0xe0, 0x5a));
    p.drawEllipse(QPointF(8.5, 24), 1.5, 1.5);
    return image;
}

// Sheet with a badge: a green plus for adding, a red minus for removing.
QImage drawSheetWithBadge(bool plus) {
    QImage image = blankImage(48, 48);
    QPainter p(&image);
    prepare(p);
    drawSheet(p, QRectF(6.5, 3.5, 28, 38), 9, 8);
    const QPointF c(35, 35);
    if (plus)
        drawBadge(p, c, 11, kGreenLight, kGreenDark, kGreenEdge);
    else
        drawBadge(p, c, 11, kRedLight, kRedDark, kRedEdge);
    drawSign(p, c, plus);
    return image;
}

// Sheet with a green pencil laid across it.
QImage drawEdit() {
    QImage image = blankImage(48, 48);
    QPainter p(&image);
    prepare(p);
    drawSheet(p, QRectF(6.5, 3.5, 28, 38), 9, 8);

    // The pencil is drawn along the x axis and turned so that its tip points to the lower left.
    p.save();
    p.translate(27, 24);
    p.rotate(-45);
    const qreal half = 4;
    const qreal tipX = -20;
    const qreal woodX = -12;
    const qreal bodyEnd = 11;
    const qreal ferruleEnd = 14;
    const qreal eraserEnd = 18;

    QPainterPath whole;
    whole.moveTo(tipX, 0);
    whole.lineTo(woodX, -half);
    whole.lineTo(eraserEnd - 1.5, -half);
    whole.quadTo(eraserEnd, -half, eraserEnd, -half + 1.5);
    whole.lineTo(eraserEnd, half - 1.5);
    whole.quadTo(eraserEnd, half, eraserEnd - 1.5, half);
    whole.lineTo(woodX, half);
    whole.closeSubpath();
    knockOut(p, whole, 1.2);

    // Shadow on the paper.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 35));
    p.drawPath(QTransform().translate(0.8, 1.6).map(whole));

    // Wood and lead.
    QPolygonF wood;
    wood << QPointF(tipX, 0) << QPointF(woodX, -half) << QPointF(woodX, half);
    p.setBrush(verticalGradient(-half, half, QColor(0xf6, 0xdd, 0xb0), QColor(0xd4, 0xa7, 0x6a)));
    p.drawPolygon(wood);
    QPolygonF lead;
    const qreal leadLen = 3;
    lead << QPointF(tipX, 0) << QPointF(tipX + leadLen, -half * leadLen / (woodX - tipX))
         << QPointF(tipX + leadLen, half * leadLen / (woodX - tipX));
    p.setBrush(QColor(0x3a, 0x3f, 0x45));
    p.drawPolygon(lead);

    // Painted body with three facets.
    QLinearGradient body(0, -half, 0, half);
    body.setColorAt(0.0, QColor(0x9a, 0xe0, 0x8a));
    body.setColorAt(0.33, kGreenLight);
    body.setColorAt(0.34, QColor(0x4c, 0xaf, 0x50));
    body.setColorAt(0.66, QColor(0x43, 0xa0, 0x47));
    body.setColorAt(0.67, kGreenDark);
    body.setColorAt(1.0, QColor(0x24, 0x70, 0x2a));
    p.setBrush(body);
    p.drawRect(QRectF(woodX, -half, bodyEnd - woodX, 2 * half));

    // Metal ferrule and eraser.
    p.setBrush(verticalGradient(-half, half, QColor(0xe4, 0xe8, 0xec), QColor(0x8d, 0x96, 0x9f)));
    p.drawRect(QRectF(bodyEnd, -half, ferruleEnd - bodyEnd, 2 * half));
    QPainterPath eraser;
    eraser.moveTo(ferruleEnd, -half);
    eraser.lineTo(eraserEnd - 1.5, -half);
    eraser.quadTo(eraserEnd, -half, eraserEnd, -half + 1.5);
    eraser.lineTo(eraserEnd, half - 1.5);
    eraser.quadTo(eraserEnd, half, eraserEnd - 1.5, half);
    eraser.lineTo(ferruleEnd, half);
    eraser.closeSubpath();
    p.setBrush(verticalGradient(-half, half, QColor(0xf7, 0xa8, 0xb8), QColor(0xd6, 0x6a, 0x80)));
    p.drawPath(eraser);

    p.setBrush(Qt::NoBrush);
    p.setPen(pen(QColor(0x1d, 0x4a, 0x20, 200), 0.9));
    p.drawPath(whole);
    p.restore();
    return image;
}

// A four pointed sparkle with curved sides.
QPainterPath sparklePath(const QPointF &c, qreal radius, qreal waist) {
    QPainterPath star;
    star.moveTo(c.x(), c.y() - radius);
    star.quadTo(c.x() + waist, c.y() - waist, c.x() + radius, c.y());
    star.quadTo(c.x() + waist, c.y() + waist, c.x(), c.y() + radius);
    star.quadTo(c.x() - waist, c.y() + waist, c.x() - radius, c.y());
    star.quadTo(c.x() - waist, c.y() - waist, c.x(), c.y() - radius);
    star.closeSubpath();
    return star;
}

// A blank new sheet with a sparkle.
QImage drawFileNew() {
    QImage image = blankImage(24, 24);
    QPainter p(&image);
    prepare(p);
    drawSheet(p, QRectF(3.5, 2.5, 14, 19), 5, 0);

    const QPainterPath big = sparklePath(QPointF(17.5, 6.5), 6, 1.2);
    knockOut(p, big, 1);
    QRadialGradient gold(QPointF(17.5, 6.5), 6);
    gold.setColorAt(0, QColor(0xff, 0xf6, 0xc4));
    gold.setColorAt(0.45, QColor(0xff, 0xd2, 0x3f));
    gold.setColorAt(1, QColor(0xf0, 0x9a, 0x00));
    p.setPen(pen(QColor(0xb8, 0x6e, 0x00), 0.8));
    p.setBrush(gold);
    p.drawPath(big);

    const QPainterPath small = sparklePath(QPointF(21, 12.5), 2.5, 0.6);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xf5, 0xaa, 0x10));
    p.drawPath(small);
    return image;
}

// Two circular arrows chasing each other clockwise.
QImage drawRefresh() {
    QImage image = blankImage(48, 48);
    QPainter p(&image);
    prepare(p);

    const QPointF c(24, 24);
    const qreal r = 14;
    const qreal width = 5;
    auto onCircle = [&](qreal degrees) {
        const qreal a = qDegreesToRadians(degrees);
        return QPointF(c.x() + r * qCos(a), c.y() - r * qSin(a));
    };

    QPainterPathStroker stroker;
    stroker.setWidth(width);
    stroker.setCapStyle(Qt::FlatCap);

    QPainterPath shape;
    // Each arrow: an arc running clockwise from `from` to `to` degrees, then a head whose tip
    // lies further along the circle.
    for (qreal from : {165.0, -15.0}) {
        const qreal to = from - 120;
        QPainterPath arc;
        arc.arcMoveTo(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), from);
        arc.arcTo(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), from, to - from);
        shape = shape.united(stroker.createStroke(arc));

        const QPointF base = onCircle(to + 0.5);
        const QPointF tip = onCircle(to - 36);
        QPointF dir = tip - base;
        dir /= std::hypot(dir.x(), dir.y());
        const QPointF normal(-dir.y(), dir.x());
        QPolygonF head;
        head << tip << base + normal * 7.5 << base - normal * 7.5;
        QPainterPath headPath;
        headPath.addPolygon(head);
        headPath.closeSubpath();
        shape = shape.united(headPath);
    }
    shape = shape.simplified();

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 30));
    p.drawPath(shape.translated(0.7, 1.2));
    QLinearGradient g(0, 8, 0, 40);
    g.setColorAt(0, kBlueLight);
    g.setColorAt(1, kBlueDark);
    p.setBrush(g);
    p.setPen(pen(kBlueEdge, 1));
    p.drawPath(shape);
    return image;
}

// An open door with an arrow leaving through it.
QImage drawExit() {
    QImage image = blankImage(48, 48);
    QPainter p(&image);
    prepare(p);

    // Door frame with the dark opening.
    const QRectF frame(6.5, 4.5, 22, 38);
    p.setPen(pen(QColor(0x4a, 0x35, 0x2a), 1, Qt::FlatCap, Qt::MiterJoin));
    p.setBrush(verticalGradient(frame.top(), frame.bottom(), QColor(0x5a, 0x48, 0x40),
                                QColor(0x24, 0x1a, 0x16)));
    p.drawRect(frame);
    // Light falling in on the floor.
    QPolygonF floorLight;
    floorLight << QPointF(frame.right() - 0.5, frame.bottom() - 0.5)
               << QPointF(frame.left() + 12, frame.bottom() - 0.5)
               << QPointF(frame.right() - 0.5, frame.top() + 20);
    QLinearGradient lightBrush(QPointF(frame.right(), frame.bottom()),
                               QPointF(frame.left() + 14, frame.bottom() - 10));
    lightBrush.setColorAt(0, QColor(0xff, 0xe9, 0xb0, 110));
    lightBrush.setColorAt(1, QColor(0xff, 0xe9, 0xb0, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(lightBrush);
    p.drawPolygon(floorLight);

    // Door leaf, hinged on the left and swung towards the viewer.
    QPolygonF leaf;
    leaf << QPointF(frame.left(), frame.top()) << QPointF(18.5, 8.5) << QPointF(18.5, 46.5)
         << QPointF(frame.left(), frame.bottom());
    QLinearGradient wood(QPointF(frame.left(), 0), QPointF(18.5, 0));
    wood.setColorAt(0, QColor(0x9c, 0x62, 0x37));
    wood.setColorAt(1, QColor(0xcf, 0x95, 0x5e));
    p.setBrush(wood);
    p.setPen(pen(QColor(0x5c, 0x34, 0x18), 1, Qt::FlatCap, Qt::RoundJoin));
    p.drawPolygon(leaf);
    // Panel insets.
    p.setPen(pen(QColor(0x7a, 0x48, 0x24, 160), 1, Qt::FlatCap));
    p.setBrush(Qt::NoBrush);
    QPolygonF upper;
    upper << QPointF(9, 9.5) << QPointF(16, 12) << QPointF(16, 23) << QPointF(9, 22);
    QPolygonF lower;
    lower << QPointF(9, 27) << QPointF(16, 29) << QPointF(16, 41) << QPointF(9, 39);
    p.drawPolygon(upper);
    p.drawPolygon(lower);
    // Knob.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xf2, 0xc9, 0x4c));
    p.drawEllipse(QPointF(15.8, 27), 1.3, 1.6);

    // The arrow.
    QPainterPath arrow;
    arrow.moveTo(20, 20);
    arrow.lineTo(32, 20);
    arrow.lineTo(32, 13);
    arrow.lineTo(44, 24);
    arrow.lineTo(32, 35);
    arrow.lineTo(32, 28);
    arrow.lineTo(20, 28);
    arrow.closeSubpath();
    knockOut(p, arrow, 1.5);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 35));
    p.drawPath(arrow.translated(0.7, 1.2));
    p.setBrush(verticalGradient(13, 35, kGreenLight, kGreenDark));
    p.setPen(pen(kGreenEdge, 1, Qt::FlatCap, Qt::RoundJoin));
    p.drawPath(arrow);
    return image;
}

// The application icon: a leather collar with a buckle and a yellow ear-style tag hanging from it.
// It is laid out on a 64 pixel grid; whole multiples of 64 keep its one pixel lines crisp.
QImage drawAppIcon(int size) {
    QImage image = blankImage(size, size);
    QPainter p(&image);
    prepare(p);
    p.scale(size / 64.0, size / 64.0);

    const QPointF c(32, 23);
    const qreal outerRx = 28.5;
    const qreal outerRy = 18.5;
    const qreal innerRx = 20;
    const qreal innerRy = 10.5;

    QPainterPath band;
    band.addEllipse(c, outerRx, outerRy);
    band.addEllipse(c, innerRx, innerRy);
    band.setFillRule(Qt::OddEvenFill);

    // Shadow.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 40));
    p.drawPath(band.translated(0, 1.5));

    QLinearGradient leather(0, c.y() - outerRy, 0, c.y() + outerRy);
    leather.setColorAt(0, QColor(0xc9, 0x85, 0x45));
    leather.setColorAt(0.5, QColor(0xa8, 0x62, 0x2e));
    leather.setColorAt(1, QColor(0x74, 0x3d, 0x17));
    p.setBrush(leather);
    p.setPen(pen(QColor(0x4a, 0x26, 0x0e), 1));
    p.drawPath(band);

    // Inner side of the collar seen through the ring, darker.
    QPainterPath inside;
    inside.addEllipse(c, innerRx, innerRy);
    QPainterPath insideBand;
    insideBand.addEllipse(QPointF(c.x(), c.y() - 2), innerRx - 0.5, innerRy - 0.5);
    p.save();
    p.setClipPath(inside);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x5e, 0x31, 0x12));
    p.drawPath(inside.subtracted(insideBand));
    p.restore();

    // Stitching along the middle of the band.
    QPen stitch(QColor(0xf6, 0xdc, 0xa8, 220), 1, Qt::CustomDashLine, Qt::FlatCap);
    stitch.setDashPattern({2, 2});
    p.setPen(stitch);
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(c, (outerRx + innerRx) / 2, (outerRy + innerRy) / 2);

    // Buckle on top.
    const QRectF buckle(25.5, 1.5, 13, 14);
    p.setPen(pen(QColor(0x55, 0x5e, 0x66), 3.2));
    p.drawRoundedRect(buckle, 3, 3);
    p.setPen(pen(verticalGradient(buckle.top(), buckle.bottom(), QColor(0xf4, 0xf6, 0xf8),
                                  QColor(0x9a, 0xa4, 0xad)),
                 2));
    p.drawRoundedRect(buckle, 3, 3);
    p.setPen(pen(QColor(0x55, 0x5e, 0x66), 2.4, Qt::RoundCap));
    p.drawLine(QPointF(32, buckle.top() + 1), QPointF(32, buckle.bottom() - 1));
    p.setPen(pen(QColor(0xdc, 0xe1, 0xe6), 1.2, Qt::RoundCap));
    p.drawLine(QPointF(32, buckle.top() + 1), QPointF(32, buckle.bottom() - 1));

    // Ring holding the tag.
    const QPointF link(32, 43.5);
    p.setPen(pen(QColor(0x55, 0x5e, 0x66), 3));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(link, 3, 3);
    p.setPen(pen(QColor(0xd8, 0xdd, 0xe2), 1.4));
    p.drawEllipse(link, 3, 3);

    // The tag itself with a wireless mark.
    QPainterPath tag;
    tag.addRoundedRect(QRectF(20.5, 46.5, 23, 16), 5, 5);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 40));
    p.drawPath(tag.translated(0, 1));
    QLinearGradient yellow(0, 46, 0, 63);
    yellow.setColorAt(0, QColor(0xff, 0xe0, 0x6a));
    yellow.setColorAt(1, QColor(0xf5, 0xa6, 0x1a));
    p.setBrush(yellow);
    p.setPen(pen(QColor(0xa8, 0x6a, 0x00), 1));
    p.drawPath(tag);

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x6d, 0x40, 0x00));
    const QPointF wave(28, 55);
    p.drawEllipse(wave, 1.6, 1.6);
    p.setBrush(Qt::NoBrush);
    p.setPen(pen(QColor(0x6d, 0x40, 0x00), 1.6));
    for (qreal r : {4.5, 8.0}) {
        p.drawArc(QRectF(wave.x() - r, wave.y() - r, 2 * r, 2 * r), -40 * 16, 80 * 16);
    }
    return image;
}

// ---------------------------------------------------------------------------------------------

void putLe16(QByteArray &out, quint16 v) {
    out.append(char(v & 0xff));
    out.append(char(v >> 8));
}

void putLe32(QByteArray &out, quint32 v) {
    for (int i = 0; i < 4; ++i) {
        out.append(char((v >> (8 * i)) & 0xff));
    }
}

// A Windows icon file holding one 32 bits per pixel image as a device independent bitmap:
// header, one directory entry, BITMAPINFOHEADER (height doubled for the mask), BGRA rows from the
// bottom up, then the one bit AND mask, also from the bottom up, rows padded to four bytes.
QByteArray icoFile(const QImage &source) {
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    const int w = image.width();
    const int h = image.height();
    const int maskStride = ((w + 31) / 32) * 4;
    const quint32 pixelBytes = quint32(w * h * 4);
    const quint32 maskBytes = quint32(maskStride * h);
    const quint32 dibBytes = 40 + pixelBytes + maskBytes;

    QByteArray out;
    putLe16(out, 0); // reserved
    putLe16(out, 1); // type: icon
    putLe16(out, 1); // image count

    out.append(char(w >= 256 ? 0 : w));
    out.append(char(h >= 256 ? 0 : h));
    out.append(char(0)); // no palette
    out.append(char(0)); // reserved
    putLe16(out, 1);     // colour planes
    putLe16(out, 32);    // bits per pixel
    putLe32(out, dibBytes);
    putLe32(out, 6 + 16); // offset of the image data

    putLe32(out, 40);
    putLe32(out, quint32(w));
    putLe32(out, quint32(2 * h));
    putLe16(out, 1);
    putLe16(out, 32);
    putLe32(out, 0); // BI_RGB
    putLe32(out, pixelBytes + maskBytes);
    putLe32(out, 0);
    putLe32(out, 0);
    putLe32(out, 0);
    putLe32(out, 0);

    for (int y = h - 1; y >= 0; --y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            out.append(char(qBlue(line[x])));
            out.append(char(qGreen(line[x])));
            out.append(char(qRed(line[x])));
            out.append(char(qAlpha(line[x])));
        }
    }
    for (int y = h - 1; y >= 0; --y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        QByteArray row(maskStride, '\0');
        for (int x = 0; x < w; ++x) {
            if (qAlpha(line[x]) == 0) {
                row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
            }
        }
        out.append(row);
    }
    return out;
}

bool savePng(const QImage &image, const QString &path) {
    const QImage out = image.convertToFormat(QImage::Format_ARGB32);
    if (!out.save(path, "PNG")) {
        std::fprintf(stderr, "zirave-drawicons: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

bool saveFile(const QByteArray &data, const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size()) {
        std::fprintf(stderr, "zirave-drawicons: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: zirave-drawicons <pics-dir> <ico-dir>\n");
        return 2;
    }
    const QDir pics(QString::fromLocal8Bit(argv[1]));
    const QDir icoDir(QString::fromLocal8Bit(argv[2]));
    for (const QDir &dir : {pics, icoDir}) {
        if (!QDir().mkpath(dir.path())) {
            std::fprintf(stderr, "zirave-drawicons: cannot create %s\n", qPrintable(dir.path()));
            return 1;
        }
    }

    struct Button {
        const char *name;
        std::function<QImage()> draw;
    };
    const std::vector<Button> buttons = {
        {"order.png", drawOrder},
        {"email.png", drawEmail},
        {"wireless-icon.png", drawWireless},
        {"add-48.png",
         [] {
             return drawSheetWithBadge(true);
         }},
        {"edit48.png", drawEdit},
        {"remove48.png",
         [] {
             return drawSheetWithBadge(false);
         }},
        {"filenew.png", drawFileNew},
        {"refresh.png", drawRefresh},
        {"exit.png", drawExit},
    };

    bool ok = true;
    for (const Button &b : buttons) {
        ok = savePng(b.draw(), pics.filePath(QString::fromLatin1(b.name))) && ok;
    }
    const QImage app = drawAppIcon(64);
    ok = savePng(app, icoDir.filePath(QStringLiteral("zirave.png"))) && ok;
    ok = saveFile(icoFile(app), icoDir.filePath(QStringLiteral("zirave.ico"))) && ok;
    for (int size : {128, 256}) {
        const QString name = QStringLiteral("zirave-%1.png").arg(size);
        ok = savePng(drawAppIcon(size), icoDir.filePath(name)) && ok;
    }
    return ok ? 0 : 1;
}
