#pragma once

#include <QWidget>

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
};

} // namespace norvex::config
