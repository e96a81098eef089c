// The real service when runs fail: a retry after a refused connection (across a restart),
// the stale alarm and the recovery, and an archive damaged before it is sent. The service's
// clock runs faster (FastWallClock) so that minutes and hours of its schedule pass in
// seconds; the scheduler still ticks every 10 real seconds.
#include "fakes/FakeFtpServer.h"
#include "service/support/Archives.h"
#include "service/support/ServiceRunner.h"
#include "shared/JobTable.h"
#include "shared/RunStatus.h"
#include "transfer/ftp/FtpTestSupport.h"

#include <QtTest>

using namespace norvex;
using namespace norvex::testing;

namespace {

bool writeSettings(const QString &home, const QByteArray &more = {})
{
    return QDir().mkpath(home + QStringLiteral("tmp")) &&
           testing::writeFile(home + QStringLiteral("Norvex.ini"),
                              "[Option]\r\nTmpFolder=" + home.toUtf8() + "tmp\r\n" + more);
}

QString dueMinuteAgo()
{
    return shared::formatDateTime(QDateTime::currentDateTime().addSecs(-60));
}

shared::JobStatus statusOf(const QString &home, const QString &name)
{
    const shared::RunStatusRecord record = shared::readRunStatus(home);
    const shared::JobStatus *s = shared::findJobStatus(record, 1, name);
    return s ? *s : shared::JobStatus{};
}

// The next run times that the closing entries of name announce, in order.
QStringList announcedNextRuns(const QStringList &all, const QString &name)
{
    const QRegularExpression re(QStringLiteral("^I\\t") + esc(name) +
                                QStringLiteral(" バックアップ処理を終了しました。\\t.*"
                                               "次回バックアップは (.*) です。$"));
    QStringList out;
    for (const QString &e : all)
        if (const auto m = re.match(e); m.hasMatch())
            out << m.captured(1);
    return out;
}

} // namespace

class ServiceRetryTest : public QObject
{
    Q_OBJECT

private slots:
    void retriesARefusedConnectionAcrossARestart()
    {
        const FtpServer real = ftpServer(QStringLiteral("pyftpdlib"));
        if (real.port.isEmpty())
            qFatal("FTP test servers are not running (fixture FtpServersStart)");
        FakeFtpServer server(QStringLiteral("FirstConnectionRefusedServer"), {real.port});
        QVERIFY(!server.port().isEmpty());
        const QString home = makeInstallFolder(QStringLiteral("retry"));
        QVERIFY(writeSettings(home));
        QVERIFY(testing::writeFile(home + QStringLiteral("data/a.txt"), "new"));
        const QString folder = uniqueName(QStringLiteral("retry"));
        const QString stored = real.root + QLatin1Char('/') + folder + QLatin1Char('/');
        // An earlier run's archive: the failed run leaves it, the retry rotates it once.
        QVERIFY(testing::writeFile(stored + QStringLiteral("Norvex-retry-1-.zip"), "earlier"));
        JobValues job = fullJob(QStringLiteral("retry"), {home + QStringLiteral("data")}, QString(),
                                dueMinuteAgo());
        job[QStringLiteral("tobackup")] = QStringLiteral("FTP");
        job[QStringLiteral("hostname")] = QStringLiteral("127.0.0.1");
        job[QStringLiteral("port")] = server.port();
        job[QStringLiteral("username")] = real.user;
        job[QStringLiteral("password")] = real.password;
        job[QStringLiteral("op1")] = QStringLiteral("-1");
        job[QStringLiteral("op1val")] = folder;
        job[QStringLiteral("op3")] = QStringLiteral("-1");
        job[QStringLiteral("op3val")] = QStringLiteral("3");
        QVERIFY(writeJobs(home, {job}));

        // 30 times faster: the first retry (5 min) comes 10 real seconds after the failed
        // run, at least one tick later, which leaves time to stop the service before it.
        ServiceRunner first(home);
        QVERIFY(first.start(fastWallClock(30)));
        const QString planned = QStringLiteral("^I\\tretry ") +
                                esc(QStringLiteral("バックアップ処理を再試行します。\t再試行 1/3 "
                                                   "回目は ")) +
                                QStringLiteral("\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d です。$");
        QVERIFY(first.waitForEntries(planned, 1, 90000));
        QVERIFY(first.stop());
        const QString retryStart =
            QStringLiteral("I\tretry バックアップ処理を開始しました。\t再試行 1/3 回目");
        QVERIFY2(!entries(home).contains(retryStart), "the retry started before the stop");

        const shared::JobStatus failed = statusOf(home, QStringLiteral("retry"));
        QCOMPARE(failed.lastResult, shared::RunResult::TransferFailed);
        QCOMPARE(failed.failuresSinceSuccess, 1);
        QCOMPARE(failed.retryAttempt, 1);
        QCOMPARE(failed.retryAt, failed.lastEnd.addSecs(5 * 60));
        QVERIFY2(failed.lastError.startsWith(QStringLiteral("Exception : FTPサーバに接続できません"
                                                            "でした。")),
                 qPrintable(failed.lastError));
        QVERIFY(!failed.running);
        QVERIFY(!failed.lastSuccess.isValid());
        const QString nextRun = readJobs(home).first()[QStringLiteral("backupdt")];
        QCOMPARE(QDir(stored).entryList(QDir::Files),
                 QStringList{QStringLiteral("Norvex-retry-1-.zip")});

        // A new process, its clock back at the real time: the plan still stands.
        ServiceRunner second(home);
        QVERIFY(second.start(fastWallClock(30)));
        const QString closing = QStringLiteral("^I\\tretry バックアップ処理を終了しました。");
        QVERIFY(second.waitForEntries(closing, 2, 180000));
        QVERIFY(second.stop());

        const QStringList all = jobEntries(home, QStringLiteral("retry"));
        QCOMPARE(all.count(retryStart), 1);
        QCOMPARE(countMatching(all, QStringLiteral("^I\\tretry バックアップ処理を開始しました。$")),
                 1);
        QCOMPARE(countMatching(all, QStringLiteral("^E\\t")), 1);
        QCOMPARE(countMatching(all, QStringLiteral("^E\\tretry リモートコピー処理中にエラーが発生"
                                                   "しました。\\tException : FTPサーバに接続")),
                 1);
        QCOMPARE(countMatching(all, planned), 1);
        QCOMPARE(countMatching(all, QStringLiteral("^I\\tretry バックアップが再び成功しました。"
                                                   "\\t前回のバックアップ成功 なし 以降の失敗 1 "
                                                   "回$")),
                 1);
        // The retry kept the grid: both runs announce the time the first one stored.
        QCOMPARE(announcedNextRuns(all, QStringLiteral("retry")), (QStringList{nextRun, nextRun}));
        QCOMPARE(readJobs(home).first()[QStringLiteral("backupdt")], nextRun);

        QCOMPARE(QDir(stored).entryList(QDir::Files),
                 (QStringList{QStringLiteral("Norvex-retry-1-.zip"),
                              QStringLiteral("Norvex-retry-2-.zip")}));
        QCOMPARE(readFile(stored + QStringLiteral("Norvex-retry-2-.zip")), QByteArray("earlier"));
        QVERIFY(testArchive(stored + QStringLiteral("Norvex-retry-1-.zip")));
        QVERIFY(holdsExactly(
            extract(stored + QStringLiteral("Norvex-retry-1-.zip"), home + QStringLiteral("x")),
            {{QStringLiteral("a.txt"), QByteArray("new")}}));

        const shared::JobStatus done = statusOf(home, QStringLiteral("retry"));
        QCOMPARE(done.lastResult, shared::RunResult::Success);
        QCOMPARE(done.failuresSinceSuccess, 0);
        QCOMPARE(done.retryAttempt, 0);
        QVERIFY(!done.retryAt.isValid());
        QVERIFY(done.lastError.isEmpty());
        QCOMPARE(done.lastSuccess, done.lastEnd);
        QVERIFY(done.lastStart.isValid() && done.lastStart <= done.lastEnd);
        QCOMPARE(done.archiveSize,
                 QFileInfo(stored + QStringLiteral("Norvex-retry-1-.zip")).size());
        QVERIFY(!done.running);
        QVERIFY(!done.staleAlarmed);
    }

    void staleAlarmOncePerStreakThenRecovered()
    {
        // 90 times faster: an hourly job runs every 40 real seconds and is stale two hours
        // after the service first saw it.
        const QString home = makeInstallFolder(QStringLiteral("stale"));
        const QString dest = home + QStringLiteral("dest");
        QVERIFY(QDir().mkpath(dest));
        QVERIFY(writeSettings(home, "RetryCount=0\r\n"));
        const QString data = home + QStringLiteral("data");
        JobValues job = fullJob(QStringLiteral("stale"), {data}, dest, dueMinuteAgo());
        job[QStringLiteral("backuptani")] = QStringLiteral("h");
        QVERIFY(writeJobs(home, {job}));

        ServiceRunner service(home);
        QVERIFY(service.start(fastWallClock(90)));
        const QString alarm =
            QStringLiteral("^E\\tstale ") +
            esc(QStringLiteral("前回のバックアップ成功から2回分の間隔を過ぎました。\t登録 ")) +
            QStringLiteral(".* 以降、バックアップは一度も成功していません。$");
        QVERIFY(service.waitForEntries(alarm, 1, 240000));
        // The streak goes on for two more failed runs: no second alarm.
        const QString closing = QStringLiteral("^I\\tstale バックアップ処理を終了しました。");
        const int runs = countMatching(entries(home), closing);
        QVERIFY(service.waitForEntries(closing, runs + 2, 180000));
        QVERIFY(statusOf(home, QStringLiteral("stale")).staleAlarmed);
        QVERIFY(testing::writeFile(data + QStringLiteral("/a.txt"), "back"));
        const QString recovered = QStringLiteral("^I\\tstale バックアップが再び成功しました。\\t"
                                                 "前回のバックアップ成功 なし 以降の失敗 \\d+ 回$");
        QVERIFY(service.waitForEntries(recovered, 1, 120000));
        QVERIFY(service.stop());

        const QStringList all = jobEntries(home, QStringLiteral("stale"));
        QCOMPARE(countMatching(all, alarm), 1);
        QCOMPARE(countMatching(all, recovered), 1);
        QCOMPARE(countMatching(all, QStringLiteral("再試行")), 0);
        const shared::JobStatus s = statusOf(home, QStringLiteral("stale"));
        QVERIFY(!s.staleAlarmed);
        QCOMPARE(s.failuresSinceSuccess, 0);
        QCOMPARE(s.lastResult, shared::RunResult::Success);
        QVERIFY(s.lastSuccess.isValid());
        QVERIFY(s.firstSeen.isValid() && s.firstSeen < s.lastSuccess);
        QCOMPARE(QDir(dest).entryList(QDir::Files),
                 QStringList{QStringLiteral("Norvex-stale.zip")});
    }

    void aDamagedArchiveFailsTheRun()
    {
        // The service's test seam changes one byte of the new archive before its test.
        const QString home = makeInstallFolder(QStringLiteral("damaged"));
        const QString dest = home + QStringLiteral("dest");
        const QString tmp = home + QStringLiteral("tmp");
        QVERIFY(writeSettings(home, "RetryCount=0\r\n"));
        QVERIFY(testing::writeFile(home + QStringLiteral("data/noise.bin"), noise(256 << 10, 3)));
        QVERIFY(testing::writeFile(dest + QStringLiteral("/Norvex-damaged-1-.zip"), "earlier"));
        JobValues job = fullJob(QStringLiteral("damaged"), {home + QStringLiteral("data")}, dest,
                                dueMinuteAgo());
        job[QStringLiteral("op3")] = QStringLiteral("-1");
        job[QStringLiteral("op3val")] = QStringLiteral("2");
        QVERIFY(writeJobs(home, {job}));

        ServiceRunner service(home);
        QVERIFY(service.start({QStringLiteral("NORVEX_TEST_DAMAGE_ARCHIVE=1")}));
        QVERIFY(service.waitForEntries(
            QStringLiteral("^I\\tdamaged バックアップ処理を終了しました。"), 1, 60000));
        QVERIFY(service.stop());

        const QString kept = tmp + QStringLiteral("/Norvex-damaged.zip.damaged");
        const QString detail =
            QStringLiteral("Exception : アーカイブの検査で誤りが見つかりました。 ");
        const QStringList all = jobEntries(home, QStringLiteral("damaged"));
        const QString failure =
            QStringLiteral("^E\\tdamaged ") +
            esc(QStringLiteral("作成したアーカイブが正しく読み出せないため、転送しません。\t") +
                detail) +
            QStringLiteral(".+") +
            esc(QStringLiteral(" 調査用に ") + kept + QStringLiteral(" に残しました。")) +
            QStringLiteral("$");
        QVERIFY2(hasOne(all, failure), qPrintable(all.join(QLatin1Char('\n'))));
        const qsizetype at = all.indexOf(QRegularExpression(failure));
        QCOMPARE(all.value(at + 1),
                 QStringLiteral("E\tdamaged バックアップ処理は異常終了しました。"));
        QVERIFY(all.value(at + 2).startsWith(
            QStringLiteral("I\tdamaged バックアップ処理を終了しました。")));
        QCOMPARE(countMatching(all, QStringLiteral("コピー処理を開始しました。")), 0);

        QCOMPARE(filesBelow(dest),
                 (QMap<QString, QByteArray>{{QStringLiteral("Norvex-damaged-1-.zip"), "earlier"}}));
        QVERIFY(QFileInfo::exists(kept));
        QVERIFY(temporaryArchives(tmp, QStringLiteral("Norvex-damaged.zip")).isEmpty());
        const shared::JobStatus s = statusOf(home, QStringLiteral("damaged"));
        QCOMPARE(s.lastResult, shared::RunResult::ArchiveFailed);
        QVERIFY2(s.lastError.startsWith(detail), qPrintable(s.lastError));
        QCOMPARE(s.failuresSinceSuccess, 1);
        QCOMPARE(s.retryAttempt, 0);
    }
};

QTEST_GUILESS_MAIN(ServiceRetryTest)
#include "ServiceRetryTest.moc"
