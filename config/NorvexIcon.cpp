#include "config/NorvexIcon.h"

#include <QPainter>
#include <QPixmap>
#include <QPolygonF>
#include <QtMath>

namespace norvex::config {

namespace {

constexpr double Box = 256;
const QPointF Centre(128, 128);

QPointF onCircle(double radius, double degrees)
{
    const double a = qDegreesToRadians(degrees);
    return Centre + QPointF(radius * std::cos(a), -radius * std::sin(a));
}

QString number(double value)
{
    QString text = QString::number(value, 'f', 2);
    while (text.endsWith(QLatin1Char('0')))
        text.chop(1);
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text == QLatin1String("-0") ? QStringLiteral("0") : text;
}

QString svgPathData(const QPainterPath &path)
{
    QStringList data;
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        switch (e.type) {
        case QPainterPath::MoveToElement:
            data << QStringLiteral("M%1 %2").arg(number(e.x), number(e.y));
            break;
        case QPainterPath::LineToElement:
            data << QStringLiteral("L%1 %2").arg(number(e.x), number(e.y));
            break;
        case QPainterPath::CurveToElement: {
            // A curve is its first control point followed by two data elements.
            const QPainterPath::Element c2 = path.elementAt(i + 1);
            const QPainterPath::Element end = path.elementAt(i + 2);
            data << QStringLiteral("C%1 %2 %3 %4 %5 %6")
                        .arg(number(e.x), number(e.y), number(c2.x), number(c2.y), number(end.x),
                             number(end.y));
            i += 2;
            break;
        }
        case QPainterPath::CurveToDataElement:
            break;
        }
    }
    return data.join(QLatin1Char(' '));
}

} // namespace

QList<IconShape> norvexIconShapes()
{
    QPainterPath tile;
    tile.addRoundedRect(QRectF(8, 8, 240, 240), 52, 52);

    // A clockwise arrow round the archive: backups that come back on a schedule.
    const double outer = 96, inner = 74;
    const QRectF outerBox(Centre - QPointF(outer, outer), QSizeF(2 * outer, 2 * outer));
    const QRectF innerBox(Centre - QPointF(inner, inner), QSizeF(2 * inner, 2 * inner));
    QPainterPath ring;
    ring.arcMoveTo(outerBox, 60);
    ring.arcTo(outerBox, 60, -300);
    ring.arcTo(innerBox, 120, 300);
    ring.closeSubpath();
    QPainterPath head;
    head.addPolygon(QPolygonF{onCircle(58, 120), onCircle(112, 120), onCircle(85, 88)});
    head.closeSubpath();

    // The archive: a box with its lid and a handle slot (a hole, so the tile shows through).
    QPainterPath archive;
    archive.addRoundedRect(QRectF(82, 100, 92, 22), 5, 5);
    archive.addRoundedRect(QRectF(90, 126, 76, 50), 6, 6);
    archive.addRoundedRect(QRectF(110, 138, 36, 9), 4.5, 4.5);
    archive.setFillRule(Qt::OddEvenFill);

    const QColor white(0xff, 0xff, 0xff);
    return {{tile, QColor(0x1f, 0x63, 0xb0)},
            {ring, white},
            {head, white},
            {archive, QColor(0xf6, 0xb7, 0x3c)}};
}

QImage norvexIconImage(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / Box, size / Box);
    for (const IconShape &shape : norvexIconShapes())
        painter.fillPath(shape.path, shape.colour);
    return image;
}

QIcon norvexIcon()
{
    QIcon icon;
    for (int size : NorvexIconSizes)
        icon.addPixmap(QPixmap::fromImage(norvexIconImage(size)));
    return icon;
}

QByteArray norvexIconSvg()
{
    QString svg = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"256\" "
                                 "height=\"256\" viewBox=\"0 0 256 256\">\n");
    for (const IconShape &shape : norvexIconShapes())
        svg += QStringLiteral("  <path fill=\"%1\" fill-rule=\"%2\" d=\"%3\"/>\n")
                   .arg(shape.colour.name(),
                        shape.path.fillRule() == Qt::OddEvenFill ? QStringLiteral("evenodd")
                                                                 : QStringLiteral("nonzero"),
                        svgPathData(shape.path));
    svg += QStringLiteral("</svg>\n");
    return svg.toUtf8();
}

} // namespace norvex::config
