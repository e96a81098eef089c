#include "config/LogPage.h"

#include "config/FooterGrid.h"
#include "config/FrmLog.h"
#include "config/LogGridModel.h"
#include "config/Program.h"
#include "shared/Clock.h"
#include "shared/EventLog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QScrollBar>
#include <QStyle>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace norvex::config {

namespace {

constexpr int ReloadInterval = 10000; // ms

// The period choice's items, in the order of shared::LogPeriod.
const char *const PeriodItems[] = {"今日", "過去7日間", "今月", "すべて"};

} // namespace

TLogPage::TLogPage(Program &program, QWidget *parent) : TPage(parent), m_program(program)
{
    setObjectName(QStringLiteral("TabLog"));
    shared::setupLogTable(m_program.logTable());

    auto *heading = new QLabel(QStringLiteral("イベントログ"), this);
    heading->setObjectName(QStringLiteral("LblLogTitle"));
    QFont headingFont = heading->font();
    headingFont.setPointSizeF(headingFont.pointSizeF() * 1.4);
    headingFont.setBold(true);
    heading->setFont(headingFont);

    m_filter = new QComboBox(this);
    m_filter->setObjectName(QStringLiteral("CmbFilter"));
    m_filter->setAccessibleName(QStringLiteral("表示期間"));
    for (const char *item : PeriodItems)
        m_filter->addItem(QString::fromUtf8(item));
    m_filter->setCurrentIndex(0);

    m_refresh = new QToolButton(this);
    m_refresh->setObjectName(QStringLiteral("ToolButton1"));
    m_refresh->setIcon(style()->standardIcon(QStyle::SP_BrowserReload));
    m_refresh->setToolTip(QStringLiteral("ログ表示を更新"));
    m_refresh->setAccessibleName(QStringLiteral("ログ表示を更新"));

    m_autoReload = new QCheckBox(QStringLiteral("自動更新(10秒間隔でログ表示を更新)"), this);
    m_autoReload->setObjectName(QStringLiteral("ChkLogReload"));
    m_autoReload->setChecked(true);

    auto *toolbar = new QHBoxLayout;
    toolbar->addWidget(m_filter);
    toolbar->addWidget(m_refresh);
    toolbar->addSpacing(8);
    toolbar->addWidget(m_autoReload);
    toolbar->addStretch(1);

    m_model = new LogGridModel(m_program.logTable(), this);
    m_grid = new FooterGrid<QTableView>(QStringLiteral("GrdLogFooter"), this);
    m_grid->setObjectName(QStringLiteral("GrdLog"));
    m_grid->setAccessibleName(QStringLiteral("イベントログ"));
    m_grid->setModel(m_model);
    m_grid->setFooterModel(m_model);
    m_grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_grid->setSelectionMode(QAbstractItemView::SingleSelection);
    m_grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_grid->setWordWrap(false);
    m_grid->setCornerButtonEnabled(false);
    // Tab leaves the grid instead of walking its cells.
    m_grid->setTabKeyNavigation(false);
    QHeaderView *columns = m_grid->horizontalHeader();
    columns->setSectionsClickable(false);
    columns->setHighlightSections(false);
    columns->setSectionResizeMode(QHeaderView::Fixed);
    columns->setStretchLastSection(true);
    const QFontMetrics metrics(m_grid->font());
    columns->resizeSection(0, metrics.horizontalAdvance(QStringLiteral("種類")) + 24);
    columns->resizeSection(1, metrics.horizontalAdvance(QStringLiteral("0000/00/00 00:00:00:000")) +
                                  24);
    QHeaderView *rows = m_grid->verticalHeader();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(metrics.height() + 8);
    rows->setDefaultAlignment(Qt::AlignRight | Qt::AlignVCenter);
    rows->setHighlightSections(false);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(heading);
    layout->addLayout(toolbar);
    layout->addWidget(m_grid, 1);

    m_frmLog = new TFrmLog(this);

    m_timer = new QTimer(this);
    m_timer->setObjectName(QStringLiteral("TimLogReload"));
    m_timer->setInterval(ReloadInterval);

    connect(m_filter, &QComboBox::currentIndexChanged, this, &TLogPage::CmbFilterChange);
    connect(m_refresh, &QToolButton::clicked, this, &TLogPage::ToolButton1Click);
    connect(m_autoReload, &QCheckBox::toggled, this, &TLogPage::ChkLogReloadClick);
    connect(m_timer, &QTimer::timeout, this, &TLogPage::TimLogReloadTimer);
    connect(m_grid, &QTableView::doubleClicked, this,
            [this](const QModelIndex &index) { GrdLogDblClick(index.row()); });
    // On from the start, before the page is ever shown.
    m_timer->start();
}

TLogPage::~TLogPage() = default;

void TLogPage::showAction()
{
    switchTimer();
    reload();
}

void TLogPage::CmbFilterChange()
{
    switchTimer();
    reload();
}

void TLogPage::ToolButton1Click()
{
    switchTimer();
    reload();
}

void TLogPage::ChkLogReloadClick()
{
    switchTimer();
}

void TLogPage::TimLogReloadTimer()
{
    reload();
}

void TLogPage::GrdLogDblClick(int row)
{
    if (row < 0)
        return;
    m_frmLog->showEntries(m_program.logTable(), row);
    m_frmLog->exec();
}

void TLogPage::switchTimer()
{
    // Switching on a running timer leaves its phase alone.
    if (!m_autoReload->isChecked())
        m_timer->stop();
    else if (!m_timer->isActive())
        m_timer->start();
}

void TLogPage::reload()
{
    const auto period = static_cast<shared::LogPeriod>(qBound(0, m_filter->currentIndex(), 3));
    const QString bound = shared::logPeriodBound(period, m_program.clock().now().date());
    const int row = m_grid->currentIndex().row();
    const int top = m_grid->verticalScrollBar()->value();
    bool changed = false;
    m_reader.reload(m_program.logTable(), m_program.installFolder(), bound, [this, &changed] {
        m_model->beginChange();
        changed = true;
    });
    if (!changed)
        return;
    m_model->endChange();
    // Stay where the user was, as a refilled grid does.
    m_grid->doItemsLayout();
    const int count = m_model->rowCount();
    if (row >= 0 && count > 0)
        m_grid->setCurrentIndex(m_model->index(qMin(row, count - 1), 0));
    m_grid->verticalScrollBar()->setValue(top);
}

} // namespace norvex::config
