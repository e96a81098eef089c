#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QList>
#include <QPainterPath>

namespace norvex::config {

// The program's icon, drawn rather than loaded so that the window, the screenshot tool and
// the icon files installed beside the programs (tools/IconFiles.cpp) share one drawing.

// One filled area of the icon, in a 256 × 256 box; areas are painted in list order.
struct IconShape
{
    QPainterPath path;
    QColor colour;
};

QList<IconShape> norvexIconShapes();

// The drawing at `size` × `size` pixels, on a transparent ground.
QImage norvexIconImage(int size);

// The sizes a desktop asks for, and the icon at each of them.
inline constexpr int NorvexIconSizes[] = {16, 24, 32, 48, 64, 128, 256};
QIcon norvexIcon();

// The drawing as an SVG document with the same areas and colours.
QByteArray norvexIconSvg();

} // namespace norvex::config
