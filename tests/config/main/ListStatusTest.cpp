// The job list's result and last-success columns, read from the run status record, and the
// lock that a run in progress of the record puts on the list.
#include "MainWindowFixture.h"
#include "config/ListPage.h"
#include "config/support/TestProgram.h"
#include "shared/RunStatus.h"

#include <QProcess>
#include <QTableWidget>
#include <QTimer>
#include <QToolButton>
#include <memory>

using namespace norvex;
using namespace norvex::testing;

namespace {

const QDateTime Now(QDate(2024, 5, 10), QTime(9, 30));

QDateTime at(const char *text)
{
    return shared::readDateTime(QString::fromLatin1(text));
}

// A process id that no process has: a child that ended and was reaped.
qint64 deadPid()
{
    QProcess child;
    child.start(QStringLiteral("true"), {});
    child.waitForStarted();
    const qint64 pid = child.processId();
    child.waitForFinished();
    return pid;
}

void writeRecord(const QList<shared::JobStatus> &jobs,
                 qint64 pid = QCoreApplication::applicationPid())
{
    shared::RunStatusRecord record;
    record.servicePid = pid;
    record.written = Now;
    record.jobs.assign(jobs.begin(), jobs.end());
    QString error;
    QVERIFY2(shared::writeRunStatus(home(), record, false, &error), qPrintable(error));
}

shared::JobStatus status(const QString &name, int position = 1)
{
    shared::JobStatus s;
    s.position = position;
    s.backupName = name;
    s.firstSeen = at("2024/04/01 12:00:00");
    return s;
}

} // namespace

Q_DECLARE_METATYPE(shared::JobStatus)

class ListStatusTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestProgram> program;
    std::unique_ptr<config::TListPage> page;

    QTableWidget *grid() const
    {
        return page->findChild<QTableWidget *>(QStringLiteral("GrdList"));
    }
    QTableWidgetItem *item(int row, int column) const { return grid()->item(row, column); }
    QString cell(int row, int column) const
    {
        QTableWidgetItem *i = item(row, column);
        return i ? i->text() : QString();
    }
    QColor pixel(int row, int column, bool left = false) const
    {
        const QRect rect = grid()->visualRect(grid()->model()->index(row, column));
        return grid()->viewport()->grab().toImage().pixelColor(
            left ? rect.left() + 6 : rect.right() - 3, rect.center().y());
    }
    void show()
    {
        page = std::make_unique<config::TListPage>(*program);
        page->resize(1240, 600);
        page->show();
        QVERIFY(QTest::qWaitForWindowExposed(page.get()));
        page->showAction();
    }

private slots:
    void init()
    {
        QFile::remove(shared::runStatusPath(home()));
        program = std::make_unique<TestProgram>(home(), Now);
    }
    void cleanup()
    {
        page.reset();
        program.reset();
    }

    void columnsFromTheRecord_data()
    {
        QTest::addColumn<QString>("interval");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<shared::JobStatus>("record");
        QTest::addColumn<bool>("live");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("success");
        QTest::addColumn<bool>("red");
        QTest::addColumn<QString>("tip");
        QTest::addColumn<int>("progress");

        shared::JobStatus ok = status("A");
        ok.lastResult = shared::RunResult::Success;
        ok.lastEnd = ok.lastSuccess = at("2024/05/10 02:01:10");
        QTest::newRow("success") << "1"
                                 << "d" << ok << true << "正常終了 2024/05/10 02:01:10"
                                 << "2024/05/10 02:01:10" << false << "" << -1;

        shared::JobStatus failed = ok;
        failed.lastResult = shared::RunResult::TransferFailed;
        failed.lastEnd = at("2024/05/10 02:03:00");
        failed.lastError = QStringLiteral("FtpException : FTPサーバに接続できませんでした。");
        failed.failuresSinceSuccess = 1;
        QTest::newRow("failure") << "1"
                                 << "d" << failed << true << "異常終了（転送） 2024/05/10 02:03:00"
                                 << "2024/05/10 02:01:10" << true
                                 << "FtpException : FTPサーバに接続できませんでした。" << -1;
        failed.retryAttempt = 2;
        failed.retryAt = at("2024/05/10 09:45:00");
        QTest::newRow("failure, a retry waits")
            << "1"
            << "d" << failed << true << "異常終了（転送） 2024/05/10 02:03:00"
            << "2024/05/10 02:01:10" << true
            << "FtpException : FTPサーバに接続できませんでした。\n再試行待ち 09:45（2回目）" << -1;

        // Two intervals after the last success, to the second.
        shared::JobStatus hourly = ok;
        hourly.lastEnd = hourly.lastSuccess = at("2024/05/09 21:30:00");
        QTest::newRow("stale at two intervals")
            << "6"
            << "h" << hourly << true << "正常終了 2024/05/09 21:30:00"
            << "2024/05/09 21:30:00" << true << "最後の成功から2回分の間隔を過ぎました。" << -1;
        hourly.lastEnd = hourly.lastSuccess = at("2024/05/09 21:30:01");
        QTest::newRow("a second before stale")
            << "6"
            << "h" << hourly << true << "正常終了 2024/05/09 21:30:01"
            << "2024/05/09 21:30:01" << false << "" << -1;

        shared::JobStatus fresh = status("A");
        fresh.firstSeen = at("2024/05/09 12:00:00");
        QTest::newRow("never succeeded, added lately") << "1"
                                                       << "d" << fresh << true << ""
                                                       << "" << false << "" << -1;
        fresh.firstSeen = at("2024/05/08 09:30:00");
        QTest::newRow("never succeeded for two days")
            << "1"
            << "d" << fresh << true << "未実行"
            << "" << true << "成功したバックアップがないまま2回分の間隔を過ぎました。" << -1;

        shared::JobStatus running = ok;
        running.running = shared::RunProgress{};
        running.running->filesDone = 1234;
        running.running->filesTotal = 5000;
        QTest::newRow("compressing, files counted")
            << "1"
            << "d" << running << true << "実行中 圧縮中 1,234/5,000 ファイル"
            << "2024/05/10 02:01:10" << false << "" << 246;
        running.running->bytesDone = 750;
        running.running->bytesTotal = 1000;
        running.running->filesTotal = -1;
        QTest::newRow("compressing, bytes counted")
            << "1"
            << "d" << running << true << "実行中 圧縮中 1,234 ファイル"
            << "2024/05/10 02:01:10" << false << "" << 750;
        running.running->stage = shared::RunStage::Transferring;
        running.running->archiveDone = 45;
        running.running->archiveSize = 100;
        running.running->attempt = 1;
        QTest::newRow("transferring a retry")
            << "1"
            << "d" << running << true << "実行中 転送中 45%"
            << "2024/05/10 02:01:10" << false << "再試行 1回目" << 450;
        // Left behind by a service that died: the last result is what is known.
        QTest::newRow("run of a dead service")
            << "1"
            << "d" << running << false << "正常終了 2024/05/10 02:01:10"
            << "2024/05/10 02:01:10" << false << "" << -1;
    }
    void columnsFromTheRecord()
    {
        QFETCH(QString, interval);
        QFETCH(QString, unit);
        QFETCH(shared::JobStatus, record);
        QFETCH(bool, live);
        QFETCH(QString, result);
        QFETCH(QString, success);
        QFETCH(bool, red);
        QFETCH(QString, tip);
        QFETCH(int, progress);
        writeJobs({Job{QStringLiteral("A"), QStringLiteral("Local"), interval, unit},
                   Job{QStringLiteral("B")}});
        // The job at its position with its name; B has no entry and shows nothing.
        shared::JobStatus other = status(QStringLiteral("A"), 2);
        other.lastResult = shared::RunResult::ArchiveFailed;
        writeRecord({other, record}, live ? QCoreApplication::applicationPid() : deadPid());
        show();

        QCOMPARE(grid()->columnCount(), 7);
        QCOMPARE(grid()->horizontalHeaderItem(5)->text(), QStringLiteral("前回の結果"));
        QCOMPARE(grid()->horizontalHeaderItem(6)->text(), QStringLiteral("最終成功"));
        QCOMPARE(cell(0, 5), result);
        QCOMPARE(cell(0, 6), success);
        QCOMPARE(item(0, 5)->toolTip(), tip);
        QCOMPARE(item(0, 5)->data(Qt::AccessibleDescriptionRole).toString().isEmpty(), !red);
        QCOMPARE(!item(0, 5)->icon().isNull(), red);
        QCOMPARE(pixel(0, 5) == QColor(192, 0, 0), red);
        QCOMPARE(item(0, 5)->data(Qt::UserRole + 1).isValid()
                     ? item(0, 5)->data(Qt::UserRole + 1).toInt()
                     : -1,
                 progress);
        if (progress > 0) // the bar's filled part at its left end
            QVERIFY(pixel(0, 5, true) != grid()->palette().color(QPalette::Base));
        QCOMPARE(cell(1, 5), QString());
        QCOMPARE(cell(1, 6), QString());
        QCOMPARE(cell(2, 5), QString());
    }

    // The red result cell and the green row of an overdue job of a running service meet
    // without hiding each other.
    void redCellInAGreenRow()
    {
        writeJobs({Job{QStringLiteral("A"), QStringLiteral("Local"), QStringLiteral("1"),
                       QStringLiteral("d"), QStringLiteral("2024/05/10 03:00:00")}});
        shared::JobStatus failed = status(QStringLiteral("A"));
        failed.lastResult = shared::RunResult::ArchiveFailed;
        failed.lastEnd = at("2024/05/09 03:01:00");
        writeRecord({failed});
        program->pressed = true;
        show();
        QCOMPARE(pixel(0, 2), QColor(0, 128, 0));
        QCOMPARE(pixel(0, 5), QColor(192, 0, 0));
    }

    // While the list is shown the two columns follow the file; the others keep what the
    // last load read.
    void refreshesWhileShown()
    {
        writeJobs({Job{QStringLiteral("A")}, Job{QStringLiteral("B")}});
        shared::JobStatus a = status(QStringLiteral("A")), b = status(QStringLiteral("B"), 2);
        a.lastResult = b.lastResult = shared::RunResult::Success;
        a.lastEnd = a.lastSuccess = b.lastEnd = b.lastSuccess = at("2024/05/10 02:00:00");
        writeRecord({a, b});
        show();
        QCOMPARE(cell(1, 5), QStringLiteral("正常終了 2024/05/10 02:00:00"));
        auto *timer = page->findChild<QTimer *>(QStringLiteral("TimRunStatus"));
        QVERIFY(timer->isActive());

        writeJobs({Job{QStringLiteral("A")},
                   Job{QStringLiteral("B"), QStringLiteral("Local"), QStringLiteral("1"),
                       QStringLiteral("d"), QStringLiteral("2099/02/02 03:00:00")}});
        b.running = shared::RunProgress{};
        b.running->stage = shared::RunStage::Verifying;
        b.running->archiveDone = 1;
        b.running->archiveSize = 4;
        writeRecord({a, b});
        QTRY_COMPARE_WITH_TIMEOUT(cell(1, 5), QStringLiteral("実行中 検査中 25%"), 15000);
        QCOMPARE(cell(0, 5), QStringLiteral("正常終了 2024/05/10 02:00:00"));
        QCOMPARE(cell(1, 4), QStringLiteral("2099/01/01 03:00:00"));

        b.running.reset();
        b.lastResult = shared::RunResult::ArchiveFailed;
        b.lastEnd = at("2024/05/10 09:29:00");
        b.lastError = QStringLiteral("ECompressionError : 圧縮できませんでした。");
        writeRecord({a, b});
        QTRY_COMPARE_WITH_TIMEOUT(cell(1, 5),
                                  QStringLiteral("異常終了（圧縮） 2024/05/10 09:29:00"), 15000);
        QCOMPARE(item(1, 5)->toolTip(), b.lastError);
        QVERIFY(!item(1, 5)->data(Qt::UserRole + 1).isValid());

        page->hide();
        QVERIFY(!timer->isActive());
        page->show();
        QVERIFY(timer->isActive());
    }

    // A run the record shows in progress locks the list while the service runs, though no
    // next run time has passed (a retry). A retry that only waits does not.
    void runningRecordLocks_data()
    {
        QTest::addColumn<bool>("running");
        QTest::addColumn<bool>("livePid");
        QTest::addColumn<int>("serviceState");
        QTest::addColumn<bool>("locked");
        QTest::newRow("running, live service") << true << true << 3 << true;
        QTest::newRow("running, dead service process") << true << false << 3 << false;
        QTest::newRow("running, service stopped") << true << true << 1 << false;
        QTest::newRow("a retry waits") << false << true << 3 << false;
    }
    void runningRecordLocks()
    {
        QFETCH(bool, running);
        QFETCH(bool, livePid);
        QFETCH(int, serviceState);
        QFETCH(bool, locked);
        writeJobs({Job{QStringLiteral("A")}, Job{QStringLiteral("B")}});
        shared::JobStatus b = status(QStringLiteral("B"), 2);
        b.lastResult = shared::RunResult::TransferFailed;
        b.retryAttempt = 1;
        b.retryAt = at("2024/05/10 09:29:00"); // passed: the service takes it at its next tick
        if (running)
            b.running = shared::RunProgress{};
        writeRecord({b}, livePid ? QCoreApplication::applicationPid() : deadPid());
        program->serviceState = serviceState;
        program->pressed = serviceState == 3;
        show();
        QCOMPARE(program->backupInProgress(), locked);
        QCOMPARE(grid()->isEnabled(), !locked);
        QCOMPARE(page->findChild<QToolButton *>(QStringLiteral("BotAdd"))->isEnabled(), !locked);
        // A restore changes no job: offered for a selected job, locked or not.
        grid()->setCurrentCell(1, 0);
        QVERIFY(page->findChild<QToolButton *>(QStringLiteral("BotRestore"))->isEnabled());
        QCOMPARE(program->stateQueries, running && livePid ? 1 : 0);
        QCOMPARE(pixel(1, 2) == QColor(0, 128, 0), false);
    }
};

QTEST_MAIN(ListStatusTest)
#include "ListStatusTest.moc"
