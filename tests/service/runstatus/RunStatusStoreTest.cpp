// The service's holder of the run status record and the rules of a run's end: what
// survives a restart, how entries follow their jobs, when the file is written, and when a
// retry, a notification or the stale alarm is due.
#include "service/RunStatusStore.h"
#include "service/RunOutcome.h"
#include "service/support/Jobs.h"
#include "shared/JobTable.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using namespace norvex;
using service::JobKey;
using service::RunStatusStore;
using shared::JobStatus;
using shared::RunResult;

namespace {

QDateTime at(const QString &text)
{
    return shared::readDateTime(text);
}

struct Rig
{
    QTemporaryDir dir{QString::fromLocal8Bit(qgetenv("NORVEX_HOME")) + QStringLiteral("/s-XXXXXX")};
    QString home = dir.path() + QLatin1Char('/');
    shared::ManualClock clock{at(QStringLiteral("2024/05/01 10:00:00"))};
    RunStatusStore store{home, clock, 60000}; // a throttle no test run outlasts

    shared::RunStatusRecord file() const { return shared::readRunStatus(home); }
};

JobStatus entry(int position, const QString &name)
{
    JobStatus s;
    s.position = position;
    s.backupName = name;
    return s;
}

} // namespace

class RunStatusStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void startKeepsPlansAndDropsAbandonedRuns()
    {
        Rig r;
        shared::RunStatusRecord old;
        old.servicePid = 1;
        JobStatus s = entry(1, QStringLiteral("a"));
        s.retryAttempt = 2;
        s.retryAt = at(QStringLiteral("2024/05/01 10:15:00"));
        s.failuresSinceSuccess = 2;
        s.staleAlarmed = true;
        s.running.emplace();
        old.jobs.push_back(s);
        QVERIFY(shared::writeRunStatus(r.home, old, false));

        r.store.start(4242);
        const shared::RunStatusRecord now = r.file();
        QCOMPARE(now.servicePid, qint64(4242));
        QCOMPARE(now.jobs.size(), std::size_t(1));
        QVERIFY(!now.jobs[0].running);
        QCOMPARE(now.jobs[0].retryAttempt, 2);
        QCOMPARE(now.jobs[0].retryAt, s.retryAt);
        QCOMPARE(now.jobs[0].failuresSinceSuccess, 2);
        QVERIFY(now.jobs[0].staleAlarmed);
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(shared::runStatusPath(r.home)).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, mode_t(0600));
    }

    void damagedFileStartsEmpty()
    {
        Rig r;
        QVERIFY(norvex::testing::writeJobs(r.home, {}));
        QFile f(shared::runStatusPath(r.home));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("{\"jobs\": [ {\"position\": 1, \"backupna");
        f.close();
        r.store.start(7);
        QVERIFY(r.store.snapshot().jobs.empty());
        QCOMPARE(r.file().servicePid, qint64(7));
    }

    void entriesFollowTheirJobs_data()
    {
        QTest::addColumn<QStringList>("before"); // the entries' names at positions 1..n
        QTest::addColumn<QStringList>("jobs");   // the table's names at positions 1..n
        // For each job: the position its entry had before, or 0 for a new entry.
        QTest::addColumn<QList<int>>("from");
        QTest::newRow("unchanged")
            << QStringList{"a", "b"} << QStringList{"a", "b"} << QList<int>{1, 2};
        QTest::newRow("first deleted, second moves up")
            << QStringList{"a", "b"} << QStringList{"b"} << QList<int>{2};
        QTest::newRow("renamed loses its entry")
            << QStringList{"a", "b"} << QStringList{"a", "c"} << QList<int>{1, 0};
        QTest::newRow("added job is new")
            << QStringList{"a"} << QStringList{"a", "b"} << QList<int>{1, 0};
        QTest::newRow("twin names share nothing")
            << QStringList{"x", "a"} << QStringList{"a", "a"} << QList<int>{2, 0};
        QTest::newRow("twins keep their own")
            << QStringList{"a", "a"} << QStringList{"a", "a"} << QList<int>{1, 2};
    }

    void entriesFollowTheirJobs()
    {
        QFETCH(QStringList, before);
        QFETCH(QStringList, jobs);
        QFETCH(QList<int>, from);
        Rig r;
        r.store.start(1);
        std::vector<JobKey> old;
        for (int i = 0; i < before.size(); ++i)
            old.push_back({i + 1, before[i]});
        r.store.matchJobs(old);
        for (int i = 0; i < before.size(); ++i) // mark each entry with where it was
            r.store.update(
                old[i], [i](JobStatus &s) { s.failuresSinceSuccess = 10 + i + 1; },
                RunStatusStore::Write::None);

        r.clock.advanceSecs(3600);
        std::vector<JobKey> now;
        for (int i = 0; i < jobs.size(); ++i)
            now.push_back({i + 1, jobs[i]});
        r.store.matchJobs(now);
        const shared::RunStatusRecord file = r.store.snapshot();
        QCOMPARE(file.jobs.size(), std::size_t(jobs.size()));
        for (int i = 0; i < jobs.size(); ++i) {
            const JobStatus &s = file.jobs[std::size_t(i)];
            QCOMPARE(s.position, i + 1);
            QCOMPARE(s.backupName, jobs[i]);
            QCOMPARE(s.failuresSinceSuccess, from[i] ? 10 + from[i] : 0);
            QCOMPARE(s.firstSeen,
                     from[i] ? at(QStringLiteral("2024/05/01 10:00:00")) : r.clock.now());
        }
    }

    void writesProgressAtMostOncePerInterval()
    {
        Rig r;
        r.store.start(1);
        const JobKey a{1, QStringLiteral("a")};
        r.store.matchJobs({a});
        const int base = r.store.writeCount();
        auto progress = [&](qint64 n, RunStatusStore::Write how) {
            r.store.update(
                a,
                [n](JobStatus &s) {
                    if (!s.running)
                        s.running.emplace();
                    s.running->filesDone = n;
                },
                how);
        };
        // The throttle of the rig is a minute: the first progress after the last write
        // waits, a stage change and the end are written at once.
        for (int i = 1; i <= 1000; ++i)
            progress(i, RunStatusStore::Write::Throttled);
        QCOMPARE(r.store.writeCount(), base);
        QVERIFY(!r.file().jobs[0].running);
        QCOMPARE(r.store.snapshot().jobs[0].running->filesDone, qint64(1000));
        progress(1001, RunStatusStore::Write::Now);
        QCOMPARE(r.store.writeCount(), base + 1);
        QCOMPARE(r.file().jobs[0].running->filesDone, qint64(1001));
        progress(1002, RunStatusStore::Write::Durable);
        QCOMPARE(r.store.writeCount(), base + 2);

        // With no throttle every progress is written.
        RunStatusStore eager(r.home, r.clock, 0);
        eager.start(1);
        eager.matchJobs({a});
        const int before = eager.writeCount();
        for (int i = 0; i < 3; ++i)
            eager.update(a, {}, RunStatusStore::Write::Throttled);
        QCOMPARE(eager.writeCount(), before + 3);
    }

    void reportsAStreakOfFailedWritesOnce()
    {
        // A folder where the file belongs: no rename replaces it, for root neither.
        Rig r;
        QVERIFY(QDir().mkpath(r.home + QStringLiteral("Log")));
        const JobKey a{1, QStringLiteral("a")};
        const QString path = shared::runStatusPath(r.home);
        auto failures = [&] {
            int n = 0;
            for (const QString &line : norvex::testing::logLines(r.home))
                n += line.startsWith(QLatin1String("E\t")) &&
                     line.contains(QStringLiteral("実行状況ファイル ") + path +
                                   QStringLiteral(" を保存できませんでした。\t"));
            return n;
        };
        QVERIFY(QDir().mkpath(path + QStringLiteral("/blocked")));
        r.store.start(1);
        r.store.matchJobs({a});
        for (int i = 0; i < 5; ++i)
            r.store.update(
                a, [i](JobStatus &s) { s.failuresSinceSuccess = i; }, RunStatusStore::Write::Now);
        QCOMPARE(failures(), 1);
        QCOMPARE(r.store.snapshot().jobs[0].failuresSinceSuccess, 4);

        QVERIFY(QDir(path).removeRecursively());
        r.store.update(a, {}, RunStatusStore::Write::Now);
        QCOMPARE(r.file().jobs[0].failuresSinceSuccess, 4);
        QVERIFY(QFile::remove(path) && QDir().mkpath(path + QStringLiteral("/blocked")));
        r.store.update(a, {}, RunStatusStore::Write::Durable);
        r.store.update(a, {}, RunStatusStore::Write::Now);
        QCOMPARE(failures(), 2); // a new streak
    }

    void plansRetriesBeforeTheNextGridTime_data()
    {
        QTest::addColumn<int>("attempt"); // of the run that failed
        QTest::addColumn<int>("retryCount");
        QTest::addColumn<QString>("ended");
        QTest::addColumn<QString>("nextGrid");
        QTest::addColumn<QString>("retryAt"); // empty: none planned
        QTest::newRow("first retry after 5 min") << 0 << 3 << "2024/05/01 02:05:00"
                                                 << "2024/05/02 02:00:00"
                                                 << "2024/05/01 02:10:00";
        QTest::newRow("second after 15") << 1 << 3 << "2024/05/01 02:11:00"
                                         << "2024/05/02 02:00:00"
                                         << "2024/05/01 02:26:00";
        QTest::newRow("third after 45") << 2 << 3 << "2024/05/01 02:27:00"
                                        << "2024/05/02 02:00:00"
                                        << "2024/05/01 03:12:00";
        QTest::newRow("no fourth of three") << 3 << 3 << "2024/05/01 03:13:00"
                                            << "2024/05/02 02:00:00"
                                            << "";
        QTest::newRow("fifth of five after 405") << 4 << 5 << "2024/05/01 03:00:00"
                                                 << "2024/05/02 02:00:00"
                                                 << "2024/05/01 09:45:00";
        QTest::newRow("retries off") << 0 << 0 << "2024/05/01 02:05:00"
                                     << "2024/05/02 02:00:00"
                                     << "";
        QTest::newRow("at the grid time is too late") << 0 << 3 << "2024/05/01 02:55:00"
                                                      << "2024/05/01 03:00:00"
                                                      << "";
        QTest::newRow("a second before it is in time") << 0 << 3 << "2024/05/01 02:54:59"
                                                       << "2024/05/01 03:00:00"
                                                       << "2024/05/01 02:59:59";
        QTest::newRow("no grid time known") << 0 << 3 << "2024/05/01 02:05:00"
                                            << ""
                                            << "";
    }

    void plansRetriesBeforeTheNextGridTime()
    {
        QFETCH(int, attempt);
        QFETCH(int, retryCount);
        QFETCH(QString, ended);
        QFETCH(QString, nextGrid);
        QFETCH(QString, retryAt);
        JobStatus s = entry(1, QStringLiteral("a"));
        s.retryAttempt = attempt; // the plan of the retry that just ran
        s.retryAt = at(QStringLiteral("2024/05/01 01:00:00"));
        const bool planned = service::planRetry(s, attempt, retryCount, at(ended),
                                                nextGrid.isEmpty() ? QDateTime() : at(nextGrid));
        QCOMPARE(planned, !retryAt.isEmpty());
        QCOMPARE(s.retryAttempt, planned ? attempt + 1 : 0);
        QCOMPARE(s.retryAt, planned ? at(retryAt) : QDateTime());
        QCOMPARE(service::retryDue(s, at(ended)), 0);
        if (planned) {
            QCOMPARE(service::retryDue(s, at(retryAt).addSecs(-1)), 0);
            QCOMPARE(service::retryDue(s, at(retryAt)), attempt + 1);
        }
        // A plan made before RetryCount was lowered never reads as more than all retries.
        QCOMPARE(service::retryStartDetail(attempt + 1, attempt),
                 QStringLiteral("\t再試行 %1/%1 回目").arg(attempt + 1));
    }

    void tellsOfAStreakOnceAndOfItsEnd()
    {
        // fail, fail (a retry), success, success, stale alarm, success.
        JobStatus s = entry(1, QStringLiteral("a"));
        s.firstSeen = at(QStringLiteral("2024/05/01 00:00:00"));
        auto end = [&](RunResult result, const char *when) {
            service::RunEnd e{result, result == RunResult::Success ? QString() : "Exception : x",
                              10, at(QString::fromLatin1(when)).addSecs(-60),
                              at(QString::fromLatin1(when))};
            return service::recordRunEnd(s, e);
        };
        service::RunEndNews n = end(RunResult::TransferFailed, "2024/05/01 02:01:00");
        QVERIFY(n.firstFailure && !n.recovered);
        QCOMPARE(s.lastError, QStringLiteral("Exception : x"));
        service::planRetry(s, 0, 3, s.lastEnd, at(QStringLiteral("2024/05/02 02:00:00")));
        n = end(RunResult::ArchiveFailed, "2024/05/01 02:07:00");
        QVERIFY(!n.firstFailure && !n.recovered);
        QCOMPARE(s.failuresSinceSuccess, 2);
        QCOMPARE(s.lastResult, RunResult::ArchiveFailed);

        n = end(RunResult::Success, "2024/05/01 02:30:00");
        QVERIFY(n.recovered && !n.firstFailure);
        QCOMPARE(n.failuresBefore, 2);
        QVERIFY(!n.previousSuccess.isValid());
        QCOMPARE(service::recoveredEntry(QStringLiteral("a"), n),
                 QStringLiteral("a バックアップが再び成功しました。\t前回のバックアップ成功 なし "
                                "以降の失敗 2 回"));
        QCOMPARE(s.retryAttempt, 0);
        QVERIFY(!s.retryAt.isValid());
        QVERIFY(s.lastError.isEmpty());
        QCOMPARE(s.lastSuccess, at(QStringLiteral("2024/05/01 02:30:00")));
        QVERIFY(!end(RunResult::Success, "2024/05/02 02:01:00").recovered);

        // Daily job: stale two days after its last success, alarmed once.
        const QDateTime stale = at(QStringLiteral("2024/05/04 02:01:00"));
        QVERIFY(!service::raiseStaleAlarm(s, 1, QLatin1Char('d'), stale.addSecs(-1)));
        QVERIFY(service::raiseStaleAlarm(s, 1, QLatin1Char('d'), stale));
        QVERIFY(!service::raiseStaleAlarm(s, 1, QLatin1Char('d'), stale.addDays(3)));
        QCOMPARE(service::staleEntry(QStringLiteral("a"), s),
                 QStringLiteral("a 前回のバックアップ成功から2回分の間隔を過ぎました。\t"
                                "前回のバックアップ成功 2024/05/02 02:01:00"));
        n = end(RunResult::Success, "2024/05/04 03:00:00");
        QVERIFY(n.recovered);
        QCOMPARE(n.failuresBefore, 0);
        QVERIFY(!s.staleAlarmed);
    }

    void staleAlarmOfAJobThatNeverSucceeded_data()
    {
        QTest::addColumn<int>("interval");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QString>("staleAt");
        QTest::newRow("3 hours") << 3 << "h"
                                 << "2024/05/01 06:00:00";
        QTest::newRow("2 days") << 2 << "d"
                                << "2024/05/05 00:00:00";
        QTest::newRow("unit unknown") << 1 << "x"
                                      << "";
        QTest::newRow("interval 0") << 0 << "h"
                                    << "";
    }

    void staleAlarmOfAJobThatNeverSucceeded()
    {
        QFETCH(int, interval);
        QFETCH(QString, unit);
        QFETCH(QString, staleAt);
        JobStatus s = entry(1, QStringLiteral("n"));
        s.firstSeen = at(QStringLiteral("2024/05/01 00:00:00"));
        const QChar u = unit.at(0);
        const QDateTime late = at(QStringLiteral("2024/06/01 00:00:00"));
        if (staleAt.isEmpty()) {
            QVERIFY(!service::raiseStaleAlarm(s, interval, u, late));
            return;
        }
        QVERIFY(!service::raiseStaleAlarm(s, interval, u, at(staleAt).addSecs(-1)));
        QVERIFY(service::raiseStaleAlarm(s, interval, u, at(staleAt)));
        QCOMPARE(service::staleEntry(QStringLiteral("n"), s),
                 QStringLiteral("n 前回のバックアップ成功から2回分の間隔を過ぎました。\t"
                                "登録 2024/05/01 00:00:00 以降、バックアップは一度も成功して"
                                "いません。"));
    }
};

QTEST_GUILESS_MAIN(RunStatusStoreTest)
#include "RunStatusStoreTest.moc"
