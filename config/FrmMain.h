#pragma once

#include "config/Program.h"

#include <QMainWindow>
#include <array>
#include <memory>

class QStackedWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace norvex::shared {
class SystemClock;
}

namespace norvex::config {

class TFrmSelect;
class TListPage;
class TPage;
class TServiceButton;

// The main window: the navigation tree TreEnv, the service area, the page area and the
// main menu. It owns the program-wide state and wires the pages together; each page is its
// own class.
class TFrmMain : public QMainWindow, public Program
{
    Q_OBJECT

public:
    // Tests pass their prompter, clock and a private registry folder of the built-in
    // service manager; by default the real dialogs, the system clock and the platform's
    // service manager are used.
    explicit TFrmMain(Prompter *prompter = nullptr, const shared::Clock *clock = nullptr,
                      const QString &serviceRegistry = QString(), QWidget *parent = nullptr);
    ~TFrmMain() override;

    // The tree's nine nodes.
    static constexpr int NodeCount = 9;
    static constexpr int ChangeDeleteNode = 6;
    static constexpr int AddNode = 5;
    // No node highlighted (the change page).
    static constexpr int NoNode = -1;

    QString installFolder() const override { return m_folder; }
    shared::TMlb2 &jobTable() override;
    shared::TMlb2 &logTable() override;
    shared::TIniFileCompo &settings() override;
    bool backupInProgress() const override { return m_inProgress; }
    void setBackupInProgress(bool on) override { m_inProgress = on; }
    int editedJobNumber() const override { return m_editedJob; }
    void setEditedJobNumber(int number) override { m_editedJob = number; }
    void showPage(Page page) override;
    Page currentPage() const override;
    void backToList(int selectRow = -1) override;
    void closeMainWindow() override { close(); }
    bool serviceButtonPressed() const override;
    int queryServiceState() override;
    Prompter &prompter() override { return *m_prompter; }
    const shared::Clock &clock() const override { return *m_clock; }
    transfer::TSshSFtp &sftp() override;
    transfer::TSshKey &sshKey() override;
    transfer::TFtpClient &ftp() override;

    // Moves the tree's highlight (NoNode: none) without navigating.
    void quietHighlight(int node);
    // What a menu item or link does: selects a node, which navigates as a selection change
    // does; the node already highlighted is no change.
    void selectNode(int node);
    // The node highlighted while a page is shown.
    static int nodeOfPage(Page page);
    static Page pageOfNode(int node);

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Owned;

    void buildTree();
    void buildMenu();
    TPage *createWorkPage(Page page);
    // Makes a page current and runs its show action once attached.
    void switchTo(Page page);
    void TreEnvChange(QTreeWidgetItem *current);
    void TreEnvClick(QTreeWidgetItem *item);
    void firstShowing();
    void reportUnreadableFiles();

    QString m_folder;
    std::unique_ptr<Owned> m_owned;
    Prompter *m_prompter;
    const shared::Clock *m_clock;
    bool m_inProgress = false;
    int m_editedJob = 0;
    bool m_shown = false;
    bool m_showActionsAttached = false;
    int m_selectionSuspended = 0;
    int m_clickSuspended = 0;
    QTreeWidgetItem *m_itemAtPress = nullptr;
    QStringList m_startupProblems;

    QTreeWidget *m_tree;
    QStackedWidget *m_pages;
    std::array<QTreeWidgetItem *, NodeCount> m_nodes{};
    std::array<TPage *, 9> m_pageWidgets{};
    TFrmSelect *m_select = nullptr;
    TListPage *m_listPage = nullptr;
    TServiceButton *m_service = nullptr;
};

} // namespace norvex::config
