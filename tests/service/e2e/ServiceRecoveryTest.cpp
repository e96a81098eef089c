// The real service killed (and stopped) in the middle of a run, and the configuration
// program saving the job table while a run is in progress. Three services side by side.

#include "service/support/Archives.h"
#include "service/support/ServiceRunner.h"
#include "shared/JobTable.h"

#include <QtTest>

#include <memory>

using namespace norvex;
using namespace norvex::testing;

namespace {

QByteArray tableBytes(const QString &home)
{
    return readFile(shared::jobTablePath(home));
}

// A service whose run is cut short: by SIGKILL, or by the stop request.
struct Interrupted
{
    QString home;
    QString tmp;
    QByteArray table;
    std::unique_ptr<ServiceRunner> service;
};

} // namespace

class ServiceRecoveryTest : public QObject
{
    Q_OBJECT

private slots:
    void survivesInterruptionAndKeepsConcurrentEdits()
    {
        const QString due = shared::formatDateTime(QDateTime::currentDateTime().addSecs(-60));
        const QString next = shared::formatDateTime(shared::readDateTime(due).addDays(1));

        // K (killed) and T (stopped): a job big enough to be caught in the middle.
        Interrupted runs[2];
        for (int i = 0; i < 2; ++i) {
            Interrupted &r = runs[i];
            r.home = makeInstallFolder(i == 0 ? QStringLiteral("kill") : QStringLiteral("term"));
            r.tmp = r.home + QStringLiteral("tmp");
            QVERIFY(QDir().mkpath(r.tmp) && QDir().mkpath(r.home + QStringLiteral("dest")));
            QVERIFY(writeFile(r.home + QStringLiteral("Norvex.ini"),
                              "[Option]\r\nTmpFolder=" + r.tmp.toUtf8() + "\r\n"));
            QVERIFY(writeFile(r.home + QStringLiteral("data/big.bin"), noise(32 << 20, 11 + i)));
            QVERIFY(
                writeJobs(r.home, {fullJob(QStringLiteral("big"), {r.home + QStringLiteral("data")},
                                           r.home + QStringLiteral("dest"), due)}));
            r.table = tableBytes(r.home);
            r.service = std::make_unique<ServiceRunner>(r.home);
        }

        // E: the configuration program saves while the run is in progress. E's settings
        // name no temporary folder (the key is there but empty): it comes from TEMP.
        const QString e = makeInstallFolder(QStringLiteral("edit"));
        QVERIFY(QDir().mkpath(e + QStringLiteral("dest")) &&
                QDir().mkpath(e + QStringLiteral("tmp")));
        QVERIFY(writeFile(e + QStringLiteral("Norvex.ini"), "[Option]\r\nTmpFolder=\r\n\r\n"));
        QVERIFY(writeFile(e + QStringLiteral("data/mid.bin"), noise(16 << 20, 12)));
        JobValues edited = fullJob(QStringLiteral("edited"), {e + QStringLiteral("data")},
                                   e + QStringLiteral("dest"), due);
        JobValues other = fullJob(QStringLiteral("other"), {e + QStringLiteral("data")},
                                  e + QStringLiteral("dest"),
                                  shared::formatDateTime(QDateTime::currentDateTime().addDays(3)));
        QVERIFY(writeJobs(e, {edited, other}));

        ServiceRunner editing(e);
        for (Interrupted &r : runs)
            QVERIFY(r.service->start());
        QVERIFY(editing.start({QStringLiteral("TEMP=") + e + QStringLiteral("tmp")}));

        // E: the change arrives after the run started and before it ends.
        QVERIFY(editing.waitForEntries(
            QStringLiteral("^I\\tedited バックアップ処理を開始しました。$"), 1, 60000));
        edited[QStringLiteral("op2val")] = QStringLiteral("changed meanwhile");
        other[QStringLiteral("localbackupdir")] = QStringLiteral("/somewhere/else");
        const JobValues added =
            fullJob(QStringLiteral("added"), {}, e,
                    shared::formatDateTime(QDateTime::currentDateTime().addDays(5)));
        QVERIFY(writeJobs(e, {edited, other, added}));
        QVERIFY2(countMatching(jobEntries(e, QStringLiteral("edited")),
                               QStringLiteral("バックアップ処理を終了しました。")) == 0,
                 "the run ended before the change was saved");

        // K and T: interrupted during the run; the job table is as it was.
        for (int i = 0; i < 2; ++i) {
            Interrupted &r = runs[i];
            QVERIFY(r.service->waitForEntries(QStringLiteral("^I\\tbig 圧縮処理を開始しました。$"),
                                              1, 60000));
            // Mid-run: the closing entry, written after the job table, has not come.
            QCOMPARE(
                countMatching(entries(r.home), QStringLiteral("バックアップ処理を終了しました。")),
                0);
            if (i == 0)
                r.service->kill();
            else
                QVERIFY(r.service->stop());
            QCOMPARE(tableBytes(r.home), r.table);
        }
        QCOMPARE(entries(runs[1].home).last(),
                 QStringLiteral("I\tNorvexサービスを終了いたしました。"));

        QVERIFY(editing.waitForEntries(
            QStringLiteral("^I\\tedited バックアップ処理を終了しました。"), 1, 60000));
        const QList<JobValues> jobs = readJobs(e);
        QCOMPARE(jobs.size(), 3);
        edited[QStringLiteral("backupdt")] = next;
        QCOMPARE(jobs[0], edited);
        QCOMPARE(jobs[1], other);
        QCOMPARE(jobs[2], added);
        QVERIFY(editing.stop());
        QVERIFY(testArchive(e + QStringLiteral("dest/Norvex-edited.zip")));
        QCOMPARE(QDir(e + QStringLiteral("tmp")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());

        // K and T after a restart: the job is still due and runs once, to its end. The
        // service runs at idle priority: on a machine kept busy it gets little CPU.
        for (Interrupted &r : runs)
            QVERIFY(r.service->start());
        for (Interrupted &r : runs) {
            QVERIFY(r.service->waitForEntries(
                QStringLiteral("^I\\tbig バックアップ処理を終了しました。.*") +
                    esc(QStringLiteral("次回バックアップは ") + next + QStringLiteral(" です。")),
                1, 300000));
            QVERIFY(r.service->stop());
            const QStringList all = entries(r.home);
            QCOMPARE(
                countMatching(all, QStringLiteral("^I\\tbig バックアップ処理を開始しました。$")),
                2);
            QCOMPARE(
                countMatching(all, QStringLiteral("^I\\tbig バックアップ処理を終了しました。")), 1);
            QCOMPARE(countMatching(all, QStringLiteral("^E\\t")), 0);
            QCOMPARE(countMatching(all, QStringLiteral("^I\\tNorvexサービスを開始いたしました。$")),
                     2);
            QCOMPARE(readJobs(r.home).value(0).value(QStringLiteral("backupdt")), next);
            QVERIFY(testArchive(r.home + QStringLiteral("dest/Norvex-big.zip")));
            QCOMPARE(QDir(r.tmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        }
    }
};

QTEST_GUILESS_MAIN(ServiceRecoveryTest)
#include "ServiceRecoveryTest.moc"
