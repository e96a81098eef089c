// End to end: the real NorvexService runs SFTP jobs against the sshd on 127.0.0.1 (with a
// password, with a PuTTY key, with a wrong password, against a closed port) and writes the
// entries with their exact texts.

#include "fakes/SilentSshServer.h"
#include "service/support/Archives.h"
#include "service/support/ServiceRunner.h"
#include "shared/JobTable.h"
#include "transfer/sftp/SshdFixture.h"

#include <QtTest>

using namespace norvex;
namespace t = norvex::testing;

class SftpServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void runsSftpJobsAndLogsTheirOutcome()
    {
        const sftptest::Sshd s = sftptest::sshd();
        if (!s.ok)
            QFAIL("the sshd fixture is not running (tests/servers/sshd-start.sh)");
        const QString home = t::makeInstallFolder(QStringLiteral("sftp"));
        const QString tmp = home + QStringLiteral("tmp");
        const QString src = home + QStringLiteral("data");
        QVERIFY(QDir().mkpath(tmp));
        QVERIFY(t::writeFile(home + QStringLiteral("Norvex.ini"),
                             "[Option]\r\nTmpFolder=" + tmp.toUtf8() + "\r\n\r\n"));
        const QByteArray payload = t::noise(300000, 7);
        QVERIFY(t::writeFile(src + QStringLiteral("/a.bin"), payload));

        const QString folder = QStringLiteral("sftp-service");
        QDir(s.remote(folder)).removeRecursively(); // the first run creates it
        const int closedPort = SilentSshServer().port();
        const QString due = shared::formatDateTime(QDateTime::currentDateTime().addSecs(-30));
        auto sftpJob = [&](const QString &name, int port, const QString &password,
                           const QString &keyFile) {
            t::JobValues job = t::fullJob(name, {src}, QString(), due);
            job[QStringLiteral("tobackup")] = QStringLiteral("SFTP");
            job[QStringLiteral("hostname")] = QStringLiteral("127.0.0.1");
            job[QStringLiteral("port")] = QString::number(port);
            job[QStringLiteral("username")] = s.user;
            job[QStringLiteral("password")] = password;
            job[QStringLiteral("keyfile")] = keyFile;
            job[QStringLiteral("op1")] = QStringLiteral("-1");
            job[QStringLiteral("op1val")] = folder;
            job[QStringLiteral("op3")] = QStringLiteral("-1");
            job[QStringLiteral("op3val")] = QStringLiteral("2");
            return job;
        };
        QVERIFY(t::writeJobs(
            home, {sftpJob(QStringLiteral("good"), s.port, s.password, QString()),
                   sftpJob(QStringLiteral("bykey"), s.port, QString(),
                           s.key(QStringLiteral("ed25519.v2.ppk"))),
                   sftpJob(QStringLiteral("badpass"), s.port, QStringLiteral("wrong"), QString()),
                   sftpJob(QStringLiteral("noserver"), closedPort, s.password, QString())}));

        t::ServiceRunner service(home);
        QVERIFY(service.start());
        const QString closing = QStringLiteral(" バックアップ処理を終了しました。");
        for (const char *name : {"good", "bykey", "badpass", "noserver"})
            QVERIFY2(service.waitForEntries(QStringLiteral("^I\\t") + QLatin1String(name) + closing,
                                            1, 90000),
                     name);
        QVERIFY(service.stop());

        for (const char *name : {"good", "bykey"}) {
            const QString job = QLatin1String(name);
            const QStringList lines = t::jobEntries(home, job);
            QVERIFY2(lines.contains(QStringLiteral("I\t") + job +
                                    QStringLiteral(" リモートコピー処理を開始しました。\t"
                                                   "バックアップ先 SFTPサーバ 127.0.0.1")),
                     qPrintable(lines.join('\n')));
            QCOMPARE(
                t::countMatching(lines, QStringLiteral("^I\\t") + job +
                                            QStringLiteral(" リモートコピー処理を終了しました。"
                                                           "\\tリモートコピー処理時間 "
                                                           "\\d\\d:\\d\\d:\\d\\d$")),
                1);
            QCOMPARE(t::countMatching(lines, QStringLiteral("^E\\t")), 0);
            const QString stored =
                s.remote(folder + QStringLiteral("/Norvex-") + job + QStringLiteral("-1-.zip"));
            QVERIFY(t::testArchive(stored));
            QVERIFY(t::holdsExactly(t::extract(stored, home + QStringLiteral("x-") + job),
                                    {{QStringLiteral("a.bin"), payload}}));
            QVERIFY(!QFile::exists(stored + QStringLiteral(".part")));
            QVERIFY(
                t::temporaryArchives(tmp, QStringLiteral("Norvex-") + job + QStringLiteral(".zip"))
                    .isEmpty());
        }

        // The line break after the fixed text is stored escaped; the component's reason
        // follows it.
        const QString failed = QStringLiteral(" リモートコピー処理中にエラーが発生しました。\t"
                                              "Exception : ");
        const QStringList badpass = t::jobEntries(home, QStringLiteral("badpass"));
        QCOMPARE(
            t::countMatching(
                badpass, QStringLiteral("^E\\tbadpass") +
                             QRegularExpression::escape(
                                 failed + QStringLiteral("SSHサーバの認証に失敗しました。 \\n") +
                                 QStringLiteral("Password authentication as \"") + s.user +
                                 QStringLiteral("\" failed: Access denied"))),
            1);
        QVERIFY(t::testArchive(t::temporaryArchive(tmp, QStringLiteral("Norvex-badpass.zip"))));
        const QStringList noserver = t::jobEntries(home, QStringLiteral("noserver"));
        QVERIFY2(noserver.contains(QStringLiteral("E\tnoserver") + failed +
                                   QStringLiteral("SSHサーバの接続処理に失敗しました。 \\n"
                                                  "Cannot connect to 127.0.0.1:%1: "
                                                  "Connection refused")
                                       .arg(closedPort)),
                 qPrintable(noserver.join('\n')));
        QVERIFY(t::testArchive(t::temporaryArchive(tmp, QStringLiteral("Norvex-noserver.zip"))));
        // The host key was recorded in the service's installation folder.
        QVERIFY(t::readFile(home + QStringLiteral("known_hosts"))
                    .startsWith(QStringLiteral("[127.0.0.1]:%1 ").arg(s.port).toUtf8()));
    }
};

QTEST_GUILESS_MAIN(SftpServiceTest)
#include "SftpServiceTest.moc"
