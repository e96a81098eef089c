#pragma once

#include "config/Page.h"

#include <QList>
#include <QStringList>

namespace norvex::config {

// An overview page (TabDisp, TabBackEnv): a heading and links, each with its description;
// a link selects a tree node as a menu item does.
class TOverviewPage : public TPage
{
    Q_OBJECT

public:
    struct Link
    {
        QString caption;
        int node;
        QStringList description;
    };

    TOverviewPage(const QString &objectName, const QString &heading, const QList<Link> &links,
                  QWidget *parent = nullptr);

    // The two overview pages.
    static TOverviewPage *viewOverview(QWidget *parent);
    static TOverviewPage *settingsOverview(QWidget *parent);

signals:
    void nodeRequested(int node);
};

} // namespace norvex::config
