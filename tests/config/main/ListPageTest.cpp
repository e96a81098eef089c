#include "MainWindowFixture.h"
#include "config/ServiceButton.h"
#include "config/ServiceCommands.h"
#include "config/SrvCtrl.h"

#include <QAction>
#include <QHeaderView>
#include <QHelpEvent>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>
#include <QToolButton>
#include <QToolTip>
#include <cmath>

using namespace norvex;
using namespace norvex::testing;

class ListPageTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindowFixture> f;

    QTableWidget *grid() const { return f->find<QTableWidget>("GrdList"); }
    QString cell(int row, int column) const
    {
        QTableWidgetItem *item = grid()->item(row, column);
        return item ? item->text() : QString();
    }
    void clickRow(int row)
    {
        QTableWidget *g = grid();
        QTest::mouseClick(g->viewport(), Qt::LeftButton, {},
                          g->visualRect(g->model()->index(row, 0)).center());
        QCOMPARE(g->currentRow(), row);
    }
    void click(const char *button) { f->find<QToolButton>(button)->click(); }
    bool green(int row)
    {
        const QRect rect = grid()->visualRect(grid()->model()->index(row, 2));
        const QColor colour =
            grid()->viewport()->grab().toImage().pixelColor(rect.right() - 3, rect.center().y());
        return colour == QColor(0, 128, 0);
    }
    // WCAG contrast ratio between a cell's background and the colour of its text: the pixel
    // whose luminance lies furthest from the background's.
    double textContrast(int row, int column)
    {
        const auto luminance = [](const QColor &c) {
            const auto channel = [](double v) {
                return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
            };
            return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
                   0.0722 * channel(c.blueF());
        };
        const QRect rect = grid()->visualRect(grid()->model()->index(row, column));
        const QImage image = grid()->viewport()->grab().toImage();
        const double background = luminance(image.pixelColor(rect.right() - 2, rect.top() + 2));
        double text = background;
        for (int y = rect.top(); y <= rect.bottom(); ++y)
            for (int x = rect.left(); x <= rect.right(); ++x) {
                const double l = luminance(image.pixelColor(x, y));
                if (std::abs(l - background) > std::abs(text - background))
                    text = l;
            }
        return (std::max(text, background) + 0.05) / (std::min(text, background) + 0.05);
    }
    config::TServiceButton *serviceButton() const
    {
        return f->window->findChild<config::TServiceButton *>();
    }
    int serviceState()
    {
        config::TSrvCtrl ctrl;
        config::setUpSrvCtrl(ctrl);
        ctrl.SetRegistry(f->registry.path());
        return config::serviceStateQuery(ctrl);
    }
    void startService()
    {
        config::TSrvCtrl ctrl;
        config::setUpSrvCtrl(ctrl);
        ctrl.SetRegistry(f->registry.path());
        config::serviceCommand(ctrl, QStringLiteral("START"));
        QTRY_COMPARE_WITH_TIMEOUT(serviceState(), 3, 30000);
    }

private slots:
    void init()
    {
        f = std::make_unique<MainWindowFixture>();
        f->registerService();
    }
    void cleanup() { f.reset(); }

    void loadListsEveryJob()
    {
        QList<Job> jobs;
        for (int i = 0; i < 30; ++i)
            jobs << Job{QStringLiteral("job%1").arg(i, 2, 10, QLatin1Char('0'))};
        jobs[0].interval = jobs[1].interval = jobs[2].interval = QStringLiteral("3");
        jobs[0].unit = QStringLiteral("h");
        jobs[2].unit = QStringLiteral("x");
        jobs[1].destination = QStringLiteral("SFTP");
        writeJobs(jobs);
        f->open();
        QCOMPARE(grid()->rowCount(), 30);
        QCOMPARE(cell(29, 0), QStringLiteral("job29"));
        QCOMPARE(cell(0, 1), QStringLiteral("/srv/job00"));
        QCOMPARE(cell(1, 2), QStringLiteral("SFTP"));
        QCOMPARE(cell(0, 3), QStringLiteral("3時間毎"));
        QCOMPARE(cell(1, 3), QStringLiteral("3日毎"));
        QCOMPARE(cell(2, 3), QStringLiteral("3日毎"));
        QCOMPARE(cell(0, 4), QStringLiteral("2099/01/01 03:00:00"));
        QCOMPARE(grid()->horizontalHeaderItem(4)->text(), QStringLiteral("次回バックアップ時間"));
        QCOMPARE(grid()->item(0, 1)->textAlignment(), int(Qt::AlignLeft | Qt::AlignVCenter));
        QCOMPARE(grid()->item(0, 2)->textAlignment(), int(Qt::AlignCenter));

        writeJobs(jobs.mid(0, 3));
        click("BotRenew");
        QCOMPARE(grid()->rowCount(), 25);
        QCOMPARE(cell(3, 0), QString());
        // The row rule: a job row offers edit, delete, run now; an empty row only add.
        clickRow(5);
        QVERIFY(f->find<QToolButton>("BotAdd")->isEnabled());
        QVERIFY(!f->find<QToolButton>("BotEdit")->isEnabled());
        clickRow(1);
        QVERIFY(!f->find<QToolButton>("BotAdd")->isEnabled());
        QVERIFY(f->find<QToolButton>("BotDel")->isEnabled());
        QVERIFY(f->find<QToolButton>("BotBackUp")->isEnabled());
        QTest::mouseDClick(grid()->viewport(), Qt::LeftButton, {},
                           grid()->visualRect(grid()->model()->index(1, 0)).center());
        QCOMPARE(f->currentPage(), QStringLiteral("TabEditBackUp"));
        QCOMPARE(f->window->editedJobNumber(), 2);
    }

    // An overdue job of a running service: green row and a locked page, until a load
    // finds it no longer overdue or the service stopped.
    void coloursAndLockFollowTheRunningService()
    {
        // The service itself runs by the real clock, for which both jobs lie far ahead.
        writeJobs({Job{QStringLiteral("A"), QStringLiteral("Local"), QStringLiteral("1"),
                       QStringLiteral("d"), QStringLiteral("2099/01/01 03:00:00")},
                   Job{QStringLiteral("B"), QStringLiteral("Local"), QStringLiteral("1"),
                       QStringLiteral("d"), QStringLiteral("2099/06/01 03:00:00")}});
        startService();
        f->clock.set(QDateTime(QDate(2099, 3, 1), QTime(12, 0)));
        f->open();
        QVERIFY(serviceButton()->pressed());
        QVERIFY(f->window->backupInProgress());
        QVERIFY(!grid()->isEnabled());
        for (const char *name : {"BotEdit", "BotAdd", "BotDel", "BotBackUp"})
            QVERIFY2(!f->find<QToolButton>(name)->isEnabled(), name);
        QVERIFY(f->find<QToolButton>("BotRenew")->isEnabled());
        QVERIFY(green(0));
        QVERIFY(!green(1));
        QVERIFY2(textContrast(0, 4) >= 4.5, qPrintable(QString::number(textContrast(0, 4))));
        emit grid()->customContextMenuRequested(QPoint(5, 5));
        for (const char *name : {"AddMenDel", "AddMenMod", "AddMenAdd", "StartBackUp"})
            QVERIFY2(!f->find<QAction>(name)->isEnabled(), name);
        f->find<QMenu>("PopGrdList")->hide();
        f->clickNode(5);
        QCOMPARE(f->currentPage(), QStringLiteral("TabList"));

        f->clock.set(QDateTime(QDate(2098, 1, 1), QTime(12, 0)));
        click("BotRenew");
        QVERIFY(!f->window->backupInProgress());
        QVERIFY(grid()->isEnabled());
        QVERIFY(!green(0));

        // Stopped through the button: not locked and not green though the time has passed.
        f->clock.set(QDateTime(QDate(2099, 3, 1), QTime(12, 0)));
        f->prompts.answers << true;
        f->find<QPushButton>("BotService")->click();
        QVERIFY(!serviceButton()->pressed());
        QTRY_COMPARE_WITH_TIMEOUT(serviceState(), 0, 20000); // a stop may still be pending
        QVERIFY(!f->window->backupInProgress());
        QVERIFY(grid()->isEnabled());
        QVERIFY(!green(0));
    }

    // The name and source columns follow the user's drag; the sources fill the grid at first.
    // A source list cut off by its column shows the whole list as a tooltip.
    void firstTwoColumnsAreSizedByTheUser()
    {
        QList<Job> jobs = {Job{QStringLiteral("short")}, Job{QStringLiteral("long")}};
        writeJobs(jobs);
        shared::TMlb2 table;
        const QStringList many = {
            QStringLiteral("/home/yamada/書類"), QStringLiteral("/home/yamada/My Documents"),
            QStringLiteral("/srv/a/very/long/path/to/the/project/folder"),
            QStringLiteral("/var/lib/postgresql/15/main"), QStringLiteral("/etc")};
        QCOMPARE(shared::changeJobInFile(table, jobPath(), 2, QStringLiteral("long"),
                                         [&](shared::TMlb2 &job) {
                                             job.SetFieldByName(QStringLiteral("backuplist"),
                                                                shared::encodeSourceList(many));
                                         }),
                 shared::JobFileResult::Saved);
        f->open();
        QHeaderView *header = grid()->horizontalHeader();
        QCOMPARE(header->length(), grid()->viewport()->width());
        for (int column = 0; column < 5; ++column)
            QCOMPARE(header->sectionResizeMode(column),
                     column < 2 ? QHeaderView::Interactive : QHeaderView::Fixed);

        const auto drag = [header](int column, int by) {
            const int edge =
                header->sectionViewportPosition(column) + header->sectionSize(column) - 1;
            const int y = header->height() / 2;
            QTest::mousePress(header->viewport(), Qt::LeftButton, {}, QPoint(edge, y));
            QTest::mouseMove(header->viewport(), QPoint(edge + by / 2, y));
            QTest::mouseMove(header->viewport(), QPoint(edge + by, y));
            QTest::mouseRelease(header->viewport(), Qt::LeftButton, {}, QPoint(edge + by, y));
        };
        const int name = header->sectionSize(0), sources = header->sectionSize(1),
                  next = header->sectionSize(4);
        drag(0, 40);
        QCOMPARE(header->sectionSize(0), name + 40);
        QCOMPARE(header->sectionSize(1), sources);
        drag(1, -60);
        QCOMPARE(header->sectionSize(1), sources - 60);
        QCOMPARE(header->sectionSize(4), next);

        const auto tooltipAt = [this](int row) {
            const QRect cell = grid()->visualRect(grid()->model()->index(row, 1));
            QHelpEvent help(QEvent::ToolTip, cell.center(),
                            grid()->viewport()->mapToGlobal(cell.center()));
            QCoreApplication::sendEvent(grid()->viewport(), &help);
            return QToolTip::isVisible() ? QToolTip::text() : QString();
        };
        QCOMPARE(tooltipAt(0), QString()); // before any tooltip: hiding one takes a moment
        QCOMPARE(tooltipAt(1), many.join(QLatin1Char('\n')));
    }

    // A state query that fails for another reason than a missing service locks the list
    // and is said once per showing of the list (the service button's start-up query, which
    // fails alike, does not say it again).
    void failedStateQueryIsShownOncePerShowing()
    {
        writeJobs({Job{QStringLiteral("A"), QStringLiteral("Local"), QStringLiteral("1"),
                       QStringLiteral("d"), QStringLiteral("2024/05/01 03:00:00")}});
        QFile record(f->registry.path() + QStringLiteral("/Norvex.conf"));
        QVERIFY(record.open(QIODevice::WriteOnly | QIODevice::Truncate));
        record.write("Start=auto\n"); // no program to start
        record.close();
        f->open();
        QCOMPARE(f->prompts.shown.size(), 1);
        const QString failure = f->prompts.lastText();
        QVERIFY2(!failure.isEmpty() && !failure.contains(QStringLiteral("インストール")),
                 qPrintable(failure));
        QCOMPARE(f->prompts.shown.last().kind, config::Prompter::Kind::Error);
        QVERIFY(f->window->backupInProgress());
        QVERIFY(!grid()->isEnabled());
        click("BotRenew");
        QCOMPARE(f->prompts.shown.size(), 1);
        f->clickNode(7);
        f->clickNode(2);
        QCOMPARE(f->prompts.texts(), (QStringList{failure, failure}));
        QVERIFY(f->prompts.unexpected.isEmpty());
    }

    void deleteMovesTheRowsUp()
    {
        writeJobs({Job{QStringLiteral("A")}, Job{QStringLiteral("B")}, Job{QStringLiteral("C")}});
        f->open();
        clickRow(0);
        click("BotDel");
        QVERIFY(f->prompts.shown.isEmpty());
        QCOMPARE(cell(0, 0), QStringLiteral("B"));
        QCOMPARE(cell(1, 0), QStringLiteral("C"));
        QCOMPARE(cell(2, 0), QString());
        QCOMPARE(grid()->rowCount(), 25);
        QCOMPARE(jobsInFile(), (QStringList{"B=2099/01/01 03:00:00", "C=2099/01/01 03:00:00"}));
    }

    void runNowGoesBackOnTheGrid_data()
    {
        QTest::addColumn<QString>("interval");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QString>("next");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<QString>("written");
        const QDate day(2024, 5, 10);
        QTest::newRow("6 h") << "6"
                             << "h"
                             << "2024/05/10 18:00:00" << QDateTime(day, QTime(9, 30))
                             << "2024/05/10 06:00:00";
        QTest::newRow("6 h, a grid point equal to now")
            << "6"
            << "h"
            << "2024/05/10 18:00:00" << QDateTime(day, QTime(12, 0)) << "2024/05/10 12:00:00";
        QTest::newRow("1 d") << "1"
                             << "d"
                             << "2024/05/11 04:00:00" << QDateTime(day, QTime(9, 30))
                             << "2024/05/10 04:00:00";
    }
    void runNowGoesBackOnTheGrid()
    {
        QFETCH(QString, interval);
        QFETCH(QString, unit);
        QFETCH(QString, next);
        QFETCH(QDateTime, now);
        QFETCH(QString, written);
        writeJobs({Job{QStringLiteral("A"), QStringLiteral("Local"), interval, unit, next}});
        f->clock.set(now);
        f->open();
        clickRow(0);
        // The service shown as stopped: refused, nothing written.
        click("BotBackUp");
        QCOMPARE(f->prompts.texts(),
                 QStringList{QStringLiteral("バックアップサービスが起動していません。\r\n"
                                            "サービスを起動してから再度実行してください。")});
        QCOMPARE(jobsInFile(), QStringList{"A=" + next});
        serviceButton()->setLook(config::TServiceButton::Look::Running);
        f->prompts.answers << false;
        click("BotBackUp");
        QCOMPARE(jobsInFile(), QStringList{"A=" + next});
        f->prompts.answers << true;
        click("BotBackUp");
        QCOMPARE(
            f->prompts.lastText(),
            QStringLiteral("選択した行のバックアップをいますぐ開始します。\r\nよろしいですか？"));
        QCOMPARE(jobsInFile(), QStringList{"A=" + written});
        QCOMPARE(cell(0, 4), written); // loaded again
        QVERIFY(f->prompts.unexpected.isEmpty());
    }

    // What the service saved after the list was loaded stays through a delete and a run
    // now of other jobs; a job that is no longer where the list showed it is not touched.
    void keepsWhatTheServiceWrote()
    {
        writeJobs({Job{QStringLiteral("A")}, Job{QStringLiteral("B")}, Job{QStringLiteral("C")}});
        f->open();
        serviceButton()->setLook(config::TServiceButton::Look::Running);
        shared::TMlb2 service;
        QCOMPARE(shared::changeJobInFile(service, jobPath(), 1, QStringLiteral("A"),
                                         [](shared::TMlb2 &job) {
                                             job.SetFieldByName(QStringLiteral("backupdt"),
                                                                "2099/01/02 03:00:00");
                                         }),
                 shared::JobFileResult::Saved);
        clickRow(1);
        click("BotDel");
        QCOMPARE(jobsInFile(), (QStringList{"A=2099/01/02 03:00:00", "C=2099/01/01 03:00:00"}));
        QCOMPARE(cell(0, 4), QStringLiteral("2099/01/02 03:00:00"));
        clickRow(1);
        f->prompts.answers << true;
        click("BotBackUp");
        QCOMPARE(jobsInFile(), (QStringList{"A=2099/01/02 03:00:00", "C=2024/05/10 03:00:00"}));

        writeJobs({Job{QStringLiteral("X")}, Job{QStringLiteral("C")}});
        clickRow(0); // still shows A
        click("BotDel");
        QCOMPARE(f->prompts.lastText(),
                 QStringLiteral("選択したバックアップ設定は、すでに変更または削除されています。"
                                "\r\n一覧を更新します。"));
        QCOMPARE(jobsInFile(), (QStringList{"X=2099/01/01 03:00:00", "C=2099/01/01 03:00:00"}));
        QCOMPARE(cell(0, 0), QStringLiteral("X"));

        // A file that cannot be read at the save: reported with its name, the page stays.
        QVERIFY(QFile::remove(jobPath()) && QDir().mkdir(jobPath()));
        clickRow(0);
        click("BotDel");
        QVERIFY(f->prompts.lastText().startsWith(
            QStringLiteral("バックアップ設定ファイルを読み込めませんでした。")));
        QVERIFY(f->prompts.lastText().contains(jobPath()));
        QCOMPARE(cell(0, 0), QStringLiteral("X"));
    }
};

QTEST_MAIN(ListPageTest)
#include "ListPageTest.moc"
