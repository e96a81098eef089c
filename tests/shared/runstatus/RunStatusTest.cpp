#include "shared/RunStatus.h"
#include "shared/JobTable.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace norvex::shared;

namespace {

QDateTime at(const char *text)
{
    return readDateTime(QString::fromLatin1(text));
}

JobStatus job(int position, const QString &name)
{
    JobStatus s;
    s.position = position;
    s.backupName = name;
    return s;
}

} // namespace

class RunStatusTest : public QObject
{
    Q_OBJECT

private slots:
    void roundTripsEveryField()
    {
        QTemporaryDir dir;
        RunStatusRecord r;
        r.servicePid = 4242;
        r.written = at("2026/12/09 02:00:01");
        JobStatus s = job(3, QStringLiteral("日次 \"web\""));
        s.firstSeen = at("2026/12/01 10:00:00");
        s.lastStart = at("2026/12/09 02:00:00");
        s.lastEnd = at("2026/12/09 02:01:00");
        s.lastResult = RunResult::TransferFailed;
        s.lastError = QStringLiteral("FtpException : 接続できません\r\n二行目");
        s.archiveSize = 5'000'000'000;
        s.lastSuccess = at("2026/12/08 02:01:00");
        s.failuresSinceSuccess = 2;
        s.staleAlarmed = true;
        s.retryAttempt = 2;
        s.retryAt = at("2026/12/09 02:16:00");
        RunProgress p;
        p.stage = RunStage::Transferring;
        p.started = at("2026/12/09 02:00:00");
        p.attempt = 1;
        p.filesDone = p.filesTotal = 100'000;
        p.bytesDone = p.bytesTotal = 7'000'000'000;
        p.archiveDone = 12;
        p.archiveSize = 4'000'000'000;
        s.running = p;
        r.jobs = {s, job(1, QStringLiteral("other"))};
        QVERIFY(writeRunStatus(dir.path(), r, true));

        struct stat st
        {
        };
        QCOMPARE(::stat(QFile::encodeName(runStatusPath(dir.path())).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);

        const RunStatusRecord back = readRunStatus(dir.path());
        QCOMPARE(back.servicePid, 4242);
        QCOMPARE(back.written, r.written);
        QCOMPARE(back.jobs.size(), size_t(2));
        const JobStatus &b = back.jobs[0];
        QCOMPARE(b.backupName, s.backupName);
        QCOMPARE(b.firstSeen, s.firstSeen);
        QCOMPARE(b.lastEnd, s.lastEnd);
        QCOMPARE(b.lastResult, RunResult::TransferFailed);
        QCOMPARE(b.lastError, s.lastError);
        QCOMPARE(b.archiveSize, s.archiveSize);
        QCOMPARE(b.failuresSinceSuccess, 2);
        QVERIFY(b.staleAlarmed);
        QCOMPARE(b.retryAttempt, 2);
        QCOMPARE(b.retryAt, s.retryAt);
        QVERIFY(b.running);
        QCOMPARE(b.running->stage, RunStage::Transferring);
        QCOMPARE(b.running->bytesTotal, p.bytesTotal);
        QCOMPARE(b.running->archiveSize, p.archiveSize);
        QCOMPARE(b.running->attempt, 1);
        QVERIFY(!back.jobs[1].running);
        QCOMPARE(back.jobs[1].lastResult, RunResult::Unknown);
    }

    // Whatever lies in the file, reading gives a record (possibly empty) and never fails.
    void damagedFilesReadAsUnknown_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("jobs");
        QTest::newRow("missing") << QByteArray() << -1;
        QTest::newRow("empty") << QByteArray("") << 0;
        QTest::newRow("truncated") << QByteArray("{\"jobs\":[{\"position\":1,") << 0;
        QTest::newRow("not an object") << QByteArray("[1,2]") << 0;
        QTest::newRow("binary") << QByteArray("\x00\xff\x13", 3) << 0;
        QTest::newRow("bad entries skipped")
            << QByteArray("{\"jobs\":[{\"position\":0,\"backupname\":\"a\"},"
                          "{\"position\":2},7,"
                          "{\"position\":2,\"backupname\":\"b\",\"lastEnd\":\"yesterday\","
                          "\"retry\":{\"attempt\":1,\"at\":\"soon\"}}]}")
            << 1;
    }
    void damagedFilesReadAsUnknown()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, jobs);
        QTemporaryDir dir;
        if (jobs >= 0) {
            QFile f(runStatusPath(dir.path()));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(content);
        }
        const RunStatusRecord r = readRunStatus(dir.path());
        QCOMPARE(int(r.jobs.size()), qMax(jobs, 0));
        if (jobs == 1) {
            QVERIFY(!r.jobs[0].lastEnd.isValid());
            QCOMPARE(r.jobs[0].retryAttempt, 0); // a retry without a time is no retry
        }
    }

    void matchesByPositionThenUniqueName()
    {
        RunStatusRecord r;
        r.jobs = {job(1, QStringLiteral("a")), job(2, QStringLiteral("b")),
                  job(3, QStringLiteral("twin")), job(4, QStringLiteral("twin"))};
        QCOMPARE(findJobStatus(r, 2, QStringLiteral("b"))->position, 2);
        // "a" moved down one row (a job was added above): still its record.
        QCOMPARE(findJobStatus(r, 2, QStringLiteral("a"))->position, 1);
        // Renamed: nothing.
        QVERIFY(!findJobStatus(r, 1, QStringLiteral("renamed")));
        // Two records of one name: only the exact position decides.
        QCOMPARE(findJobStatus(r, 4, QStringLiteral("twin"))->position, 4);
        QVERIFY(!findJobStatus(r, 5, QStringLiteral("twin")));
    }

    void staleAfterTwoIntervals_data()
    {
        QTest::addColumn<QString>("lastSuccess");
        QTest::addColumn<QString>("firstSeen");
        QTest::addColumn<int>("interval");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QString>("now");
        QTest::addColumn<bool>("stale");
        QTest::newRow("daily, 47 h") << "2026/12/07 02:00:00"
                                     << "" << 1 << "d"
                                     << "2026/12/09 01:00:00" << false;
        QTest::newRow("daily, 48 h") << "2026/12/07 02:00:00"
                                     << "" << 1 << "d"
                                     << "2026/12/09 02:00:00" << true;
        QTest::newRow("6-hourly, 13 h") << "2026/12/09 00:00:00"
                                        << "" << 6 << "h"
                                        << "2026/12/09 13:00:00" << true;
        QTest::newRow("never succeeded, added 1 day ago") << ""
                                                          << "2026/12/08 02:00:00" << 1 << "d"
                                                          << "2026/12/09 02:00:00" << false;
        QTest::newRow("never succeeded, added 2 days ago") << ""
                                                           << "2026/12/07 02:00:00" << 1 << "d"
                                                           << "2026/12/09 02:00:00" << true;
        QTest::newRow("nothing known") << ""
                                       << "" << 1 << "d"
                                       << "2030/01/01 00:00:00" << false;
        QTest::newRow("bad unit") << "2020/01/01 00:00:00"
                                  << "" << 1 << "w"
                                  << "2026/12/09 00:00:00" << false;
    }
    void staleAfterTwoIntervals()
    {
        QFETCH(QString, lastSuccess);
        QFETCH(QString, firstSeen);
        QFETCH(int, interval);
        QFETCH(QString, unit);
        QFETCH(QString, now);
        QFETCH(bool, stale);
        JobStatus s = job(1, QStringLiteral("j"));
        if (!lastSuccess.isEmpty())
            s.lastSuccess = readDateTime(lastSuccess);
        if (!firstSeen.isEmpty())
            s.firstSeen = readDateTime(firstSeen);
        QCOMPARE(isStale(s, interval, unit.at(0), readDateTime(now)), stale);
    }

    void retriesWaitThreeTimesLonger()
    {
        QCOMPARE(retryDelayMinutes(1), 5);
        QCOMPARE(retryDelayMinutes(2), 15);
        QCOMPARE(retryDelayMinutes(3), 45);
        QCOMPARE(retryDelayMinutes(5), 405);
    }
};

QTEST_GUILESS_MAIN(RunStatusTest)
#include "RunStatusTest.moc"
