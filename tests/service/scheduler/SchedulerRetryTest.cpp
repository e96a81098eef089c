// The scheduler with the run status record: retries start when their time comes and never
// move the grid, a scheduled run takes a retry's place, the plan survives a restart, and
// the stale alarm is given once per streak and only between runs.
#include "service/Notifier.h"
#include "service/RunOutcome.h"
#include "service/RunStatusStore.h"
#include "service/Scheduler.h"
#include "service/support/Jobs.h"
#include "shared/JobTable.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace norvex;
using norvex::testing::localJob;
using service::RunStatusStore;

namespace {

QDateTime at(const char *text)
{
    return shared::readDateTime(QString::fromLatin1(text));
}

class RecordingNotifier : public service::Notifier
{
public:
    void notify(const QString &job, service::NotifyEvent event, const QString &text) override
    {
        events << (job + QLatin1Char(' ') + service::notifyEventName(event) + QLatin1Char(' ') +
                   text);
    }
    QStringList events;
};

struct Launch
{
    int jobIndex;
    int attempt;
    bool operator==(const Launch &) const = default;
};

// A folder, a clock, a store, and a launcher that only records; `restart()` makes the
// service anew on the same folder.
struct Rig
{
    QTemporaryDir dir{QString::fromLocal8Bit(qgetenv("NORVEX_HOME")) + QStringLiteral("/r-XXXXXX")};
    QString home = dir.path() + QLatin1Char('/');
    shared::ManualClock clock{at("2024/05/01 02:00:01")};
    QObject token;
    QList<Launch> launched;
    RecordingNotifier notifier;
    std::unique_ptr<RunStatusStore> store;
    std::unique_ptr<service::Scheduler> scheduler;

    void restart()
    {
        scheduler.reset();
        store = std::make_unique<RunStatusStore>(home, clock);
        store->start(1);
        scheduler = std::make_unique<service::Scheduler>(
            home, clock,
            [this](int i, int attempt) {
                launched.append({i, attempt});
                return &token;
            },
            store.get(), &notifier);
        scheduler->load();
    }

    // What a run's end does: the grid (scheduled runs only), the record, the slot.
    void endRun(int jobIndex, int attempt, shared::RunResult result, int retryCount = 3)
    {
        if (attempt == 0)
            scheduler->reschedule(jobIndex);
        const QDateTime next = shared::readDateTime(
            scheduler->jobRow(jobIndex).FieldByName(QStringLiteral("backupdt")));
        const QString name = scheduler->jobRow(jobIndex).FieldByName(QStringLiteral("backupname"));
        store->update(
            {jobIndex + 1, name},
            [&](shared::JobStatus &s) {
                service::recordRunEnd(s, {result, QStringLiteral("Exception : x"), 1,
                                          clock.now().addSecs(-60), clock.now()});
                if (result != shared::RunResult::Success)
                    service::planRetry(s, attempt, retryCount, clock.now(), next);
            },
            RunStatusStore::Write::Durable);
        scheduler->endRun(jobIndex);
    }

    shared::JobStatus status(int i) const { return shared::readRunStatus(home).jobs.at(i); }
    QString backupdt(int i) const
    {
        return norvex::testing::readJobs(home).value(i).value(QStringLiteral("backupdt"));
    }
};

int entriesMatching(const QString &home, const QString &text)
{
    int n = 0;
    for (const QString &line : norvex::testing::logLines(home))
        n += line.contains(text);
    return n;
}

} // namespace

class SchedulerRetryTest : public QObject
{
    Q_OBJECT

private slots:
    void retriesBeforeTheGridWithoutMovingIt()
    {
        Rig r;
        QVERIFY(norvex::testing::writeJobs(r.home, {localJob("a", "2024/05/01 02:00:00", 1, "d")}));
        r.restart();
        r.scheduler->tick();
        QCOMPARE(r.launched, (QList<Launch>{{0, 0}}));
        r.clock.set(at("2024/05/01 02:05:00"));
        r.endRun(0, 0, shared::RunResult::TransferFailed);
        QCOMPARE(r.backupdt(0), QStringLiteral("2024/05/02 02:00:00"));
        QCOMPARE(r.status(0).retryAt, at("2024/05/01 02:10:00"));

        // While the retry waits the job is not due: ticks reload and start nothing.
        const int loads = r.scheduler->loadCount();
        r.clock.set(at("2024/05/01 02:09:59"));
        r.scheduler->tick();
        QCOMPARE(r.launched.size(), 1);
        QCOMPARE(r.scheduler->loadCount(), loads + 1);

        // Each retry starts at its time, keeps the stored next run time, plans the next.
        const char *times[] = {"2024/05/01 02:10:00", "2024/05/01 02:26:00", "2024/05/01 03:12:00"};
        for (int attempt = 1; attempt <= 3; ++attempt) {
            r.clock.set(at(times[attempt - 1]));
            r.scheduler->tick();
            QCOMPARE(r.launched.last(), (Launch{0, attempt}));
            QVERIFY(r.scheduler->isRunning(0));
            r.scheduler->tick(); // the slot is taken: no second start
            QCOMPARE(r.launched.size(), 1 + attempt);
            r.clock.advanceSecs(60);
            r.endRun(0, attempt, shared::RunResult::ArchiveFailed);
            QCOMPARE(r.backupdt(0), QStringLiteral("2024/05/02 02:00:00"));
        }
        QCOMPARE(r.status(0).retryAttempt, 0); // three of three done
        QCOMPARE(r.status(0).failuresSinceSuccess, 4);
        r.clock.set(at("2024/05/02 02:00:00"));
        r.scheduler->tick();
        QCOMPARE(r.launched.size(), 4);
        r.clock.advanceSecs(1);
        r.scheduler->tick();
        QCOMPARE(r.launched.last(), (Launch{0, 0}));
    }

    void aScheduledRunTakesTheRetrysPlace()
    {
        Rig r;
        // Hourly: the first retry (5 min) is in time, the one after 02:55 would not be.
        QVERIFY(norvex::testing::writeJobs(r.home, {localJob("a", "2024/05/01 02:00:00", 1, "h")}));
        r.restart();
        r.scheduler->tick();
        r.clock.set(at("2024/05/01 02:50:00"));
        r.endRun(0, 0, shared::RunResult::TransferFailed);
        QCOMPARE(r.status(0).retryAttempt, 1);
        // The machine slept past both the retry and the grid time: one scheduled run.
        r.clock.set(at("2024/05/01 04:30:00"));
        r.scheduler->tick();
        QCOMPARE(r.launched.last(), (Launch{0, 0}));
        QCOMPARE(r.store->snapshot().jobs[0].retryAttempt, 0);
        r.clock.set(at("2024/05/01 04:56:00"));
        r.endRun(0, 0, shared::RunResult::TransferFailed);
        QCOMPARE(r.backupdt(0), QStringLiteral("2024/05/01 05:00:00"));
        QCOMPARE(r.status(0).retryAttempt, 0); // 05:01 is not before 05:00
        r.clock.set(at("2024/05/01 04:59:59"));
        r.scheduler->tick();
        QCOMPARE(r.launched.size(), 2);
    }

    void thePlanSurvivesARestart()
    {
        Rig r;
        QVERIFY(
            norvex::testing::writeJobs(r.home, {localJob("other", "2024/06/01 00:00:00", 1, "d"),
                                                localJob("a", "2024/05/01 02:00:00", 1, "d")}));
        r.restart();
        r.scheduler->tick();
        r.clock.set(at("2024/05/01 02:05:00"));
        r.endRun(1, 0, shared::RunResult::TransferFailed);
        r.restart();
        QCOMPARE(r.status(1).retryAttempt, 1);
        r.clock.set(at("2024/05/01 02:10:00"));
        r.scheduler->tick();
        QCOMPARE(r.launched.last(), (Launch{1, 1}));

        // Stopped during the retry: the plan is still there, so it runs again.
        r.restart();
        r.clock.set(at("2024/05/01 02:12:00"));
        r.scheduler->tick();
        QCOMPARE(r.launched.last(), (Launch{1, 1}));
        r.endRun(1, 1, shared::RunResult::Success);
        QCOMPARE(r.status(1).retryAttempt, 0);
        QCOMPARE(r.status(1).lastSuccess, at("2024/05/01 02:12:00"));
        QCOMPARE(r.backupdt(1), QStringLiteral("2024/05/02 02:00:00"));
    }

    void staleAlarmOncePerStreakBetweenRuns()
    {
        Rig r;
        r.clock.set(at("2024/05/01 10:00:00"));
        QVERIFY(
            norvex::testing::writeJobs(r.home, {localJob("idle", "2024/05/10 10:00:00", 1, "d"),
                                                localJob("late", "2024/05/03 11:00:00", 1, "d")}));
        r.restart();
        const QString text = QStringLiteral(" 前回のバックアップ成功から2回分の間隔を過ぎました。\t"
                                            "登録 2024/05/01 10:00:00 以降、バックアップは一度も"
                                            "成功していません。");
        r.clock.set(at("2024/05/03 09:59:59"));
        r.scheduler->tick();
        QCOMPARE(entriesMatching(r.home, text), 0);
        r.clock.set(at("2024/05/03 10:00:00"));
        for (int i = 0; i < 3; ++i) {
            r.scheduler->tick();
            r.clock.advanceSecs(10);
        }
        QCOMPARE(entriesMatching(r.home, QStringLiteral("\tidle") + text), 1);
        QCOMPARE(entriesMatching(r.home, QStringLiteral("\tlate") + text), 1);
        QCOMPARE(r.notifier.events, (QStringList{QStringLiteral("idle stale idle") + text,
                                                 QStringLiteral("late stale late") + text}));
        QVERIFY(r.status(0).staleAlarmed);

        // A due job is about to run: no alarm while it is due or running.
        Rig d;
        d.clock.set(at("2024/05/01 10:00:00"));
        QVERIFY(
            norvex::testing::writeJobs(d.home, {localJob("due", "2024/05/03 10:00:00", 1, "d")}));
        d.restart();
        d.clock.set(at("2024/05/03 10:00:01"));
        d.scheduler->tick();
        QCOMPARE(d.launched, (QList<Launch>{{0, 0}}));
        d.scheduler->tick();
        QCOMPARE(d.notifier.events, QStringList());
        d.endRun(0, 0, shared::RunResult::Success);
        d.scheduler->tick();
        QCOMPARE(d.notifier.events, QStringList());
        QVERIFY(!d.status(0).staleAlarmed);
    }
};

QTEST_GUILESS_MAIN(SchedulerRetryTest)
#include "SchedulerRetryTest.moc"
