#include "config/OverviewPage.h"

#include "config/Heading.h"
#include "config/LinkLabel.h"

#include <QGridLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace norvex::config {

TOverviewPage::TOverviewPage(const QString &objectName, const QString &heading,
                             const QList<Link> &links, QWidget *parent)
    : TPage(parent)
{
    setObjectName(objectName);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(pageHeading(heading, this));
    auto *grid = new QGridLayout;
    grid->setContentsMargins(16, 16, 16, 16);
    grid->setHorizontalSpacing(16);
    grid->setVerticalSpacing(24);
    for (int i = 0; i < links.size(); ++i) {
        const Link &link = links[i];
        auto *label = new TLinkLabel(link.caption, this);
        label->setObjectName(QStringLiteral("Lnk%1").arg(link.node));
        const int node = link.node;
        connect(label, &TLinkLabel::clicked, this, [this, node] { emit nodeRequested(node); });
        auto *description = new QLabel(link.description.join(QLatin1Char('\n')), this);
        description->setWordWrap(true);
        grid->addWidget(label, i, 0, Qt::AlignTop | Qt::AlignLeft);
        grid->addWidget(description, i, 1, Qt::AlignTop);
    }
    grid->setColumnStretch(1, 1);
    layout->addLayout(grid);
    layout->addStretch(1);
}

TOverviewPage *TOverviewPage::viewOverview(QWidget *parent)
{
    return new TOverviewPage(
        QStringLiteral("TabDisp"), QStringLiteral("表示"),
        {{QStringLiteral("バックアップ設定一覧"),
          2,
          {QStringLiteral("現在設定されているバックアップの設定一覧を表示します。"),
           QStringLiteral("この画面からバックアップの追加、編集、削除も行うことができます。")}},
         {QStringLiteral("イベントログ"),
          3,
          {QStringLiteral("バックアップの起動ログを表示します。")}}},
        parent);
}

TOverviewPage *TOverviewPage::settingsOverview(QWidget *parent)
{
    return new TOverviewPage(QStringLiteral("TabBackEnv"), QStringLiteral("バックアップ設定"),
                             {{QStringLiteral("設定変更・削除"),
                               6,
                               {QStringLiteral("設定したバックアップの削除、編集を行います。")}},
                              {QStringLiteral("設定追加"),
                               5,
                               {QStringLiteral("新しいバックアップの設定を追加します。")}}},
                             parent);
}

} // namespace norvex::config
