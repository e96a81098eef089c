#pragma once

#include <QLabel>

namespace norvex::config {

// A link or picture that acts on a mouse click: blue underlined text with a leading and a
// trailing space, or a picture, with the pointing-hand cursor.
class TLinkLabel : public QLabel
{
    Q_OBJECT

public:
    // A text link; the caption is shown with a space on each side.
    TLinkLabel(const QString &caption, QWidget *parent = nullptr);
    // A picture link.
    TLinkLabel(const QPixmap &picture, const QString &accessibleName, QWidget *parent = nullptr);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
};

// Opens a file path or a web address with the desktop's handler. Nothing is reported when
// that fails: the desktop may have no handler at all.
void openWithShell(const QString &target);

} // namespace norvex::config
