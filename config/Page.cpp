#include "config/Page.h"

#include <QApplication>
#include <QPushButton>
#include <QShortcut>

namespace norvex::config {

void TPage::bindOkCancelKeys(QPushButton *ok, QPushButton *cancel)
{
    for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto *shortcut = new QShortcut(QKeySequence(key), this, nullptr, nullptr,
                                       Qt::WidgetWithChildrenShortcut);
        connect(shortcut, &QShortcut::activated, ok, [ok] {
            // Tab to "キャンセル" and Enter must cancel, not save.
            auto *focused = qobject_cast<QPushButton *>(QApplication::focusWidget());
            (focused ? focused : ok)->click();
        });
    }
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this, nullptr, nullptr,
                                 Qt::WidgetWithChildrenShortcut);
    connect(escape, &QShortcut::activated, cancel, &QPushButton::click);
}

} // namespace norvex::config
