#include "MainWindowFixture.h"
#include "config/LinkLabel.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
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

    // What Tab can reach in `page`, by lines from the top (a widget whose middle lies within
    // the first widget of a line belongs to it), each line left to right.
    static QList<QWidget *> readingOrder(QWidget *page)
    {
        struct Placed
        {
            QWidget *widget;
            QRect rect;
        };
        QList<Placed> all;
        for (QWidget *w : page->findChildren<QWidget *>()) {
            // Of a set of exclusive choices, Tab visits the chosen one only.
            const auto *radio = qobject_cast<QRadioButton *>(w);
            if (radio && !radio->isChecked() &&
                (radio->autoExclusive() || (radio->group() && radio->group()->exclusive())))
                continue;
            if ((w->focusPolicy() & Qt::TabFocus) && w->isVisible() && w->isEnabled() &&
                !w->focusProxy())
                all.append({w, QRect(w->mapTo(page, QPoint()), w->size())});
        }
        std::sort(all.begin(), all.end(),
                  [](const Placed &a, const Placed &b) { return a.rect.top() < b.rect.top(); });
        QList<QWidget *> order;
        while (!all.isEmpty()) {
            const QRect first = all.first().rect;
            QList<Placed> line;
            for (qsizetype i = 0; i < all.size();) {
                const int middle = all[i].rect.center().y();
                if (middle >= first.top() && middle <= first.bottom())
                    line.append(all.takeAt(i));
                else
                    ++i;
            }
            std::sort(line.begin(), line.end(), [](const Placed &a, const Placed &b) {
                return a.rect.left() < b.rect.left();
            });
            for (const Placed &p : line)
                order.append(p.widget);
        }
        return order;
    }
    static QStringList names(const QList<QWidget *> &widgets)
    {
        QStringList out;
        for (QWidget *w : widgets)
            out << (w ? w->objectName() + QLatin1Char(':') + w->metaObject()->className()
                      : QStringLiteral("none"));
        return out;
    }

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
        QCOMPARE(f->highlightedNode(), -1); // no node is the change page's own
        QVERIFY(f->find<QTreeWidget>("TreEnv")->selectedItems().isEmpty());
        f->clickNode(4);
        QCOMPARE(f->currentPage(), QStringLiteral("TabBackEnv"));
    }

    // The add and change pages name themselves, so the two never look alike.
    void editorPagesShowTheirHeadings_data()
    {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("heading");
        QTest::newRow("add") << int(Page::AddBackUp) << "バックアップ設定追加";
        QTest::newRow("change") << int(Page::EditBackUp) << "バックアップ設定変更";
    }
    void editorPagesShowTheirHeadings()
    {
        QFETCH(int, page);
        QFETCH(QString, heading);
        writeJobs({Job{QStringLiteral("A")}});
        config::TFrmMain &window = f->open();
        window.setEditedJobNumber(1);
        window.showPage(Page(page));
        QStringList bold;
        for (QLabel *label :
             f->find<QStackedWidget>("PagMain")->currentWidget()->findChildren<QLabel *>())
            if (label->isVisible() && label->font().bold())
                bold << label->text();
        QCOMPARE(bold, QStringList{heading});
        QVERIFY(f->prompts.shown.isEmpty());
    }

    // The tree never collapses: nothing is drawn beside a node that has children.
    void treeDrawsNoExpandArrows()
    {
        f->open();
        QTreeWidget *tree = f->find<QTreeWidget>("TreEnv");
        const QImage image = tree->viewport()->grab().toImage();
        const QColor base = tree->palette().color(QPalette::Base);
        for (int number : {1, 4}) {
            const QRect item = tree->visualItemRect(f->node(number));
            QVERIFY(item.left() > 0);
            for (int y = item.top(); y <= item.bottom(); ++y)
                for (int x = 0; x < item.left(); ++x)
                    QVERIFY2(
                        image.pixelColor(x, y) == base,
                        qPrintable(QStringLiteral("node %1 at %2,%3").arg(number).arg(x).arg(y)));
        }
    }

    // Tab from the tree: the service button below it, then the page's inputs in reading
    // order (line by line from the top, left to right), then back to the tree.
    void tabFollowsTheReadingOrder_data()
    {
        QTest::addColumn<int>("page");
        QTest::addColumn<int>("kind"); // destination sub-page of the editor pages
        const int pages[] = {int(Page::Top),    int(Page::Disp),    int(Page::List),
                             int(Page::Log),    int(Page::BackEnv), int(Page::AddBackUp),
                             int(Page::Option), int(Page::Help),    int(Page::EditBackUp)};
        for (int page : pages) {
            const bool editor = page == int(Page::AddBackUp) || page == int(Page::EditBackUp);
            for (int kind = 0; kind < (editor ? 3 : 1); ++kind)
                QTest::addRow("page %d kind %d", page, kind) << page << kind;
        }
    }
    void tabFollowsTheReadingOrder()
    {
        QFETCH(int, page);
        QFETCH(int, kind);
        writeJobs({Job{QStringLiteral("A")}});
        config::TFrmMain &window = f->open();
        QApplication::setActiveWindow(&window);
        QVERIFY(QTest::qWaitForWindowActive(&window));
        window.setEditedJobNumber(1);
        window.showPage(Page(page));
        QWidget *shown = f->find<QStackedWidget>("PagMain")->currentWidget();
        if (auto *destination = shown->findChild<QComboBox *>(
                page == int(Page::EditBackUp) ? "CmbModToBackUp" : "CmbToBackUp"))
            destination->setCurrentIndex(kind);
        if (auto *option = shown->findChild<QCheckBox *>("ChkTmpFolder"))
            option->setChecked(true);
        if (auto *grid = shown->findChild<QTableWidget *>("GrdList"))
            grid->setCurrentCell(0, 0);

        QList<QWidget *> expected = {f->find<QWidget>("TreEnv"), f->find<QWidget>("BotService")};
        expected += readingOrder(shown);
        QList<QWidget *> walked = {expected.first()};
        expected.first()->setFocus(Qt::TabFocusReason);
        for (int step = 0; step < 60; ++step) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            if (QApplication::focusWidget() == walked.first())
                break;
            // Tab walks a time input's sections before it leaves it.
            if (QApplication::focusWidget() != walked.last())
                walked << QApplication::focusWidget();
        }
        QVERIFY2(walked == expected,
                 qPrintable(QStringLiteral("walked %1\nreading %2")
                                .arg(names(walked).join(' '), names(expected).join(' '))));
    }

    // Return or Enter on a focused push button presses it; elsewhere it is OK. Escape is
    // Cancel. The editor pages and the options page alike.
    void enterAndEscapeOnPages_data()
    {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("focus");
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("after"); // the page shown afterwards
        QTest::addColumn<QString>("shown"); // the message, question or dialog it led to
        const int add = int(Page::AddBackUp), option = int(Page::Option);
        const QString required = QStringLiteral("バックアップ名称は必須項目です。");
        const QString save = QStringLiteral("オプション設定を保存します。");
        QTest::newRow("add: Return in a field is OK")
            << add << "EdtBackUpName" << int(Qt::Key_Return) << "TabAddBackUp" << required;
        QTest::newRow("add: Return on Cancel")
            << add << "BotCancel" << int(Qt::Key_Return) << "TabList"
            << "";
        QTest::newRow("add: Enter on the key's browse button")
            << add << "BotSFTPKey" << int(Qt::Key_Enter) << "TabAddBackUp"
            << "秘密鍵の選択";
        QTest::newRow("add: Escape") << add << "EdtSFTPHost" << int(Qt::Key_Escape) << "TabList"
                                     << "";
        QTest::newRow("options: Return on the check box is OK")
            << option << "ChkTmpFolder" << int(Qt::Key_Return) << "TabOption" << save;
        QTest::newRow("options: Return on Cancel")
            << option << "BotOptionCancel" << int(Qt::Key_Return) << "TabList"
            << "";
        QTest::newRow("options: Escape")
            << option << "ChkTmpFolder" << int(Qt::Key_Escape) << "TabList"
            << "";
        QTest::newRow("options: Return in the notification command is OK")
            << option << "EdtNotifyCommand" << int(Qt::Key_Return) << "TabOption" << save;
        QTest::newRow("options: Return on the test button tests")
            << option << "BotNotifyTest" << int(Qt::Key_Return) << "TabOption"
            << "通知コマンドを入力してください。";
        QTest::newRow("options: Escape in the notification command")
            << option << "EdtNotifyCommand" << int(Qt::Key_Escape) << "TabList"
            << "";
    }
    void enterAndEscapeOnPages()
    {
        QFETCH(int, page);
        QFETCH(QString, focus);
        QFETCH(int, key);
        QFETCH(QString, after);
        QFETCH(QString, shown);
        config::TFrmMain &window = f->open();
        QApplication::setActiveWindow(&window);
        QVERIFY(QTest::qWaitForWindowActive(&window));
        window.showPage(Page(page));
        f->prompts.answers << false;
        QWidget *target =
            f->find<QStackedWidget>("PagMain")->currentWidget()->findChild<QWidget *>(focus);
        target->setFocus(Qt::TabFocusReason);
        QCOMPARE(QApplication::focusWidget(), target);
        QTest::keyClick(target, Qt::Key(key));
        QCOMPARE(f->currentPage(), after);
        const QStringList seen = f->prompts.texts() + f->prompts.dialogTitles;
        if (shown.isEmpty())
            QCOMPARE(seen, QStringList());
        else
            QVERIFY2(seen.size() == 1 && seen.first().startsWith(shown),
                     qPrintable(seen.join('|')));
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
