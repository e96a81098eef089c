#include "config/FrmMain.h"

#include "config/FrmSelect.h"
#include "config/HelpPage.h"
#include "config/JobEditor.h"
#include "config/ListPage.h"
#include "config/LogPage.h"
#include "config/NorvexIcon.h"
#include "config/OptionPage.h"
#include "config/OverviewPage.h"
#include "config/Page.h"
#include "config/Prompter.h"
#include "config/ServiceButton.h"
#include "config/ServiceCommands.h"
#include "config/SrvCtrl.h"
#include "config/TopPage.h"
#include "platform/Paths.h"
#include "shared/Clock.h"
#include "shared/IniFileCompo.h"
#include "shared/JobTable.h"
#include "shared/mlb2.h"
#include "transfer/FtpCli.h"
#include "transfer/SshKey.h"
#include "transfer/SshSFtp.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace norvex::config {

namespace {

constexpr int ListNode = 2;

// Suspends one of the tree's handlers for a scope, also when it is left by an exception.
class Suspend
{
public:
    explicit Suspend(int &count) : m_count(count) { ++m_count; }
    ~Suspend() { --m_count; }
    Suspend(const Suspend &) = delete;
    Suspend &operator=(const Suspend &) = delete;

private:
    int &m_count;
};

// Empty when the file is missing or can be read; otherwise the path and the reason.
QString readProblem(const QString &path)
{
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
        ::close(fd);
        return QFileInfo(path).isDir()
                   ? path + QStringLiteral(": ") + platform::systemErrorText(EISDIR)
                   : QString();
    }
    return errno == ENOENT ? QString()
                           : path + QStringLiteral(": ") + platform::systemErrorText(errno);
}

// The tree never collapses, so it draws no expand arrows.
class NavigationTree : public QTreeWidget
{
public:
    using QTreeWidget::QTreeWidget;

protected:
    void drawBranches(QPainter *, const QRect &, const QModelIndex &) const override {}
};

} // namespace

struct TFrmMain::Owned
{
    shared::TMlb2 jobs;
    shared::TMlb2 log;
    shared::TIniFileCompo settings;
    TSrvCtrl srvCtrl;
    shared::SystemClock systemClock;
    std::unique_ptr<QtPrompter> qtPrompter;
    transfer::TSshSFtp sftp;
    transfer::TSshKey key;
    transfer::TFtpClient ftp;
};

TFrmMain::TFrmMain(Prompter *prompter, const shared::Clock *clock, const QString &serviceRegistry,
                   QWidget *parent)
    : QMainWindow(parent), m_folder(platform::installFolder()), m_owned(std::make_unique<Owned>()),
      m_prompter(prompter), m_clock(clock), m_tree(new NavigationTree(this)),
      m_pages(new QStackedWidget(this))
{
    if (!m_prompter) {
        m_owned->qtPrompter = std::make_unique<QtPrompter>(this);
        m_prompter = m_owned->qtPrompter.get();
    }
    if (!m_clock)
        m_clock = &m_owned->systemClock;
    setUpSrvCtrl(m_owned->srvCtrl);
    m_owned->srvCtrl.SetRegistry(serviceRegistry);

    // The tables and files; what cannot be read is reported once, at the first showing.
    shared::setupJobTable(m_owned->jobs);
    m_owned->log.SetSeparator(QLatin1Char('\t'));
    const QString jobPath = shared::jobTablePath(m_folder);
    if (!shared::ensureJobTable(m_folder))
        m_startupProblems << jobPath + QStringLiteral(": ") + platform::systemErrorText(errno);
    if (QFileInfo::exists(jobPath) && !m_owned->jobs.LoadFromFile(jobPath))
        m_startupProblems << m_owned->jobs.LastError();
    m_owned->settings.SetFileName(QStringLiteral("Norvex.ini"));
    const QString settingsProblem = readProblem(m_owned->settings.Path());
    if (!settingsProblem.isEmpty())
        m_startupProblems << settingsProblem;
    m_startupProblems.removeDuplicates();

    setWindowTitle(QString::fromUtf8(ApplicationTitle));
    setWindowIcon(norvexIcon());
    buildTree();
    m_pages->setObjectName(QStringLiteral("PagMain"));
    m_listPage = new TListPage(*this, m_pages);
    auto *view = TOverviewPage::viewOverview(m_pages);
    auto *settingsView = TOverviewPage::settingsOverview(m_pages);
    for (TOverviewPage *overview : {view, settingsView})
        connect(overview, &TOverviewPage::nodeRequested, this, &TFrmMain::selectNode);
    m_pageWidgets[int(Page::Top)] = new TTopPage(*this, m_pages);
    m_pageWidgets[int(Page::Disp)] = view;
    m_pageWidgets[int(Page::List)] = m_listPage;
    m_pageWidgets[int(Page::Log)] = createWorkPage(Page::Log);
    m_pageWidgets[int(Page::BackEnv)] = settingsView;
    m_pageWidgets[int(Page::AddBackUp)] = createWorkPage(Page::AddBackUp);
    m_pageWidgets[int(Page::Option)] = new TOptionPage(*this, m_pages);
    m_pageWidgets[int(Page::Help)] = new THelpPage(*this, m_pages);
    m_pageWidgets[int(Page::EditBackUp)] = createWorkPage(Page::EditBackUp);
    for (TPage *page : m_pageWidgets)
        m_pages->addWidget(page);
    // The source selection dialog lives as long as the window; both editor pages open it.
    m_select = new TFrmSelect(*this, this);
    m_select->attachEditors(static_cast<TJobEditor *>(m_pageWidgets[int(Page::AddBackUp)]),
                            static_cast<TJobEditor *>(m_pageWidgets[int(Page::EditBackUp)]));

    m_service = new TServiceButton(
        *this, [this](const QString &command) { serviceCommand(m_owned->srvCtrl, command); },
        [this] { m_listPage->load(); }, this);
    connect(m_service, &TServiceButton::lookChanged, m_listPage, &TListPage::repaintRows);

    auto *left = new QVBoxLayout;
    left->addWidget(m_tree, 1);
    left->addWidget(m_service);
    auto *central = new QWidget(this);
    auto *layout = new QHBoxLayout(central);
    layout->addLayout(left);
    layout->addWidget(m_pages, 1);
    setCentralWidget(central);
    buildMenu();
    // The left column is read first: the tree, then the service button below it.
    setTabOrder(m_tree, m_service->findChild<QPushButton *>(QStringLiteral("BotService")));

    setFixedSize(1340, 700);
    if (const QScreen *screen = this->screen()) {
        QRect frame(QPoint(), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

TFrmMain::~TFrmMain() = default;

// ---- Pages built elsewhere ---------------------------------------------------------
// The event log page and the job editor's add and change pages.
TPage *TFrmMain::createWorkPage(Page page)
{
    switch (page) {
    case Page::Log:
        return new TLogPage(*this, m_pages);
    case Page::AddBackUp:
        return new TJobEditor(*this, false, m_pages);
    default:
        return new TJobEditor(*this, true, m_pages);
    }
}
// ------------------------------------------------------------------------------------

void TFrmMain::buildTree()
{
    struct Node
    {
        const char *caption;
        int parent;
        QStyle::StandardPixmap icon;
    };
    static const Node nodes[NodeCount] = {
        {"Norvex", -1, QStyle::SP_ComputerIcon},
        {"表示", 0, QStyle::SP_DirOpenIcon},
        {"バックアップ設定一覧", 1, QStyle::SP_FileDialogDetailedView},
        {"ログ", 1, QStyle::SP_FileDialogContentsView},
        {"バックアップ設定", 0, QStyle::SP_DirIcon},
        {"設定追加", 4, QStyle::SP_FileDialogNewFolder},
        {"設定変更・削除", 4, QStyle::SP_FileDialogListView},
        {"オプション", 0, QStyle::SP_FileDialogInfoView},
        {"ヘルプ", 0, QStyle::SP_DialogHelpButton},
    };
    m_tree->setObjectName(QStringLiteral("TreEnv"));
    m_tree->setAccessibleName(QStringLiteral("メニュー"));
    m_tree->setHeaderHidden(true);
    m_tree->setColumnCount(1);
    m_tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_tree->setFixedWidth(210);
    for (int number = 0; number < NodeCount; ++number) {
        const Node &node = nodes[number];
        auto *item = node.parent < 0 ? new QTreeWidgetItem(m_tree)
                                     : new QTreeWidgetItem(m_nodes[node.parent]);
        item->setText(0, QString::fromUtf8(node.caption));
        item->setIcon(0, style()->standardIcon(node.icon));
        item->setData(0, Qt::UserRole, number);
        m_nodes[number] = item;
    }
    m_tree->expandAll();
    // The tree never collapses: every node stays reachable.
    m_tree->setItemsExpandable(false);
    m_tree->setRootIsDecorated(false);
    m_tree->viewport()->installEventFilter(this);
    connect(m_tree, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem *current) { TreEnvChange(current); });
    connect(m_tree, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem *item) { TreEnvClick(item); });
}

void TFrmMain::buildMenu()
{
    QMenuBar *bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu1"));
    auto item = [this](QMenu *menu, const char *name, const char *caption, int node) {
        QAction *action = menu->addAction(QString::fromUtf8(caption));
        action->setObjectName(QLatin1String(name));
        if (node < 0)
            connect(action, &QAction::triggered, this, &QWidget::close);
        else
            connect(action, &QAction::triggered, this, [this, node] { selectNode(node); });
    };
    QMenu *file = bar->addMenu(QStringLiteral("ファイル"));
    item(file, "MenExit", "終了", -1);
    QMenu *view = bar->addMenu(QStringLiteral("表示"));
    item(view, "MenList", "バックアップ一覧", 2);
    item(view, "MenLog", "バックアップログ", 3);
    QMenu *settingsMenu = bar->addMenu(QStringLiteral("設定"));
    item(settingsMenu, "MenAdd", "バックアップ設定追加", 5);
    item(settingsMenu, "MenChange", "バックアップ設定変更・削除", 6);
    QAction *options = bar->addAction(QStringLiteral("オプション"));
    options->setObjectName(QStringLiteral("MenOption"));
    connect(options, &QAction::triggered, this, [this] { selectNode(7); });
    QMenu *help = bar->addMenu(QStringLiteral("ヘルプ"));
    item(help, "MenHelp", "ヘルプ", 8);
    item(help, "MenVersion", "バージョン情報", 0);
}

shared::TMlb2 &TFrmMain::jobTable()
{
    return m_owned->jobs;
}

shared::TMlb2 &TFrmMain::logTable()
{
    return m_owned->log;
}

shared::TIniFileCompo &TFrmMain::settings()
{
    return m_owned->settings;
}

transfer::TSshSFtp &TFrmMain::sftp()
{
    return m_owned->sftp;
}

transfer::TSshKey &TFrmMain::sshKey()
{
    return m_owned->key;
}

transfer::TFtpClient &TFrmMain::ftp()
{
    return m_owned->ftp;
}

bool TFrmMain::serviceButtonPressed() const
{
    return m_service->pressed();
}

int TFrmMain::queryServiceState()
{
    return serviceStateQuery(m_owned->srvCtrl);
}

int TFrmMain::nodeOfPage(Page page)
{
    // The change page has no node of its own, and any node highlighted would name another
    // page; with none highlighted, every menu item still navigates from it.
    static const int nodes[] = {0, 1, 2, 3, 4, 5, 7, 8, NoNode};
    return nodes[int(page)];
}

Page TFrmMain::pageOfNode(int node)
{
    static const Page pages[NodeCount] = {Page::Top,  Page::Disp,    Page::List,
                                          Page::Log,  Page::BackEnv, Page::AddBackUp,
                                          Page::List, Page::Option,  Page::Help};
    return pages[node];
}

void TFrmMain::switchTo(Page page)
{
    TPage *widget = m_pageWidgets[int(page)];
    m_pages->setCurrentWidget(widget);
    if (m_showActionsAttached || page == Page::List)
        widget->showAction();
    const char *field = page == Page::AddBackUp    ? "EdtBackUpName"
                        : page == Page::EditBackUp ? "EdtModBackUpName"
                                                   : nullptr;
    if (field)
        if (QWidget *input = widget->findChild<QWidget *>(QLatin1String(field)))
            input->setFocus();
}

void TFrmMain::showPage(Page page)
{
    switchTo(page);
    quietHighlight(nodeOfPage(page));
}

Page TFrmMain::currentPage() const
{
    for (int i = 0; i < int(m_pageWidgets.size()); ++i)
        if (m_pageWidgets[i] == m_pages->currentWidget())
            return Page(i);
    return Page::List;
}

void TFrmMain::backToList(int selectRow)
{
    showPage(Page::List);
    if (selectRow >= 0)
        m_listPage->selectRow(selectRow);
}

void TFrmMain::quietHighlight(int node)
{
    Suspend suspended(m_selectionSuspended);
    m_tree->setCurrentItem(node == NoNode ? nullptr : m_nodes[node]);
}

void TFrmMain::selectNode(int node)
{
    if (m_tree->currentItem() != m_nodes[node])
        m_tree->setCurrentItem(m_nodes[node]);
}

void TFrmMain::TreEnvChange(QTreeWidgetItem *current)
{
    if (m_selectionSuspended || !current)
        return;
    Suspend suspended(m_clickSuspended);
    const int node = current->data(0, Qt::UserRole).toInt();
    if (m_inProgress && (node == AddNode || node == ChangeDeleteNode)) {
        prompter().message(
            QStringLiteral("バックアップ処理中のため設定の追加、変更、削除を行うことはできません。"
                           "\r\nバックアップ処理が終了するまでお待ちください。"),
            Prompter::Kind::Warning);
        return;
    }
    switchTo(pageOfNode(node));
}

void TFrmMain::TreEnvClick(QTreeWidgetItem *item)
{
    // A click that changed the selection was handled as the change; only a click on the
    // node already highlighted shows its page again.
    if (m_clickSuspended || !item || item != m_itemAtPress)
        return;
    Suspend suspended(m_selectionSuspended);
    switchTo(pageOfNode(item->data(0, Qt::UserRole).toInt()));
}

bool TFrmMain::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_tree->viewport() && event->type() == QEvent::MouseButtonPress)
        m_itemAtPress = m_tree->currentItem();
    return QMainWindow::eventFilter(watched, event);
}

void TFrmMain::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (!m_shown) {
        m_shown = true;
        firstShowing();
    }
}

void TFrmMain::firstShowing()
{
    switchTo(Page::List);
    quietHighlight(ListNode);
    reportUnreadableFiles();
    m_service->showInitialState(!m_listPage->stateFailureShown());
    m_showActionsAttached = true;
}

void TFrmMain::reportUnreadableFiles()
{
    if (m_startupProblems.isEmpty())
        return;
    prompter().message(QStringLiteral("次のファイルを読み込めませんでした。\r\n") +
                           m_startupProblems.join(QStringLiteral("\r\n")),
                       Prompter::Kind::Error);
}

} // namespace norvex::config
