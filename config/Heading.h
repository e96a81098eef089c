#pragma once

#include <QLabel>

namespace norvex::config {

// The heading at the top of a page of the page area.
inline QLabel *pageHeading(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 1.5);
    font.setBold(true);
    label->setFont(font);
    return label;
}

} // namespace norvex::config
