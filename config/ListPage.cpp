#include "config/ListPage.h"

#include "config/FrmRestore.h"
#include "platform/Paths.h"

#include "config/FooterGrid.h"

#include "config/Heading.h"
#include "config/Program.h"
#include "config/Prompter.h"
#include "config/ServiceCommands.h"
#include "shared/Clock.h"
#include "shared/Exception.h"
#include "shared/IniFileCompo.h"
#include "shared/JobRules.h"
#include "shared/JobTable.h"
#include "shared/ListStatus.h"
#include "shared/RunStatus.h"
#include "shared/mlb2.h"

#include <QApplication>
#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHelpEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionProgressBar>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>

namespace norvex::config {

namespace {

enum Column {
    NameColumn,
    SourcesColumn,
    DestinationColumn,
    IntervalColumn,
    NextRunColumn,
    ResultColumn,
    SuccessColumn
};
constexpr int ColumnCount = 7;
// The result cell of a run in progress: 0 to 1000 of its stage, painted as a bar.
constexpr int ProgressRole = Qt::UserRole + 1;
constexpr int StatusRefreshMs = 2000;

// A row whose next run time has passed is green while the service is shown as running:
// decided while the cell is painted, so a change of the service button shows at once. Its
// text is white, as in the event log: black on that green is hard to read (about 4:1).
// A source list cut off by its column shows the whole list, one path a line, as a tooltip.
// A result cell that warns (a failed run, no success for two intervals) is red whatever the
// row's colour; a run in progress is a progress bar, painted here rather than by a widget
// per row so that a refresh of fifty rows stays cheap.
class ListCellDelegate : public QStyledItemDelegate
{
public:
    ListCellDelegate(Program &program, QObject *parent)
        : QStyledItemDelegate(parent), m_program(program)
    {
    }

    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override
    {
        if (index.column() != SourcesColumn || event->type() != QEvent::ToolTip)
            return QStyledItemDelegate::helpEvent(event, view, option, index);
        QStyleOptionViewItem cell = option;
        initStyleOption(&cell, index);
        const QStyle *style = view->style();
        const int margins = 2 * (style->pixelMetric(QStyle::PM_FocusFrameHMargin, &cell, view) + 1);
        const QRect text = style->subElementRect(QStyle::SE_ItemViewItemText, &cell, view);
        if (cell.text.isEmpty() ||
            cell.fontMetrics.horizontalAdvance(cell.text) <= text.width() - margins) {
            QToolTip::hideText();
            return true;
        }
        QToolTip::showText(event->globalPos(),
                           shared::decodeSourceList(cell.text).join(QLatin1Char('\n')), view,
                           option.rect);
        return true;
    }

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override
    {
        const QVariant progress = index.data(ProgressRole);
        if (index.column() != ResultColumn || !progress.isValid()) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionViewItem cell = option;
        initStyleOption(&cell, index);
        cell.text.clear();
        const QWidget *view = option.widget;
        QStyle *style = view ? view->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, view);
        QStyleOptionProgressBar bar;
        bar.initFrom(view);
        // Readable also while the page is locked, which it is during most runs.
        bar.state = QStyle::State_Enabled | QStyle::State_Horizontal;
        bar.rect = option.rect.adjusted(2, 2, -2, -2);
        bar.minimum = 0;
        bar.maximum = 1000;
        bar.progress = progress.toInt();
        bar.text = index.data().toString();
        bar.textVisible = true;
        bar.textAlignment = Qt::AlignCenter;
        style->drawControl(QStyle::CE_ProgressBar, &bar, painter, view);
    }

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        if (index.column() == ResultColumn &&
            !index.data(Qt::AccessibleDescriptionRole).toString().isEmpty()) {
            // White on this red is about 6.5:1.
            option->backgroundBrush = QColor(192, 0, 0);
            option->palette.setColor(QPalette::Text, Qt::white);
            option->palette.setColor(QPalette::HighlightedText, Qt::white);
            return;
        }
        if (!m_program.serviceButtonPressed())
            return;
        const QString next = index.sibling(index.row(), NextRunColumn).data().toString();
        if (next.isEmpty())
            return;
        try {
            if (shared::readDateTime(next) < m_program.clock().now()) {
                option->backgroundBrush = QColor(0, 128, 0);
                option->palette.setColor(QPalette::Text, Qt::white);
            }
        } catch (const shared::Exception &) {
            // A time that does not parse is never overdue.
        }
    }

private:
    Program &m_program;
};

} // namespace

TListPage::TListPage(Program &program, QWidget *parent)
    : TPage(parent), m_program(program),
      m_grid(new FooterGrid<QTableWidget>(QStringLiteral("GrdListFooter"), this)),
      m_popup(new QMenu(this)), m_statusTimer(new QTimer(this))
{
    setObjectName(QStringLiteral("TabList"));

    m_renew =
        toolButton(QStringLiteral("BotRenew"), QStringLiteral("更新"), QStyle::SP_BrowserReload);
    m_add = toolButton(QStringLiteral("BotAdd"), QStringLiteral("設定追加"),
                       QStyle::SP_FileDialogNewFolder);
    m_edit = toolButton(QStringLiteral("BotEdit"), QStringLiteral("選択行編集"),
                        QStyle::SP_FileDialogDetailedView);
    m_del =
        toolButton(QStringLiteral("BotDel"), QStringLiteral("選択行削除"), QStyle::SP_TrashIcon);
    m_backUp = toolButton(QStringLiteral("BotBackUp"), QStringLiteral("すぐにバックアップ"),
                          QStyle::SP_MediaPlay);
    m_restore = toolButton(QStringLiteral("BotRestore"), QStringLiteral("復元..."),
                           QStyle::SP_DialogOpenButton);
    m_exit = toolButton(QStringLiteral("ToolButton11"), QStringLiteral("終了"),
                        QStyle::SP_DialogCloseButton);
    connect(m_renew, &QToolButton::clicked, this, &TListPage::load);
    connect(m_add, &QToolButton::clicked, this, &TListPage::open);
    connect(m_edit, &QToolButton::clicked, this, &TListPage::open);
    connect(m_del, &QToolButton::clicked, this, &TListPage::deleteJob);
    connect(m_backUp, &QToolButton::clicked, this, &TListPage::runNow);
    connect(m_restore, &QToolButton::clicked, this, &TListPage::restoreJob);
    connect(m_exit, &QToolButton::clicked, this, [this] { m_program.closeMainWindow(); });

    m_grid->setObjectName(QStringLiteral("GrdList"));
    m_grid->setAccessibleName(QStringLiteral("バックアップ設定一覧"));
    m_grid->setColumnCount(ColumnCount);
    m_grid->setHorizontalHeaderLabels(
        {QStringLiteral("バックアップ名"), QStringLiteral("バックアップ対象"),
         QStringLiteral("バックアップ先"), QStringLiteral("バックアップ間隔"),
         QStringLiteral("次回バックアップ時間"), QStringLiteral("前回の結果"),
         QStringLiteral("最終成功")});
    m_grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_grid->setSelectionMode(QAbstractItemView::SingleSelection);
    m_grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_grid->setContextMenuPolicy(Qt::CustomContextMenu);
    m_grid->setItemDelegate(new ListCellDelegate(program, m_grid));
    m_grid->setWordWrap(false);
    m_grid->verticalHeader()->setDefaultSectionSize(24);
    // Tab leaves the grid instead of walking its 125 cells.
    m_grid->setTabKeyNavigation(false);
    // The user sizes the name and source columns; the sources take the room left over until
    // the user sizes one of them, and a wider total scrolls.
    QHeaderView *header = m_grid->horizontalHeader();
    header->setStretchLastSection(false);
    for (int column : {NameColumn, SourcesColumn})
        header->setSectionResizeMode(column, QHeaderView::Interactive);
    for (int column :
         {DestinationColumn, IntervalColumn, NextRunColumn, ResultColumn, SuccessColumn})
        header->setSectionResizeMode(column, QHeaderView::Fixed);
    // Each fixed column just holds its title and its widest text, so that the sources keep
    // some room beside the two status columns.
    header->resizeSection(NameColumn, 120);
    header->resizeSection(DestinationColumn, 96);
    header->resizeSection(IntervalColumn, 112);
    header->resizeSection(NextRunColumn, 150);
    header->resizeSection(ResultColumn, 286);
    header->resizeSection(SuccessColumn, 150);
    connect(header, &QHeaderView::sectionResized, this, [this](int column) {
        if (!m_fitting && (column == NameColumn || column == SourcesColumn))
            m_userSizedColumns = true;
    });
    m_grid->viewport()->installEventFilter(this);
    connect(m_grid, &QTableWidget::currentCellChanged, this, [this] { applyRowRule(); });
    connect(m_grid, &QTableWidget::cellDoubleClicked, this, [this] { open(); });

    m_popup->setObjectName(QStringLiteral("PopGrdList"));
    auto menuItem = [this](const char *name, const QString &caption, void (TListPage::*slot)()) {
        QAction *action = m_popup->addAction(caption);
        action->setObjectName(QLatin1String(name));
        connect(action, &QAction::triggered, this, slot);
        return action;
    };
    m_menDel = menuItem("AddMenDel", QStringLiteral("選択行の設定削除"), &TListPage::deleteJob);
    m_menMod = menuItem("AddMenMod", QStringLiteral("選択行の設定変更"), &TListPage::edit);
    m_menAdd = menuItem("AddMenAdd", QStringLiteral("設定の追加"), &TListPage::add);
    m_menBackUp =
        menuItem("StartBackUp", QStringLiteral("すぐにバックアップ開始"), &TListPage::runNow);
    m_menRestore = menuItem("MenRestore", QStringLiteral("復元..."), &TListPage::restoreJob);
    connect(m_popup, &QMenu::aboutToShow, this, &TListPage::updatePopupItems);
    connect(m_grid, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &at) { m_popup->popup(m_grid->viewport()->mapToGlobal(at)); });

    auto *tools = new QHBoxLayout;
    tools->setSpacing(2);
    for (QToolButton *button : {m_renew, m_add, m_edit, m_del, m_backUp, m_restore, m_exit})
        tools->addWidget(button);
    tools->addStretch(1);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(pageHeading(QStringLiteral("バックアップ設定一覧"), this));
    layout->addLayout(tools);
    layout->addWidget(m_grid, 1);
    // The grid is made first but read after the toolbar above it.
    setTabOrder(m_exit, m_grid);

    // Only the two status columns follow the run status record on their own, and only
    // while the list is shown.
    m_warningIcon = style()->standardIcon(QStyle::SP_MessageBoxWarning);
    m_statusTimer->setObjectName(QStringLiteral("TimRunStatus"));
    m_statusTimer->setInterval(StatusRefreshMs);
    connect(m_statusTimer, &QTimer::timeout, this, [this] { refreshStatus(); });

    m_grid->setRowCount(MinimumRows);
    applyRowRule();
}

QToolButton *TListPage::toolButton(const QString &name, const QString &hint, int icon)
{
    auto *button = new QToolButton(this);
    button->setObjectName(name);
    button->setToolTip(hint);
    button->setAccessibleName(hint);
    button->setIcon(style()->standardIcon(QStyle::StandardPixmap(icon)));
    button->setIconSize(QSize(24, 24));
    button->setAutoRaise(true);
    return button;
}

void TListPage::showAction()
{
    m_stateFailureShown = false;
    load();
}

void TListPage::showEvent(QShowEvent *event)
{
    TPage::showEvent(event);
    m_statusTimer->start();
}

void TListPage::hideEvent(QHideEvent *event)
{
    m_statusTimer->stop();
    TPage::hideEvent(event);
}

bool TListPage::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_grid->viewport() && event->type() == QEvent::Resize && !m_userSizedColumns)
        fitSourcesColumn();
    return TPage::eventFilter(watched, event);
}

void TListPage::fitSourcesColumn()
{
    QHeaderView *header = m_grid->horizontalHeader();
    int others = 0;
    for (int column = 0; column < ColumnCount; ++column)
        if (column != SourcesColumn)
            others += header->sectionSize(column);
    m_fitting = true;
    header->resizeSection(SourcesColumn, std::max(120, m_grid->viewport()->width() - others));
    m_fitting = false;
}

void TListPage::load()
{
    const QDateTime now = m_program.clock().now();
    m_grid->setUpdatesEnabled(false);
    m_program.setBackupInProgress(false);
    // A file that cannot be read leaves the rows as they were.
    shared::TMlb2 fresh;
    shared::setupJobTable(fresh);
    if (fresh.LoadFromFile(shared::jobTablePath(m_program.installFolder())))
        m_program.jobTable().CopyFrom(fresh);
    fillGrid();
    const shared::RunStatusRecord record = shared::readRunStatus(m_program.installFolder());
    refreshStatus(record);

    bool inProgress = shared::filesShowRunInProgress(m_program.jobTable(), record, now);
    QString failure;
    if (inProgress)
        inProgress = serviceCountsAsRunning(m_program, &failure);
    m_program.setBackupInProgress(inProgress);
    m_grid->setEnabled(!inProgress);
    for (QToolButton *button : {m_edit, m_add, m_del, m_backUp})
        button->setEnabled(!inProgress);
    m_restore->setEnabled(currentJobRow() >= 0);
    if (!inProgress)
        applyRowRule();
    m_grid->setUpdatesEnabled(true);
    m_grid->viewport()->update();
    // Said once while the list is shown; a refresh that fails again locks it silently.
    if (!failure.isEmpty() && !m_stateFailureShown) {
        m_stateFailureShown = true;
        m_program.prompter().message(failure, Prompter::Kind::Error);
    }
}

void TListPage::fillGrid()
{
    shared::TMlb2 &table = m_program.jobTable();
    const int jobs = table.RecordCount();
    m_grid->clearContents();
    m_grid->setRowCount(std::max(MinimumRows, jobs));
    m_rowJobs.clear();
    int row = 0;
    for (bool more = table.First(); more && !table.Eof(); more = table.Next(), ++row) {
        auto field = [&table](const char *name) { return table.FieldByName(QLatin1String(name)); };
        const QString interval = field("backupint") + (field("backuptani") == QLatin1String("h")
                                                           ? QStringLiteral("時間毎")
                                                           : QStringLiteral("日毎"));
        const QString cells[ColumnCount] = {field("backupname"), field("backuplist"),
                                            field("tobackup"), interval, field("backupdt")};
        for (int column = 0; column < ColumnCount; ++column) {
            auto *item = new QTableWidgetItem(cells[column]);
            item->setTextAlignment(column <= SourcesColumn ? Qt::AlignLeft | Qt::AlignVCenter
                                                           : Qt::AlignCenter);
            m_grid->setItem(row, column, item);
        }
        for (int column : {ResultColumn, SuccessColumn}) {
            auto *item = new QTableWidgetItem;
            item->setTextAlignment(Qt::AlignCenter);
            m_grid->setItem(row, column, item);
        }
        const QString unit = field("backuptani");
        m_rowJobs.push_back({field("backupname"),
                             field("backupint").toInt(),
                             unit.size() == 1 ? unit.at(0) : QChar(),
                             {}});
    }
}

void TListPage::refreshStatus()
{
    refreshStatus(shared::readRunStatus(m_program.installFolder()));
}

void TListPage::refreshStatus(const shared::RunStatusRecord &record)
{
    const QDateTime now = m_program.clock().now();
    const bool live = shared::recordShowsRunInProgress(record);
    for (int row = 0; row < int(m_rowJobs.size()); ++row) {
        RowJob &job = m_rowJobs[std::size_t(row)];
        const shared::StatusCells cells = shared::statusCells(
            shared::findJobStatus(record, row + 1, job.name), live, job.interval, job.unit, now);
        if (cells == job.shown)
            continue;
        job.shown = cells;
        QTableWidgetItem *result = m_grid->item(row, ResultColumn);
        result->setText(cells.result);
        result->setToolTip(cells.toolTip);
        result->setData(Qt::AccessibleDescriptionRole, cells.warning);
        result->setIcon(cells.warning.isEmpty() ? QIcon() : m_warningIcon);
        result->setData(ProgressRole, cells.progress < 0 ? QVariant() : QVariant(cells.progress));
        m_grid->item(row, SuccessColumn)->setText(cells.lastSuccess);
    }
}

void TListPage::selectRow(int row)
{
    if (row >= 0 && row < m_grid->rowCount())
        m_grid->setCurrentCell(row, NameColumn);
}

void TListPage::repaintRows()
{
    m_grid->viewport()->update();
}

bool TListPage::rowHoldsJob(int row) const
{
    const QTableWidgetItem *name = m_grid->item(row, NameColumn);
    return name && !name->text().isEmpty();
}

int TListPage::currentJobRow() const
{
    const int row = m_grid->currentRow();
    return row >= 0 && rowHoldsJob(row) ? row : -1;
}

void TListPage::applyRowRule()
{
    const bool job = currentJobRow() >= 0;
    m_restore->setEnabled(job);
    if (m_program.backupInProgress())
        return;
    m_edit->setEnabled(job);
    m_del->setEnabled(job);
    m_backUp->setEnabled(job);
    m_add->setEnabled(!job);
}

void TListPage::updatePopupItems()
{
    const bool locked = m_program.backupInProgress();
    const bool job = currentJobRow() >= 0;
    m_menDel->setEnabled(!locked && job);
    m_menMod->setEnabled(!locked && job);
    m_menBackUp->setEnabled(!locked && job);
    m_menAdd->setEnabled(!locked && !job);
    m_menRestore->setEnabled(job);
}

void TListPage::open()
{
    if (m_program.backupInProgress())
        return;
    if (currentJobRow() >= 0)
        edit();
    else
        add();
}

void TListPage::edit()
{
    const int row = currentJobRow();
    if (row < 0)
        return;
    m_program.setEditedJobNumber(row + 1);
    m_program.showPage(Page::EditBackUp);
}

void TListPage::add()
{
    m_program.showPage(Page::AddBackUp);
}

bool TListPage::reportFileResult(int result, const QString &error)
{
    switch (shared::JobFileResult(result)) {
    case shared::JobFileResult::Saved:
        return true;
    case shared::JobFileResult::NotFound:
        m_program.prompter().message(
            QStringLiteral("選択したバックアップ設定は、すでに変更または削除されています。\r\n"
                           "一覧を更新します。"),
            Prompter::Kind::Warning);
        load();
        return false;
    case shared::JobFileResult::Unreadable:
        m_program.prompter().message(
            QStringLiteral("バックアップ設定ファイルを読み込めませんでした。\r\n") + error,
            Prompter::Kind::Error);
        return false;
    case shared::JobFileResult::Unwritable:
        m_program.prompter().message(
            QStringLiteral("バックアップ設定ファイルを保存できませんでした。\r\n") + error,
            Prompter::Kind::Error);
        return false;
    case shared::JobFileResult::Duplicate: // the list neither adds nor renames a job
        return false;
    }
    return false;
}

void TListPage::deleteJob()
{
    const int row = currentJobRow();
    if (row < 0 || m_program.backupInProgress())
        return;
    // The file is read again just before the save, so what the service wrote since the
    // load stays; the job is found by its position and its name as shown.
    QString error;
    const shared::JobFileResult result = shared::deleteJobInFile(
        m_program.jobTable(), shared::jobTablePath(m_program.installFolder()), row + 1,
        m_grid->item(row, NameColumn)->text(), &error);
    if (!reportFileResult(int(result), error))
        return;
    m_grid->setUpdatesEnabled(false);
    fillGrid();
    refreshStatus();
    selectRow(std::min(row, m_grid->rowCount() - 1));
    applyRowRule();
    m_grid->setUpdatesEnabled(true);
}

void TListPage::runNow()
{
    const int row = currentJobRow();
    if (row < 0 || m_program.backupInProgress())
        return;
    if (!m_program.serviceButtonPressed()) {
        m_program.prompter().message(shared::serviceNotStartedText(), Prompter::Kind::Warning);
        return;
    }
    if (!m_program.prompter().confirm(
            QStringLiteral("選択した行のバックアップをいますぐ開始します。\r\nよろしいですか？")))
        return;
    const QDateTime now = m_program.clock().now();
    QString error;
    shared::JobFileResult result;
    try {
        // Computed from the job as the file holds it now: the service may have moved it.
        result = shared::changeJobInFile(
            m_program.jobTable(), shared::jobTablePath(m_program.installFolder()), row + 1,
            m_grid->item(row, NameColumn)->text(),
            [&now](shared::TMlb2 &job) { shared::moveToRunNow(job, now); }, &error);
    } catch (const shared::Exception &failure) {
        // A schedule edited by hand that does not compute: nothing is written.
        m_program.prompter().message(
            QStringLiteral("次回バックアップ時間を計算できませんでした。\r\n") + failure.message(),
            Prompter::Kind::Error);
        return;
    }
    if (reportFileResult(int(result), error))
        load();
}

void TListPage::restoreJob()
{
    const int row = currentJobRow();
    shared::TMlb2 &table = m_program.jobTable();
    if (row < 0 || !table.GoToRecord(row + 1))
        return;
    restore::JobLocation job;
    try {
        job = restore::JobLocation::fromJobRow(table, m_program.installFolder());
    } catch (const shared::Exception &e) {
        m_program.prompter().message(e.message(), Prompter::Kind::Error);
        return;
    }
    QString temporary =
        m_program.settings().ReadValue(QStringLiteral("Option"), QStringLiteral("TmpFolder"), {});
    if (temporary.isEmpty())
        temporary = platform::defaultTempFolder();
    auto *dialog = new TFrmRestore(job, m_program.prompter(), temporary, QDir::homePath(), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
}

} // namespace norvex::config
