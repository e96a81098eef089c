// The real service where its surroundings fail it: a job table it may not write, a sandbox
// that refuses the idle priority, a stop while an upload is stalled.

#include "fakes/FakeFtpServer.h"
#include "service/support/Archives.h"
#include "service/support/ServiceRunner.h"
#include "shared/JobTable.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace norvex;
using namespace norvex::testing;

namespace {

// Archives are built in the installation folder's tmp/, not in the machine's.
bool writeTmpFolderSetting(const QString &home)
{
    return QDir().mkpath(home + QStringLiteral("tmp")) &&
           writeFile(home + QStringLiteral("Norvex.ini"),
                     "[Option]\r\nTmpFolder=" + home.toUtf8() + "tmp\r\n");
}

QString dueMinuteAgo()
{
    return shared::formatDateTime(QDateTime::currentDateTime().addSecs(-60));
}

} // namespace

class ServiceHardeningTest : public QObject
{
    Q_OBJECT

private slots:
    void runsOnceWhileItsNextRunTimeCannotBeSaved()
    {
        // The service's clock runs 90 times faster: an hour of the job's schedule in 40 s.
        const QString home = makeInstallFolder(QStringLiteral("readonly"));
        const QString dest = home + QStringLiteral("dest");
        QVERIFY(QDir().mkpath(dest) && writeTmpFolderSetting(home));
        QVERIFY(writeFile(home + QStringLiteral("data/a.txt"), "a"));
        const QString due = dueMinuteAgo();
        const QDateTime first = shared::readDateTime(due);
        JobValues job =
            fullJob(QStringLiteral("stuck"), {home + QStringLiteral("data")}, dest, due);
        job[QStringLiteral("backuptani")] = QStringLiteral("h");
        job[QStringLiteral("op3")] = QStringLiteral("-1");
        job[QStringLiteral("op3val")] = QStringLiteral("3");
        QVERIFY(writeJobs(home, {job}));

        ServiceRunner service(home);
        const QByteArray homePath = QFile::encodeName(home);
        const QByteArray table = QFile::encodeName(shared::jobTablePath(home));
        const bool root = ::geteuid() == 0;
        if (root) {
            // Root writes whatever the modes say: the service runs as nobody, and the table
            // belongs to root.
            QCOMPARE(runTool(QStringLiteral("chown"),
                             {QStringLiteral("-R"), QStringLiteral("nobody:"), home}),
                     0);
            QCOMPARE(::chown(table.constData(), 0, 0), 0);
            service.setLauncher({QStringLiteral("setpriv"), QStringLiteral("--reuid=nobody"),
                                 QStringLiteral("--regid=nogroup"),
                                 QStringLiteral("--clear-groups"), QStringLiteral("--")});
        } else {
            // The service is this user: neither the table nor a file beside it is writable.
            QCOMPARE(::chmod(homePath.constData(), 0555), 0);
        }
        const auto writable = qScopeGuard([&] { ::chmod(homePath.constData(), 0755); });
        QCOMPARE(::chmod(table.constData(), 0444), 0);

        QVERIFY(service.start(fastWallClock(90)));
        const QString ended = QStringLiteral("^I\\tstuck バックアップ処理を終了しました。");
        QVERIFY(service.waitForEntries(ended, 4, 240000));
        QCOMPARE(readJobs(home).first()[QStringLiteral("backupdt")], due);

        // Once the file can be written, the next idle tick saves the time the service kept.
        if (!root)
            QCOMPARE(::chmod(homePath.constData(), 0755), 0);
        QCOMPARE(::chmod(table.constData(), 0666), 0);
        QVERIFY(service.waitFor(
            [&] { return readJobs(home).value(0).value(QStringLiteral("backupdt")) != due; },
            60000));
        QVERIFY(service.stop());

        // One run in each hour, each reporting its failed save once; then the time saved is
        // the one after the last run.
        QList<qint64> runHours;
        const QRegularExpression started(
            QStringLiteral("^I\t([^\t]+)\t") +
            esc(QStringLiteral("stuck バックアップ処理を開始しました。")));
        for (const QString &line : logLines(home)) {
            const auto match = started.match(line);
            if (match.hasMatch())
                runHours << first.secsTo(QDateTime::fromString(
                                match.captured(1), QStringLiteral("yyyy/MM/dd hh:mm:ss:zzz"))) /
                                3600;
        }
        QList<qint64> oneEach;
        for (qint64 hour = 0; hour < qMax<qint64>(4, runHours.size()); ++hour)
            oneEach << hour;
        QCOMPARE(runHours, oneEach);
        QCOMPARE(readJobs(home).first()[QStringLiteral("backupdt")],
                 shared::formatDateTime(first.addSecs(3600 * runHours.size())));
        QCOMPARE(countMatching(entries(home),
                               QStringLiteral("^E\\tstuck 次回バックアップ日時を保存できませ"
                                              "んでした。\\t.*backuplist\\.csv")),
                 4);
        QCOMPARE(QDir(dest).entryList(QDir::Files),
                 (QStringList{QStringLiteral("Norvex-stuck-1-.zip"),
                              QStringLiteral("Norvex-stuck-2-.zip"),
                              QStringLiteral("Norvex-stuck-3-.zip")}));
    }

    void startsWhenTheIdlePriorityIsRefused()
    {
        // A job whose generation switch was emptied by hand must not run as "off".
        const QString home = makeInstallFolder(QStringLiteral("sandbox"));
        const QString dest = home + QStringLiteral("dest");
        QVERIFY(QDir().mkpath(dest));
        QVERIFY(writeFile(home + QStringLiteral("data/a.txt"), "a"));
        QVERIFY(writeTmpFolderSetting(home));
        JobValues job = fullJob(QStringLiteral("emptyop"), {home + QStringLiteral("data")}, dest,
                                dueMinuteAgo());
        job[QStringLiteral("op3")] = QString();
        QVERIFY(writeJobs(home, {job}));

        ServiceRunner service(home);
        service.setLauncher({QString::fromLocal8Bit(qgetenv("NORVEX_BINARY_DIR")) +
                             QStringLiteral("/tests/service/e2e/IoprioRefused")});
        QVERIFY(service.start());
        QVERIFY(service.waitForEntries(
            QStringLiteral("^I\\temptyop バックアップ処理を終了しました。"), 1, 40000));
        QVERIFY(service.stop());
        const QStringList all = entries(home);
        QCOMPARE(all.first(), QStringLiteral("I\tNorvexサービスを開始いたしました。"));
        QCOMPARE(countMatching(all, QStringLiteral("^E\\tシステムエラーが発生しました。\\t"
                                                   "ServiceStart System Error .*"
                                                   "アイドル優先度を設定できませんでした。")),
                 1);
        QCOMPARE(countMatching(all, QStringLiteral("^E\\temptyop リモートコピー処理中にエラーが発生"
                                                   "しました。\\tEConvertError : ")),
                 1);
        QCOMPARE(QDir(dest).entryList(QDir::Files), QStringList());
    }

    void stopsCleanlyDuringAStalledUpload()
    {
        FakeFtpServer server(QStringLiteral("TrickleReaderServer"));
        QVERIFY(!server.port().isEmpty());
        const QString home = makeInstallFolder(QStringLiteral("stalled"));
        QVERIFY(writeTmpFolderSetting(home));
        QVERIFY(writeFile(home + QStringLiteral("data/noise.bin"), noise(4 << 20, 7)));
        JobValues job = fullJob(QStringLiteral("stalled"), {home + QStringLiteral("data")},
                                QString(), dueMinuteAgo());
        job[QStringLiteral("tobackup")] = QStringLiteral("FTP");
        job[QStringLiteral("hostname")] = QStringLiteral("127.0.0.1");
        job[QStringLiteral("port")] = server.port();
        job[QStringLiteral("username")] = QStringLiteral("u");
        job[QStringLiteral("password")] = QStringLiteral("p");
        QVERIFY(writeJobs(home, {job}));

        ServiceRunner service(home);
        QVERIFY(service.start());
        QVERIFY(service.waitForEntries(
            QStringLiteral("^I\\tstalled リモートコピー処理を開始しました。"), 1, 40000));
        QTest::qWait(2000); // well inside the upload, which takes about a minute
        QVERIFY(service.stop());
        const QStringList all = entries(home);
        QCOMPARE(all.last(), QStringLiteral("I\tNorvexサービスを終了いたしました。"));
        QCOMPARE(countMatching(all, QStringLiteral("^E\\t")), 0);
    }
};

QTEST_GUILESS_MAIN(ServiceHardeningTest)
#include "ServiceHardeningTest.moc"
