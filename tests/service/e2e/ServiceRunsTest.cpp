// The real service, a ZIP job and a 7z job with a password, both into a sub-folder of a
// local folder with 3 generations, run four times ("run now" between the runs, as the
// configuration program does it).

#include "service/support/Archives.h"
#include "service/support/ServiceRunner.h"
#include "shared/JobTable.h"

#include <QLocale>
#include <QtTest>

using namespace norvex;
using namespace norvex::testing;

namespace {

const QString kZipJob = QStringLiteral("web.site");
const QString k7zJob = QStringLiteral("daily7");
const QString kPassword = QStringLiteral("pa ss wörd");

// The six entries of one successful run, in order.
QStringList runPattern(const QString &name, const QString &format, const QString &destination,
                       const QString &next)
{
    const QString n = QStringLiteral("^I\\t") + esc(name);
    const QString hms = QStringLiteral("\\d\\d:\\d\\d:\\d\\d");
    return {n + QStringLiteral(" バックアップ処理を開始しました。$"),
            n + QStringLiteral(" 圧縮処理を開始しました。$"),
            n + QLatin1Char(' ') + format +
                QStringLiteral("形式圧縮処理を終了しました。\\t圧縮処理時間 ") + hms +
                QStringLiteral("\\\\n圧縮後のファイルサイズ (\\d{1,3}(,\\d\\d\\d)*)? KB$"),
            n +
                QStringLiteral(
                    " ローカルコピー処理を開始しました。\\tバックアップ先 ローカルフォルダ ") +
                esc(destination) + QLatin1Char('$'),
            n + QStringLiteral(" リモートコピー処理を終了しました。\\tリモートコピー処理時間 ") +
                hms + QLatin1Char('$'),
            n + QStringLiteral(" バックアップ処理を終了しました。\\tバックアップ処理時間 ") + hms +
                QStringLiteral("\\\\n次回バックアップは ") + esc(next) +
                QStringLiteral(" です。$")};
}

} // namespace

class ServiceRunsTest : public QObject
{
    Q_OBJECT

private slots:
    void runsZipAnd7zJobsFourTimes()
    {
        const QString home = makeInstallFolder(QStringLiteral("runs"));
        const QString tmp = home + QStringLiteral("tmp");
        const QString dest = home + QStringLiteral("dest");
        const QString src = home + QStringLiteral("data/src");
        const QString single = home + QStringLiteral("data/one file.txt");
        QVERIFY(QDir().mkpath(tmp) && QDir().mkpath(dest));
        QVERIFY(writeFile(home + QStringLiteral("Norvex.ini"),
                          "[Option]\r\nTmpFolder=" + tmp.toUtf8() + "\r\n\r\n"));

        QMap<QString, QByteArray> sources{
            {QStringLiteral("sub dir/b.bin"), noise(300000, 7)},
            {QStringLiteral("日本語 ファイル.txt"), QStringLiteral("内容").toUtf8()},
            {QStringLiteral("deep/er/c.txt"), QByteArray(50000, 'c')}};
        for (auto it = sources.begin(); it != sources.end(); ++it)
            QVERIFY(writeFile(src + QLatin1Char('/') + it.key(), it.value()));
        QVERIFY(writeFile(single, "single"));
        sources[QStringLiteral("one file.txt")] = "single";

        const QDateTime first = QDateTime::currentDateTime().addSecs(-30);
        const QString firstText = shared::formatDateTime(first);
        const QString nextText = shared::formatDateTime(shared::readDateTime(firstText).addDays(1));
        JobValues zipJob = fullJob(kZipJob, {src, single}, dest, firstText);
        JobValues sevenJob = fullJob(k7zJob, {src, single}, dest, firstText);
        for (JobValues *job : {&zipJob, &sevenJob}) {
            (*job)[QStringLiteral("op1")] = QStringLiteral("-1");
            (*job)[QStringLiteral("op1val")] = QStringLiteral("sub");
            (*job)[QStringLiteral("op3")] = QStringLiteral("-1");
            (*job)[QStringLiteral("op3val")] = QStringLiteral("3");
        }
        sevenJob[QStringLiteral("op4")] = QStringLiteral("1");
        sevenJob[QStringLiteral("op2")] = QStringLiteral("-1");
        sevenJob[QStringLiteral("op2val")] = kPassword;
        QVERIFY(writeJobs(home, {zipJob, sevenJob}));

        ServiceRunner service(home);
        QVERIFY(service.start());
        const QString closing = QStringLiteral(" バックアップ処理を終了しました。");
        for (int round = 1; round <= 4; ++round) {
            QVERIFY(writeFile(src + QStringLiteral("/a.txt"), "run " + QByteArray::number(round)));
            if (round > 1) {
                // Run now: the next run time moved back on the grid, saved while idle.
                QList<JobValues> jobs = readJobs(home);
                QCOMPARE(jobs.size(), 2);
                for (JobValues &job : jobs) {
                    QCOMPARE(job[QStringLiteral("backupdt")], nextText);
                    job[QStringLiteral("backupdt")] = shared::formatDateTime(
                        shared::runNowTime(shared::readDateTime(nextText), 1, QLatin1Char('d'),
                                           QDateTime::currentDateTime()));
                    QCOMPARE(job[QStringLiteral("backupdt")], firstText);
                }
                QVERIFY(writeJobs(home, jobs));
            }
            for (const QString &name : {kZipJob, k7zJob})
                QVERIFY2(
                    service.waitForEntries(QStringLiteral("^I\\t") + esc(name) + closing, round,
                                           60000),
                    qPrintable(QStringLiteral("round %1 of %2 did not end").arg(round).arg(name)));
        }
        for (const JobValues &job : readJobs(home))
            QCOMPARE(job[QStringLiteral("backupdt")], nextText);
        QVERIFY(service.stop());

        // The destination holds generations 1 to 3 of both jobs and nothing else.
        const QString sub = dest + QStringLiteral("/sub");
        QStringList expectedNames;
        for (int k = 1; k <= 3; ++k)
            expectedNames << QStringLiteral("Norvex-web.site-%1-.zip").arg(k)
                          << QStringLiteral("Norvex-daily7-%1-.7z").arg(k);
        expectedNames.sort();
        QCOMPARE(QDir(sub).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name),
                 expectedNames);
        QCOMPARE(QDir(tmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());

        for (int k = 1; k <= 3; ++k) {
            QMap<QString, QByteArray> expected = sources;
            expected[QStringLiteral("a.txt")] =
                "run " + QByteArray::number(5 - k); // gen 1 is the newest
            const QString zip = sub + QStringLiteral("/Norvex-web.site-%1-.zip").arg(k);
            const QString seven = sub + QStringLiteral("/Norvex-daily7-%1-.7z").arg(k);
            QVERIFY(testArchive(zip));
            QVERIFY(testArchive(seven, kPassword));
            QVERIFY(holdsExactly(extract(zip, home + QStringLiteral("x")), expected));
            QVERIFY(holdsExactly(extract(seven, home + QStringLiteral("x"), kPassword), expected));
            QVERIFY2(!testArchive(seven, QStringLiteral("wrong")),
                     "the 7z archive is not encrypted");
        }

        // The log: start entry, four runs of six entries per job, stop entry.
        const QStringList all = entries(home);
        QCOMPARE(all.first(), QStringLiteral("I\tNorvexサービスを開始いたしました。"));
        QCOMPARE(all.last(), QStringLiteral("I\tNorvexサービスを終了いたしました。"));
        QCOMPARE(countMatching(all, QStringLiteral("^E\\t")), 0);
        const QMap<QString, QString> formats{{kZipJob, QStringLiteral("ZIP")},
                                             {k7zJob, QStringLiteral("7Z")}};
        for (const QString &name : {kZipJob, k7zJob}) {
            const QStringList lines = jobEntries(home, name);
            QCOMPARE(lines.size(), 24);
            const QStringList pattern = runPattern(name, formats[name], dest, nextText);
            for (int i = 0; i < lines.size(); ++i)
                QVERIFY2(
                    QRegularExpression(pattern[i % 6]).match(lines[i]).hasMatch(),
                    qPrintable(lines[i] + QStringLiteral("\n  does not match ") + pattern[i % 6]));
            // The size entry of the last run names generation 1 in units of 1000 bytes.
            const QString gen1 = sub + (name == kZipJob ? QStringLiteral("/Norvex-web.site-1-.zip")
                                                        : QStringLiteral("/Norvex-daily7-1-.7z"));
            const qint64 kb = QFileInfo(gen1).size() / 1000;
            QVERIFY(kb > 0);
            QVERIFY2(lines[20].endsWith(QStringLiteral("圧縮後のファイルサイズ ") +
                                        QLocale(QLocale::English).toString(kb) +
                                        QStringLiteral(" KB")),
                     qPrintable(lines[20]));
        }
    }
};

QTEST_GUILESS_MAIN(ServiceRunsTest)
#include "ServiceRunsTest.moc"
