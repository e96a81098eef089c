#pragma once

#include "config/Page.h"
#include "shared/ListStatus.h"

#include <QIcon>

#include <vector>

class QAction;
class QMenu;
class QTableWidget;
class QTimer;
class QToolButton;

namespace norvex::shared {
struct RunStatusRecord;
}

namespace norvex::config {

class Program;

// The job list page (TabList): every job of the job table in the grid GrdList, the toolbar
// and the context menu PopGrdList. Each load also decides whether a backup is in progress
// and locks the page while one is. The last two columns show each job's last result and
// last success from the run status record.
class TListPage : public TPage
{
    Q_OBJECT

public:
    explicit TListPage(Program &program, QWidget *parent = nullptr);

    // Load: the show action.
    // A failed service state query is shown once per showing of the list.
    void showAction() override;
    void load();
    // Makes a grid row current (after a saved change).
    void selectRow(int row);
    // Paints the row colours again (they follow the service button).
    void repaintRows();
    // The result and last-success columns from the run status record as it is now; every
    // 2 seconds while the page is shown.
    void refreshStatus();

    // Whether this showing of the list has shown a failed service state query.
    bool stateFailureShown() const { return m_stateFailureShown; }

    // The grid shows at least this many rows; more jobs get more rows.
    static constexpr int MinimumRows = 25;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void fitSourcesColumn();
    QToolButton *toolButton(const QString &name, const QString &hint, int icon);
    void fillGrid();
    void refreshStatus(const shared::RunStatusRecord &record);
    bool rowHoldsJob(int row) const;
    int currentJobRow() const;
    void applyRowRule();
    void updatePopupItems();

    void open();
    void edit();
    void add();
    void deleteJob();
    void runNow();
    // Opens the restore dialog of the selected job; a restore changes no job, so it is
    // offered whatever the service is doing.
    void restoreJob();
    // The message for a change of the job table file that did not save; false then.
    bool reportFileResult(int result, const QString &error);

    Program &m_program;
    QTableWidget *m_grid;
    QToolButton *m_renew, *m_add, *m_edit, *m_del, *m_backUp, *m_restore, *m_exit;
    QMenu *m_popup;
    QTimer *m_statusTimer;
    QIcon m_warningIcon;
    // What each job row needs to look up and judge its status, and what it shows, so
    // that a refresh touches only the cells that changed.
    struct RowJob
    {
        QString name;
        int interval = 0;
        QChar unit;
        shared::StatusCells shown;
    };
    std::vector<RowJob> m_rowJobs;
    QAction *m_menDel, *m_menMod, *m_menAdd, *m_menBackUp, *m_menRestore;
    bool m_stateFailureShown = false;
    bool m_userSizedColumns = false;
    bool m_fitting = false;
};

} // namespace norvex::config
