#include "config/LinkLabel.h"

#include <QDesktopServices>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QUrl>

namespace norvex::config {

TLinkLabel::TLinkLabel(const QString &caption, QWidget *parent) : QLabel(parent)
{
    setText(QLatin1Char(' ') + caption + QLatin1Char(' '));
    QFont underlined = font();
    underlined.setUnderline(true);
    setFont(underlined);
    setStyleSheet(QStringLiteral("color: blue;"));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(caption);
}

TLinkLabel::TLinkLabel(const QPixmap &picture, const QString &accessibleName, QWidget *parent)
    : QLabel(parent)
{
    setPixmap(picture);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(accessibleName);
    setToolTip(accessibleName);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
    QLabel::mouseReleaseEvent(event);
}

void TLinkLabel::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
        event->key() == Qt::Key_Space) {
        emit clicked();
        return;
    }
    QLabel::keyPressEvent(event);
}

void openWithShell(const QString &target)
{
    const QUrl url =
        target.startsWith(QLatin1Char('/')) ? QUrl::fromLocalFile(target) : QUrl(target);
    QDesktopServices::openUrl(url);
}

} // namespace norvex::config
