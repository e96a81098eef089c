#pragma once

#include "config/Page.h"
#include "shared/LogReader.h"

class QCheckBox;
class QComboBox;
class QTableView;
class QTimer;
class QToolButton;

namespace norvex::config {

template <class View>
class FooterGrid;

class LogGridModel;
class Program;
class TFrmLog;

// The event log page (TabLog): the service's log entries of the chosen period, newest
// first, refreshed every 10 seconds while automatic update is ticked. The refresh timer
// runs from construction, whichever page is current; only the check box switches it.
class TLogPage : public TPage
{
    Q_OBJECT

public:
    explicit TLogPage(Program &program, QWidget *parent = nullptr);
    ~TLogPage() override;

    // Switches the timer by the check box, then reloads.
    void showAction() override;
    // Reads the log files of the chosen period into the log table and the grid. The grid
    // keeps its current row and scroll position; when no file changed nothing moves.
    void reload();

private:
    void CmbFilterChange();
    void ToolButton1Click();
    void ChkLogReloadClick();
    void TimLogReloadTimer();
    void GrdLogDblClick(int row);

    void switchTimer();

    Program &m_program;
    shared::LogReader m_reader;
    QComboBox *m_filter = nullptr;
    QToolButton *m_refresh = nullptr;
    QCheckBox *m_autoReload = nullptr;
    FooterGrid<QTableView> *m_grid = nullptr;
    LogGridModel *m_model = nullptr;
    QTimer *m_timer = nullptr;
    TFrmLog *m_frmLog = nullptr;
};

} // namespace norvex::config
