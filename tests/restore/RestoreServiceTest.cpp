// End to end: the real service backs a tree up twice into a local folder with generations,
// as ZIP and as 7z with a password; the restore finds both generations through the job's
// row and gives each back as it was when it was stored.

#include "restore/Generations.h"
#include "restore/Restore.h"
#include "restore/RestoreTree.h"
#include "service/support/Archives.h"
#include "service/support/ServiceRunner.h"
#include "shared/JobTable.h"

#include <QtTest>

using namespace norvex;
using namespace norvex::testing;
using namespace restoretest;

namespace {

const QString kPassword = QStringLiteral("pa ss wörd");

void removeTree(const QString &path)
{
    // Qt's removal cannot name a file whose name is not UTF-8.
    QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), path});
}

restore::JobLocation locationOf(const QString &home, const QString &name)
{
    shared::TMlb2 table;
    shared::setupJobTable(table);
    table.LoadFromFile(shared::jobTablePath(home));
    for (bool more = table.First(); more; more = table.Next())
        if (table.FieldByName(QStringLiteral("backupname")) == name)
            return restore::JobLocation::fromJobRow(table, home);
    return {};
}

} // namespace

class RestoreServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void restoresEachGenerationOfALocalJob_data()
    {
        QTest::addColumn<bool>("sevenZ");
        QTest::addColumn<qint64>("precisionNs");
        QTest::newRow("zip") << false << qint64(2000000000);
        QTest::newRow("7z with a password") << true << qint64(100);
    }
    void restoresEachGenerationOfALocalJob()
    {
        QFETCH(bool, sevenZ);
        QFETCH(qint64, precisionNs);
        const QString name = sevenZ ? QStringLiteral("daily7") : QStringLiteral("web.site");
        const QString home = QString::fromLocal8Bit(qgetenv("NORVEX_HOME")) + QLatin1Char('/') +
                             name + QLatin1Char('/');
        removeTree(home);
        QVERIFY(QDir().mkpath(home + QStringLiteral("Log")));
        const QString tmp = home + QStringLiteral("tmp");
        const QString dest = home + QStringLiteral("dest");
        const QByteArray src = QFile::encodeName(home + QStringLiteral("src"));
        QVERIFY(QDir().mkpath(tmp) && QDir().mkpath(dest));
        QVERIFY(writeFile(home + QStringLiteral("Norvex.ini"),
                          "[Option]\r\nTmpFolder=" + tmp.toUtf8() + "\r\n\r\n"));
        makeTree(src, 1);
        const Snapshot older = snapshot(src);

        const QString firstText = shared::formatDateTime(QDateTime::currentDateTime().addSecs(-30));
        JobValues job = fullJob(name, {QString::fromUtf8(src)}, dest, firstText);
        job[QStringLiteral("op1")] = QStringLiteral("-1");
        job[QStringLiteral("op1val")] = QStringLiteral("sub");
        job[QStringLiteral("op3")] = QStringLiteral("-1");
        job[QStringLiteral("op3val")] = QStringLiteral("2");
        if (sevenZ) {
            job[QStringLiteral("op4")] = QStringLiteral("1");
            job[QStringLiteral("op2")] = QStringLiteral("-1");
            job[QStringLiteral("op2val")] = kPassword;
        }
        QVERIFY(writeJobs(home, {job}));

        ServiceRunner service(home);
        QVERIFY(service.start());
        const QString closing = QStringLiteral("^I\\t") + esc(name) +
                                QStringLiteral(" バックアップ処理を終了しました。");
        QVERIFY(service.waitForEntries(closing, 1, 60000));
        // The second generation: changed content, a changed mode, a new file.
        put(src + "/run me.sh", "#!/bin/sh\necho 2\n", 0700, 1700009000);
        put(src + "/日本語のフォルダ/新しい.txt", "新", 0640, 1700009100);
        const timespec t[2] = {{1690000000, 0}, {1690000000, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, (src + "/日本語のフォルダ").constData(), t, 0), 0);
        const Snapshot newer = snapshot(src);
        QList<JobValues> jobs = readJobs(home);
        QCOMPARE(jobs.size(), 1);
        jobs[0][QStringLiteral("backupdt")] = firstText;
        QVERIFY(writeJobs(home, jobs));
        QVERIFY(service.waitForEntries(closing, 2, 60000));
        QVERIFY(service.stop());

        const restore::JobLocation location = locationOf(home, name);
        QCOMPARE(location.folder, dest + QStringLiteral("/sub"));
        QCOMPARE(location.archivePassword, sevenZ ? kPassword : QString());
        QList<restore::Generation> generations;
        QString error;
        QVERIFY2(restore::listGenerations(location, generations, error), qPrintable(error));
        QCOMPARE(generations.size(), 2);
        QCOMPARE(generations.at(0).number, 1);
        QCOMPARE(generations.at(1).number, 2);

        for (const auto &[generation, expected] :
             {std::pair{generations.at(0), newer}, std::pair{generations.at(1), older}}) {
            std::unique_ptr<restore::FetchedArchive> fetched =
                restore::fetchGeneration(location, generation, tmp, error);
            QVERIFY2(fetched, qPrintable(error));
            restore::RestoreArchive archive;
            QVERIFY2(archive.open(fetched->path(), restore::kindOf(generation.fileName),
                                  location.archivePassword),
                     qPrintable(archive.errorText()));
            restore::RestoreOptions options;
            options.target = restore::defaultTarget(home, name, QDateTime::currentDateTime()) +
                             QString::number(generation.number);
            const restore::RestoreSummary summary = archive.restore(options);
            QVERIFY2(summary.succeeded() && summary.skipped.isEmpty(), qPrintable(summary.error));
            compareTrees(snapshot(QFile::encodeName(options.target) + src), expected, precisionNs);
        }
        removeTree(home);
    }
};

QTEST_GUILESS_MAIN(RestoreServiceTest)
#include "RestoreServiceTest.moc"
