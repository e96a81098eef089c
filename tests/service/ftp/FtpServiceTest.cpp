// End to end: the real NorvexService runs FTP jobs against pyftpdlib on 127.0.0.1 (one
// that succeeds, one with a wrong password, one whose server is not there) and writes the
// entries with their exact texts.
#include "service/support/Archives.h"
#include "service/support/ServiceRunner.h"
#include "shared/JobTable.h"
#include "transfer/ftp/FtpTestSupport.h"

#include <QtTest>

using namespace norvex;
namespace t = norvex::testing;

class FtpServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void runsFtpJobsAndLogsTheirOutcome()
    {
        const FtpServer server = ftpServer(QStringLiteral("pyftpdlib"));
        if (server.port.isEmpty())
            qFatal("FTP test servers are not running (fixture FtpServersStart)");
        const QString home = t::makeInstallFolder(QStringLiteral("ftp"));
        const QString tmp = home + QStringLiteral("tmp");
        const QString src = home + QStringLiteral("data");
        QVERIFY(QDir().mkpath(tmp));
        QVERIFY(t::writeFile(home + QStringLiteral("Norvex.ini"),
                             "[Option]\r\nTmpFolder=" + tmp.toUtf8() + "\r\n\r\n"));
        QVERIFY(t::writeFile(src + QStringLiteral("/a.txt"), "payload"));

        const QString folder = uniqueName(QStringLiteral("svc"));
        const QString due = shared::formatDateTime(QDateTime::currentDateTime().addSecs(-30));
        auto ftpJob = [&](const QString &name, const QString &port, const QString &password) {
            t::JobValues job = t::fullJob(name, {src}, QString(), due);
            job[QStringLiteral("tobackup")] = QStringLiteral("FTP");
            job[QStringLiteral("hostname")] = QStringLiteral("127.0.0.1");
            job[QStringLiteral("port")] = port;
            job[QStringLiteral("username")] = server.user;
            job[QStringLiteral("password")] = password;
            job[QStringLiteral("op1")] = QStringLiteral("-1");
            job[QStringLiteral("op1val")] = folder;
            job[QStringLiteral("op3")] = QStringLiteral("-1");
            job[QStringLiteral("op3val")] = QStringLiteral("2");
            return job;
        };
        QVERIFY(t::writeJobs(
            home, {ftpJob(QStringLiteral("good"), server.port, server.password),
                   ftpJob(QStringLiteral("badpass"), server.port, QStringLiteral("wrong")),
                   ftpJob(QStringLiteral("noserver"), QStringLiteral("1"), server.password)}));

        t::ServiceRunner service(home);
        QVERIFY(service.start());
        const QString closing = QStringLiteral(" バックアップ処理を終了しました。");
        for (const char *name : {"good", "badpass", "noserver"})
            QVERIFY2(service.waitForEntries(QStringLiteral("^I\\t") + QLatin1String(name) + closing,
                                            1, 90000),
                     name);
        QVERIFY(service.stop());

        const QString started = QStringLiteral(
            " リモートコピー処理を開始しました。\tバックアップ先 FTPサーバ 127.0.0.1");
        const QStringList good = t::jobEntries(home, QStringLiteral("good"));
        QVERIFY2(good.contains(QStringLiteral("I\tgood") + started), qPrintable(good.join('\n')));
        QCOMPARE(t::countMatching(
                     good, QStringLiteral("^I\\tgood リモートコピー処理を終了しました。"
                                          "\\tリモートコピー処理時間 \\d\\d:\\d\\d:\\d\\d$")),
                 1);
        QCOMPARE(t::countMatching(good, QStringLiteral("^E\\t")), 0);
        const QString stored =
            server.root + QLatin1Char('/') + folder + QStringLiteral("/Norvex-good-1-.zip");
        QVERIFY(t::testArchive(stored));
        QVERIFY(t::holdsExactly(t::extract(stored, home + QStringLiteral("x")),
                                {{QStringLiteral("a.txt"), QByteArray("payload")}}));
        QVERIFY(t::temporaryArchives(tmp, QStringLiteral("Norvex-good.zip")).isEmpty());

        // The line break between the fixed text and the reply is stored escaped.
        const QString failed = QStringLiteral(" リモートコピー処理中にエラーが発生しました。\t"
                                              "Exception : FTPサーバに接続できませんでした。 \\n");
        const QStringList badpass = t::jobEntries(home, QStringLiteral("badpass"));
        QCOMPARE(t::countMatching(badpass, QStringLiteral("^E\\tbadpass") + t::esc(failed) +
                                               QStringLiteral("530 ")),
                 1);
        QVERIFY(t::testArchive(t::temporaryArchive(tmp, QStringLiteral("Norvex-badpass.zip"))));
        const QStringList noserver = t::jobEntries(home, QStringLiteral("noserver"));
        QVERIFY2(
            noserver.contains(QStringLiteral("E\tnoserver") + failed +
                              QStringLiteral("500 Connect error - Connection refused (#10061)")),
            qPrintable(noserver.join('\n')));
    }
};

QTEST_GUILESS_MAIN(FtpServiceTest)
#include "FtpServiceTest.moc"
