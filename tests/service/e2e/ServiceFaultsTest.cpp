// The real service with jobs that fail in each of their steps, and a job table edited by
// hand, all in one service; a second service whose temporary folder is missing. Every
// failing run still ends: error entry, closing entry, next run time advanced.

#include "platform/Paths.h"
#include "service/support/Archives.h"
#include "service/support/ServiceRunner.h"
#include "shared/JobTable.h"

#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using namespace norvex;
using namespace norvex::testing;

class ServiceFaultsTest : public QObject
{
    Q_OBJECT

private slots:
    void failingRunsEndAndBadRowsAreReportedOnce()
    {
        const int fd = ::open(kUnreadable.toLocal8Bit().constData(), O_RDONLY);
        if (fd >= 0)
            ::close(fd);
        QVERIFY2(fd < 0, "the unreadable source can be read on this machine");

        // Service A: one job per fault, bad rows, and a good job beside them.
        const QString a = makeInstallFolder(QStringLiteral("faults"));
        const QString tmp = a + QStringLiteral("tmp");
        QVERIFY(QDir().mkpath(tmp));
        QVERIFY(writeFile(a + QStringLiteral("Norvex.ini"),
                          "[Option]\r\nTmpFolder=" + tmp.toUtf8() + "\r\n"));
        const QString data = a + QStringLiteral("data");
        QVERIFY(writeFile(data + QStringLiteral("/ok.txt"), "ok"));

        const QString due = shared::formatDateTime(QDateTime::currentDateTime().addSecs(-60));
        const QString next = shared::formatDateTime(shared::readDateTime(due).addSecs(3600));
        auto job = [&](const QString &name, const QString &dest) {
            JobValues j = fullJob(name, {data}, dest, due);
            j[QStringLiteral("backupint")] = QStringLiteral("1");
            j[QStringLiteral("backuptani")] = QStringLiteral("h");
            return j;
        };
        const QString blockedDest = a + QStringLiteral("dest_b");
        QMap<QString, QByteArray> generations;
        for (int k = 1; k <= 3; ++k)
            generations[QStringLiteral("Norvex-blocked-%1-.zip").arg(k)] =
                "generation " + QByteArray::number(k);
        for (auto it = generations.begin(); it != generations.end(); ++it)
            QVERIFY(writeFile(blockedDest + QLatin1Char('/') + it.key(), it.value()));
        // Something that is not the service's sits where the new archive would be stored.
        QVERIFY(writeFile(blockedDest + QStringLiteral("/Norvex-blocked-1-.zip.part/keep"), "x"));
        generations[QStringLiteral("Norvex-blocked-1-.zip.part/keep")] = "x";

        JobValues nodest = job(QStringLiteral("nodest"), a + QStringLiteral("missing"));
        JobValues blocked = job(QStringLiteral("blocked"), blockedDest);
        blocked[QStringLiteral("op3")] = QStringLiteral("-1");
        blocked[QStringLiteral("op3val")] = QStringLiteral("3");
        JobValues unreadable = job(QStringLiteral("unreadable"), a + QStringLiteral("dest_u"));
        unreadable[QStringLiteral("backuplist")] = shared::encodeSourceList({data, kUnreadable});
        JobValues unsafe = job(QStringLiteral("bad/../name"), a + QStringLiteral("dest_n"));
        JobValues tape = job(QStringLiteral("tape"), a + QStringLiteral("dest_t"));
        tape[QStringLiteral("tobackup")] = QStringLiteral("Tape");
        JobValues badDate = job(QStringLiteral("baddate"), a);
        badDate[QStringLiteral("backupdt")] = QStringLiteral("yesterday");
        JobValues zero = job(QStringLiteral("zero"), a);
        zero[QStringLiteral("backupint")] = QStringLiteral("0");
        JobValues unit = job(QStringLiteral("unit"), a);
        unit[QStringLiteral("backuptani")] = QStringLiteral("x");
        const QString goodDest = a + QStringLiteral("dest_g");
        QVERIFY(QDir().mkpath(goodDest));
        JobValues good = job(QStringLiteral("good"), goodDest);
        // Its archive's name is generation 1 of a job "gen", stored in the same folder.
        const QString genDest = a + QStringLiteral("dest_gen");
        QVERIFY(writeFile(genDest + QStringLiteral("/Norvex-gen-1-.zip"), "gen's generation 1"));
        JobValues genLike = job(QStringLiteral("gen-1-"), genDest);
        QVERIFY(writeJobs(
            a, {nodest, blocked, unreadable, unsafe, tape, badDate, zero, unit, good, genLike}));

        // Service B: the temporary folder it is given does not exist.
        const QString b = makeInstallFolder(QStringLiteral("notmp"));
        const QString missingTmp = b + QStringLiteral("no-such-tmp");
        QVERIFY(writeFile(b + QStringLiteral("Norvex.ini"),
                          "[Option]\r\nTmpFolder=" + missingTmp.toUtf8() + "\r\n"));
        QVERIFY(QDir().mkpath(b + QStringLiteral("dest")));
        JobValues zipJob =
            fullJob(QStringLiteral("zipjob"), {data}, b + QStringLiteral("dest"), due);
        JobValues sevenJob = zipJob;
        sevenJob[QStringLiteral("backupname")] = QStringLiteral("sevenjob");
        sevenJob[QStringLiteral("op4")] = QStringLiteral("1");
        QVERIFY(writeJobs(b, {zipJob, sevenJob}));
        const QString nextDay = shared::formatDateTime(shared::readDateTime(due).addDays(1));

        ServiceRunner serviceA(a);
        ServiceRunner serviceB(b);
        QVERIFY(serviceA.start());
        QVERIFY(serviceB.start());

        for (const QString &name :
             {QStringLiteral("nodest"), QStringLiteral("blocked"), QStringLiteral("unreadable"),
              QStringLiteral("bad/../name"), QStringLiteral("tape"), QStringLiteral("good"),
              QStringLiteral("gen-1-")})
            QVERIFY2(serviceA.waitForEntries(closingFor(name, next), 1, 60000), qPrintable(name));
        for (const QString &name : {QStringLiteral("zipjob"), QStringLiteral("sevenjob")})
            QVERIFY2(serviceB.waitForEntries(closingFor(name, nextDay), 1, 60000),
                     qPrintable(name));
        // Two more ticks: bad rows are not reported again.
        QTest::qWait(21000);
        QVERIFY(serviceA.running() && serviceB.running());
        QVERIFY(serviceA.stop());
        QVERIFY(serviceB.stop());

        const QStringList all = entries(a);
        const QString copyError =
            QStringLiteral(" リモートコピー処理中にエラーが発生しました。\\t");
        // Destination folder missing: the archive stays in the temporary folder.
        QVERIFY(hasOne(
            all, QStringLiteral("^E\\tnodest") + copyError +
                     esc(QStringLiteral(
                             "Exception : ローカルディスクへのバックアップに失敗しました。 ") +
                         platform::systemErrorText(ENOENT)) +
                     QLatin1Char('$')));
        QVERIFY(testArchive(temporaryArchive(tmp, QStringLiteral("Norvex-nodest.zip"))));
        QVERIFY(!QFileInfo::exists(a + QStringLiteral("missing")));
        // The new archive cannot be stored: the generations are exactly as before.
        QVERIFY(hasOne(
            all, QStringLiteral("^E\\tblocked") + copyError +
                     esc(QStringLiteral(
                             "Exception : ローカルディスクへのバックアップに失敗しました。 ") +
                         platform::systemErrorText(EEXIST)) +
                     QLatin1Char('$')));
        QCOMPARE(filesBelow(blockedDest), generations);
        QVERIFY(testArchive(temporaryArchive(tmp, QStringLiteral("Norvex-blocked.zip"))));
        // Unreadable source: the archive step fails with the file layer's error.
        QVERIFY(hasOne(
            all, QStringLiteral(
                     "^E\\tCreateArc Error 圧縮処理中にエラーが発生しました。\\tEFOpenError : .*") +
                     esc(kUnreadable)));
        QVERIFY(
            hasOne(all, QStringLiteral("^E\\tunreadable バックアップ処理は異常終了しました。$")));
        QVERIFY(!QFileInfo::exists(a + QStringLiteral("dest_u")));
        // Unsafe name: refused before anything is written.
        QVERIFY(hasOne(
            all, QStringLiteral(
                     "^E\\tCreateArc Error 圧縮処理中にエラーが発生しました。\\tException : .*") +
                     esc(QStringLiteral("「bad/../name」"))));
        QVERIFY(hasOne(
            all, QStringLiteral("^E\\tbad/\\.\\./name バックアップ処理は異常終了しました。$")));
        QCOMPARE(QDir(tmp).entryList({QStringLiteral("Norvex-bad*")}, QDir::AllEntries),
                 QStringList());
        QVERIFY(!QFileInfo::exists(tmp + QStringLiteral("/name.zip")));
        // A name that makes another job's generation name: refused like an unsafe one.
        QVERIFY(hasOne(
            all, QStringLiteral(
                     "^E\\tCreateArc Error 圧縮処理中にエラーが発生しました。\\tException : .*") +
                     esc(QStringLiteral("「gen-1-」 は 「-数字-」 で終わるため"))));
        QVERIFY(hasOne(all, QStringLiteral("^E\\tgen-1- バックアップ処理は異常終了しました。$")));
        QCOMPARE(filesBelow(genDest),
                 (QMap<QString, QByteArray>{
                     {QStringLiteral("Norvex-gen-1-.zip"), "gen's generation 1"}}));
        QCOMPARE(QDir(tmp).entryList({QStringLiteral("Norvex-gen*")}, QDir::AllEntries),
                 QStringList());
        // Unknown destination kind: named in the error, nothing transferred.
        QVERIFY(hasOne(all, QStringLiteral("^I\\ttape ローカルコピー処理を開始しました。")));
        QVERIFY(hasOne(all, QStringLiteral("^E\\ttape") + copyError +
                                QStringLiteral("Exception : .*「Tape」")));
        QCOMPARE(countMatching(all, QStringLiteral("^I\\ttape リモートコピー処理を終了しました。")),
                 0);
        QVERIFY(testArchive(temporaryArchive(tmp, QStringLiteral("Norvex-tape.zip"))));
        // The good job ran beside all of them.
        QVERIFY(hasOne(all, QStringLiteral("^I\\tgood リモートコピー処理を終了しました。")));
        QVERIFY(testArchive(goodDest + QStringLiteral("/Norvex-good.zip")));
        // Each bad row once, naming the job and the value.
        QVERIFY(hasOne(all, QStringLiteral("^E\\tbaddate .*\\t.*「yesterday」")));
        QVERIFY(hasOne(all, QStringLiteral("^E\\tzero .*\\t.*backupint.*「0」")));
        QVERIFY(hasOne(all, QStringLiteral("^E\\tunit .*\\t.*backuptani.*「x」")));
        QCOMPARE(countMatching(all, QStringLiteral("^E\\t")), 12);

        // Every run was rescheduled; the bad rows and every other value are as written.
        const QList<JobValues> jobs = readJobs(a);
        QCOMPARE(jobs.size(), 10);
        for (int i : {0, 1, 2, 3, 4, 8, 9})
            QCOMPARE(jobs[i][QStringLiteral("backupdt")], next);
        QCOMPARE(jobs[5], badDate);
        QCOMPARE(jobs[6], zero);
        QCOMPARE(jobs[7], unit);
        JobValues expectedGood = good;
        expectedGood[QStringLiteral("backupdt")] = next;
        QCOMPARE(jobs[8], expectedGood);

        // Service B: the archive step fails for both formats, both runs end.
        const QStringList allB = entries(b);
        QVERIFY(hasOne(
            allB,
            QStringLiteral("^E\\tCreateArc Error 圧縮処理中にエラーが発生しました。\\t\\w+ : .*") +
                esc(missingTmp + QStringLiteral("/Norvex-zipjob.zip"))));
        QCOMPARE(
            countMatching(
                allB, QStringLiteral("^E\\tCreateArc Error 圧縮処理中にエラーが発生しました。\\t")),
            2);
        QVERIFY(hasOne(allB, QStringLiteral("^E\\tzipjob バックアップ処理は異常終了しました。$")));
        QVERIFY(
            hasOne(allB, QStringLiteral("^E\\tsevenjob バックアップ処理は異常終了しました。$")));
        for (const JobValues &j : readJobs(b))
            QCOMPARE(j[QStringLiteral("backupdt")], nextDay);
        QVERIFY(!QFileInfo::exists(missingTmp));
    }
};

QTEST_GUILESS_MAIN(ServiceFaultsTest)
#include "ServiceFaultsTest.moc"
