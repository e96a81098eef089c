#include "MainWindowFixture.h"
#include "config/LinkLabel.h"

#include <QAction>
#include <QDesktopServices>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QUrl>

using namespace norvex;
using namespace norvex::testing;
using config::Page;

// Stands in for the desktop's handler of file addresses.
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    QStringList opened;

public slots:
    void open(const QUrl &url) { opened << url.toLocalFile(); }
};

class NavigationTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindowFixture> f;

private slots:
    void init()
    {
        f = std::make_unique<MainWindowFixture>();
        f->registerService();
    }
    void cleanup() { f.reset(); }

    void startsOnTheListWithTheServiceState()
    {
        config::TFrmMain &window = f->open();
        QCOMPARE(window.windowTitle(), QStringLiteral("ノルベクス Ver1.00"));
        QVERIFY(!window.windowIcon().isNull());
        QCOMPARE(window.minimumSize(), window.maximumSize());
        QCOMPARE(f->node(0)->text(0), QStringLiteral("Norvex"));
        QCOMPARE(f->currentPage(), QStringLiteral("TabList"));
        QCOMPARE(f->highlightedNode(), 2);
        auto *button = f->find<QPushButton>("BotService");
        QCOMPARE(button->text(), QStringLiteral("停止"));
        QVERIFY(!button->isChecked());
        QVERIFY(f->prompts.shown.isEmpty());
    }

    // A failing first state query is reported; the window still works: the show actions
    // are attached (the options page reads the settings when shown).
    void failingStateQueryLeavesAWorkingWindow()
    {
        f = std::make_unique<MainWindowFixture>(); // nothing registered
        QFile ini(home() + QStringLiteral("Norvex.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[Option]\r\nTmpFolder=/var/tmp/x\r\n");
        ini.close();
        f->open();
        QCOMPARE(f->prompts.texts(),
                 QStringList{QStringLiteral(
                     "指定されたサービスはインストールされたサービスとして存在しません。")});
        QCOMPARE(f->find<QPushButton>("BotService")->text(), QStringLiteral("停止"));
        f->clickNode(7);
        QCOMPARE(f->currentPage(), QStringLiteral("TabOption"));
        QCOMPARE(f->find<QLineEdit>("EdtTmpFolder")->text(), QStringLiteral("/var/tmp/x"));
    }

    void unreadableJobTableIsReportedOnce()
    {
        QDir().mkpath(jobPath()); // a folder where the file should be
        f->open();
        QCOMPARE(f->prompts.shown.size(), 1);
        QVERIFY2(f->prompts.lastText().contains(jobPath()), qPrintable(f->prompts.lastText()));
        QVERIFY(f->prompts.lastText().contains(QStringLiteral("directory"), Qt::CaseInsensitive));
        f->find<QToolButton>("BotRenew")->click();
        QCOMPARE(f->prompts.shown.size(), 1);
    }

    void treeNodesShowTheirPages_data()
    {
        QTest::addColumn<int>("node");
        QTest::addColumn<QString>("page");
        const char *pages[] = {"TabTop",       "TabDisp", "TabList",   "TabLog", "TabBackEnv",
                               "TabAddBackUp", "TabList", "TabOption", "TabHelp"};
        for (int node = 0; node < 9; ++node)
            QTest::addRow("node %d", node) << node << QString::fromLatin1(pages[node]);
    }
    void treeNodesShowTheirPages()
    {
        QFETCH(int, node);
        QFETCH(QString, page);
        f->open();
        f->clickNode(node == 0 ? 8 : 0);
        f->clickNode(node);
        QCOMPARE(f->currentPage(), page);
        QCOMPARE(f->highlightedNode(), node);
    }

    void menuItemsAndLinksSelectNodes_data()
    {
        QTest::addColumn<QString>("widget");
        QTest::addColumn<QString>("page");
        QTest::addColumn<int>("node");
        QTest::newRow("menu list") << "MenList"
                                   << "TabList" << 2;
        QTest::newRow("menu log") << "MenLog"
                                  << "TabLog" << 3;
        QTest::newRow("menu add") << "MenAdd"
                                  << "TabAddBackUp" << 5;
        QTest::newRow("menu change") << "MenChange"
                                     << "TabList" << 6;
        QTest::newRow("menu options") << "MenOption"
                                      << "TabOption" << 7;
        QTest::newRow("menu help") << "MenHelp"
                                   << "TabHelp" << 8;
        QTest::newRow("menu version") << "MenVersion"
                                      << "TabTop" << 0;
        QTest::newRow("link list") << "Lnk2"
                                   << "TabList" << 2;
        QTest::newRow("link log") << "Lnk3"
                                  << "TabLog" << 3;
        QTest::newRow("link change") << "Lnk6"
                                     << "TabList" << 6;
        QTest::newRow("link add") << "Lnk5"
                                  << "TabAddBackUp" << 5;
    }
    // Also while the change page is shown: every menu item still navigates there.
    void menuItemsAndLinksSelectNodes()
    {
        QFETCH(QString, widget);
        QFETCH(QString, page);
        QFETCH(int, node);
        config::TFrmMain &window = f->open();
        const QByteArray name = widget.toLatin1();
        const bool menu = widget.startsWith(QLatin1String("Men"));
        for (bool fromChangePage : {false, true}) {
            if (fromChangePage && !menu)
                break;
            window.selectNode(node == 2 ? 7 : 2);
            if (fromChangePage)
                window.showPage(Page::EditBackUp);
            if (menu) {
                f->find<QAction>(name.constData())->trigger();
            } else {
                window.selectNode(node == 2 || node == 3 ? 1 : 4);
                auto *link = f->find<config::TLinkLabel>(name.constData());
                QVERIFY(link->isVisible());
                QTest::mouseClick(link, Qt::LeftButton);
            }
            QCOMPARE(f->currentPage(), page);
            QCOMPARE(f->highlightedNode(), node);
        }
    }

    void inProgressRefusesAddAndChange()
    {
        config::TFrmMain &window = f->open();
        window.setBackupInProgress(true);
        const QString refusal =
            QStringLiteral("バックアップ処理中のため設定の追加、変更、削除を行うことはできません。"
                           "\r\nバックアップ処理が終了するまでお待ちください。");
        f->clickNode(7);
        for (int node : {5, 6}) {
            f->clickNode(node);
            QCOMPARE(f->currentPage(), QStringLiteral("TabOption"));
            QCOMPARE(f->highlightedNode(), node);
            QCOMPARE(f->prompts.lastText(), refusal);
            f->clickNode(7);
        }
        f->find<QAction>("MenAdd")->trigger();
        QCOMPARE(f->currentPage(), QStringLiteral("TabOption"));
        QCOMPARE(f->prompts.shown.size(), 3);
        f->clickNode(8);
        QCOMPARE(f->currentPage(), QStringLiteral("TabHelp"));
    }

    // After a programmatic switch, a click on the highlighted node shows its page again;
    // a menu item for it does not (no change of selection).
    void clickOnTheHighlightedNodeShowsItsPageAgain()
    {
        config::TFrmMain &window = f->open();
        f->clickNode(7);
        window.showPage(Page::Help); // highlight moves to 8
        window.quietHighlight(7);
        f->find<QAction>("MenOption")->trigger();
        QCOMPARE(f->currentPage(), QStringLiteral("TabHelp"));
        f->clickNode(7);
        QCOMPARE(f->currentPage(), QStringLiteral("TabOption"));
        window.showPage(Page::EditBackUp);
        QCOMPARE(f->highlightedNode(), 4);
        f->clickNode(4);
        QCOMPARE(f->currentPage(), QStringLiteral("TabBackEnv"));
    }

    void picturesAndManualOpenWithTheShell()
    {
        UrlRecorder recorder;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &recorder, "open");
        f->open();
        f->clickNode(8);
        QTest::mouseClick(f->find<QWidget>("LblManual"), Qt::LeftButton);
        QTest::mouseClick(f->find<QWidget>("ImgReader"), Qt::LeftButton);
        f->clickNode(0);
        QTest::mouseClick(f->find<QWidget>("ImgTop"), Qt::LeftButton);
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(recorder.opened,
                 (QStringList{home() + "norvex1_0usersmanual.pdf", home() + "web/pdf-reader.html",
                              home() + "web/norvex.html"}));
    }
};

QTEST_MAIN(NavigationTest)
#include "NavigationTest.moc"
