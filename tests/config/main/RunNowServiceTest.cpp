#include "MainWindowFixture.h"
#include "config/ServiceButton.h"

#include <QPushButton>
#include <QTableWidget>
#include <QToolButton>

using namespace norvex;
using namespace norvex::testing;

// The whole road a user takes: start the real service with the button, run a job now from
// the list, and see the service back it up and move the job on.
class RunNowServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void runNowMakesTheRunningServiceBackUp()
    {
        MainWindowFixture f;
        f.registerService();
        QTemporaryDir work;
        QVERIFY(QDir().mkpath(work.filePath(QStringLiteral("src"))));
        QVERIFY(QDir().mkpath(work.filePath(QStringLiteral("dest"))));
        QFile source(work.filePath(QStringLiteral("src/data.txt")));
        QVERIFY(source.open(QIODevice::WriteOnly));
        source.write("backed up\n");
        source.close();
        const QDateTime now = QDateTime::currentDateTime();
        writeJobs(
            {Job{QStringLiteral("job"), QStringLiteral("Local"), QStringLiteral("1"),
                 QStringLiteral("d"), shared::formatDateTime(now.addDays(1).addSecs(-3600))}});
        shared::TMlb2 table;
        QCOMPARE(shared::changeJobInFile(table, jobPath(), 1, QStringLiteral("job"),
                                         [&work](shared::TMlb2 &job) {
                                             job.SetFieldByName("backuplist", work.filePath("src"));
                                             job.SetFieldByName("localbackupdir",
                                                                work.filePath("dest"));
                                         }),
                 shared::JobFileResult::Saved);

        f.clock.set(now);
        f.open();
        f.prompts.answers << true << true;
        f.find<QPushButton>("BotService")->click();
        QVERIFY(f.find<QPushButton>("BotService")->isChecked());
        auto *grid = f.find<QTableWidget>("GrdList");
        grid->setCurrentCell(0, 0);
        f.find<QToolButton>("BotBackUp")->click();
        QCOMPARE(jobsInFile(), QStringList{"job=" + shared::formatDateTime(now.addSecs(-3600))});
        QVERIFY(f.window->backupInProgress()); // locked until the run is over

        const QString archive = work.filePath(QStringLiteral("dest/Norvex-job.zip"));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(archive), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(
            jobsInFile(),
            QStringList{"job=" + shared::formatDateTime(now.addDays(1).addSecs(-3600))}, 30000);
        f.clock.set(QDateTime::currentDateTime());
        // The service moves the next run time before it records the run's end in the status
        // record: refresh until both show the run over.
        QTRY_VERIFY_WITH_TIMEOUT(
            (f.find<QToolButton>("BotRenew")->click(), !f.window->backupInProgress()), 30000);
        QVERIFY(grid->isEnabled());
        QCOMPARE(f.prompts.shown.size(), 2);
        QVERIFY(f.prompts.unexpected.isEmpty());
    }
};

QTEST_MAIN(RunNowServiceTest)
#include "RunNowServiceTest.moc"
