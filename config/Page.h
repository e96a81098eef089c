#pragma once

#include <QWidget>

class QPushButton;

namespace norvex::config {

// A page of the main window's page area.
class TPage : public QWidget
{
    Q_OBJECT

public:
    using QWidget::QWidget;

    // The page's show action: runs every time the page becomes the current page, once the
    // main window has attached the show actions (after its first showing).
    virtual void showAction() {}

protected:
    // A page has no dialog to carry a default button, so it binds the keys itself: Return or
    // Enter presses the push button that has the focus, or `ok` when the focus is on anything
    // else; Escape presses `cancel`.
    void bindOkCancelKeys(QPushButton *ok, QPushButton *cancel);
};

} // namespace norvex::config
