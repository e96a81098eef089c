#pragma once

#include "config/Page.h"

class QAction;
class QMenu;
class QTableWidget;
class QToolButton;

namespace norvex::config {

class Program;

// The job list page (TabList): every job of the job table in the grid GrdList, the toolbar
// and the context menu PopGrdList. Each load also decides whether a backup is in progress
// and locks the page while one is.
class TListPage : public TPage
{
    Q_OBJECT

public:
    explicit TListPage(Program &program, QWidget *parent = nullptr);

    // Load: the show action.
    void showAction() override { load(); }
    void load();
    // Makes a grid row current (after a saved change).
    void selectRow(int row);
    // Paints the row colours again (they follow the service button).
    void repaintRows();

    // The grid shows at least this many rows; more jobs get more rows.
    static constexpr int MinimumRows = 25;

private:
    QToolButton *toolButton(const QString &name, const QString &hint, int icon);
    void fillGrid();
    bool rowHoldsJob(int row) const;
    int currentJobRow() const;
    void applyRowRule();
    void updatePopupItems();

    void open();
    void edit();
    void add();
    void deleteJob();
    void runNow();
    // The message for a change of the job table file that did not save; false then.
    bool reportFileResult(int result, const QString &error);

    Program &m_program;
    QTableWidget *m_grid;
    QToolButton *m_renew, *m_add, *m_edit, *m_del, *m_backUp, *m_exit;
    QMenu *m_popup;
    QAction *m_menDel, *m_menMod, *m_menAdd, *m_menBackUp;
};

} // namespace norvex::config
