// norvexctl with the real NorvexService run in the foreground, as on a server without a
// service manager, and the connection check against the sshd of the test fixture.
#include "ctl/CtlRunner.h"
#include "fakes/SilentSshServer.h"
#include "service/support/ServiceRunner.h"
#include "shared/RunStatus.h"
#include "transfer/sftp/SshdFixture.h"

#include <QtTest>

using namespace norvex;
using namespace norvex::testing;

namespace {

const QString kNotStarted = QStringLiteral(
    "バックアップサービスが起動していません。\nサービスを起動してから再度実行してください。\n");
const QString kInProgress = QStringLiteral("バックアップ処理を開始したため設定追加はできません。\n"
                                           "バックアップ処理が終了するまでお待ちください。\n");

bool serving(const QString &home)
{
    return ctl(home, {QStringLiteral("service"), QStringLiteral("status")})
        .out.contains(QStringLiteral("serving this folder: yes"));
}

// The service in the foreground, once it holds the folder.
bool startService(ServiceRunner &service)
{
    if (!service.start())
        return false;
    return service.waitFor([&] { return serving(service.home()); }, 60000);
}

QString shellQuoted(const QString &word)
{
    return QLatin1Char('\'') + QString(word).replace(QLatin1Char('\''), QStringLiteral("'\\''")) +
           QLatin1Char('\'');
}

} // namespace

class CtlServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void runWaitEndsWithAnArchive();
    void refusedWhileABackupRuns();
    void checkAsksOnATerminalOnly();
    void serviceThroughTheServiceManager();
};

void CtlServiceTest::runWaitEndsWithAnArchive()
{
    const QString home = ctlHome(QStringLiteral("run"));
    const QString source = home + QStringLiteral("source/");
    const QString destination = home + QStringLiteral("destination/");
    QVERIFY(QDir().mkpath(source + QStringLiteral("sub")));
    QVERIFY(QDir().mkpath(destination));
    QFile file(source + QStringLiteral("sub/data.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(100000, 'x'));
    file.close();
    QCOMPARE(ctl(home, {QStringLiteral("add"), QStringLiteral("nightly"), QStringLiteral("--local"),
                        destination, QStringLiteral("--generations"), QStringLiteral("2"), source})
                 .code,
             0);
    const QString before = readJobs(home).value(0).value(QStringLiteral("backupdt"));

    const CtlResult refused = ctl(home, {QStringLiteral("run"), QStringLiteral("nightly")});
    QCOMPARE(refused.code, 1);
    QCOMPARE(refused.err, kNotStarted);
    QCOMPARE(readJobs(home).value(0).value(QStringLiteral("backupdt")), before);
    QCOMPARE(ctl(home, {QStringLiteral("run"), QStringLiteral("nope")}).code, 4);

    ServiceRunner service(home);
    QVERIFY(startService(service));
    const CtlResult run =
        ctl(home, {QStringLiteral("run"), QStringLiteral("nightly"), QStringLiteral("--wait")}, {},
            300000);
    QVERIFY2(run.code == 0, qPrintable(run.err));
    QVERIFY2(run.out.startsWith(QStringLiteral("正常終了 ")), qPrintable(run.out));
    const QString archive = destination + QStringLiteral("Norvex-nightly-1-.zip");
    QVERIFY2(QFile::exists(archive), qPrintable(QDir(destination).entryList().join(' ')));
    QProcess unzip;
    unzip.start(QStringLiteral("unzip"), {QStringLiteral("-t"), archive});
    QVERIFY(unzip.waitForFinished(60000));
    QCOMPARE(unzip.exitCode(), 0);

    const CtlResult list = ctl(home, {QStringLiteral("list")});
    QVERIFY2(list.out.contains(QStringLiteral("正常終了")), qPrintable(list.out));
    const CtlResult log =
        ctl(home, {QStringLiteral("log"), QStringLiteral("--job"), QStringLiteral("nightly"),
                   QStringLiteral("--level"), QStringLiteral("I")});
    QVERIFY2(log.out.contains(QStringLiteral("nightly バックアップ処理を開始しました。")),
             qPrintable(log.out));
    QVERIFY(service.stop());

    // The archive the run stored comes back through generations and restore.
    const CtlResult generations =
        ctl(home, {QStringLiteral("generations"), QStringLiteral("nightly")});
    QCOMPARE(generations.code, 0);
    QVERIFY2(generations.out.contains(QStringLiteral("Norvex-nightly-1-.zip")),
             qPrintable(generations.out));
    const QString target = home + QStringLiteral("restored");
    const QStringList restore = {QStringLiteral("restore"), QStringLiteral("nightly"),
                                 QStringLiteral("--to"), target};
    const CtlResult restored = ctl(home, restore + QStringList{source + QStringLiteral("sub")});
    QVERIFY2(restored.code == 0, qPrintable(restored.err));
    QVERIFY2(restored.out.contains(QStringLiteral("復元 1 件、スキップ 0 件、失敗 0 件")),
             qPrintable(restored.out));
    QFile back(target + source + QStringLiteral("sub/data.txt"));
    QVERIFY(back.open(QIODevice::ReadOnly));
    QCOMPARE(back.readAll(), QByteArray(100000, 'x'));
    // A second restore keeps the file it finds; an unknown path or generation is refused.
    const CtlResult again = ctl(home, restore);
    QCOMPARE(again.code, 0);
    QVERIFY2(again.out.contains(QStringLiteral("復元 0 件、スキップ 1 件、失敗 0 件")),
             qPrintable(again.out));
    QCOMPARE(ctl(home, restore + QStringList{QStringLiteral("/no/such")}).code, 2);
    const CtlResult missing =
        ctl(home, restore + QStringList{QStringLiteral("--generation"), QStringLiteral("2")});
    QCOMPARE(missing.code, 1);
    QCOMPARE(missing.err, QStringLiteral("世代 2 はバックアップ先にありません。\n"));
}

void CtlServiceTest::refusedWhileABackupRuns()
{
    const QString home = ctlHome(QStringLiteral("busy"));
    // A server that never answers keeps the run in its transfer until the time-out.
    SilentSshServer silent;
    QVERIFY(silent.port() > 0);
    QCOMPARE(
        ctl(home,
            {QStringLiteral("add"), QStringLiteral("stuck"), QStringLiteral("--sftp"),
             QStringLiteral("u@127.0.0.1:%1").arg(silent.port()), QStringLiteral("--password-file"),
             QStringLiteral("-"), QStringLiteral("/etc/hostname")},
            "pw")
            .code,
        0);
    QCOMPARE(ctl(home, {QStringLiteral("add"), QStringLiteral("other"), QStringLiteral("--local"),
                        home, QStringLiteral("/etc/hostname")})
                 .code,
             0);
    ServiceRunner service(home);
    QVERIFY(startService(service));
    QCOMPARE(ctl(home, {QStringLiteral("run"), QStringLiteral("stuck")}).code, 0);
    QVERIFY(service.waitFor(
        [&] {
            const shared::RunStatusRecord record = shared::readRunStatus(home);
            const shared::JobStatus *status =
                shared::findJobStatus(record, 1, QStringLiteral("stuck"));
            return status && status->running;
        },
        60000));
    QFile file(shared::jobTablePath(home));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();
    const QList<QStringList> refused = {
        {QStringLiteral("add"), QStringLiteral("new"), QStringLiteral("--local"), home,
         QStringLiteral("/etc")},
        {QStringLiteral("change"), QStringLiteral("other"), QStringLiteral("--generations"),
         QStringLiteral("3")},
        {QStringLiteral("delete"), QStringLiteral("other"), QStringLiteral("--yes")},
        {QStringLiteral("run"), QStringLiteral("other")},
    };
    for (const QStringList &arguments : refused) {
        const CtlResult result = ctl(home, arguments);
        QCOMPARE(result.code, 3);
        QCOMPARE(result.err, kInProgress);
    }
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), before);

    // Once the run has failed, a run asked for with --wait fails as well.
    QVERIFY(service.waitFor(
        [&] {
            return ctl(home, {QStringLiteral("change"), QStringLiteral("other"),
                              QStringLiteral("--generations"), QStringLiteral("3")})
                       .code == 0;
        },
        120000));
    const CtlResult failed =
        ctl(home, {QStringLiteral("run"), QStringLiteral("stuck"), QStringLiteral("--wait")}, {},
            300000);
    QCOMPARE(failed.code, 1);
    QVERIFY2(failed.err.startsWith(QStringLiteral("異常終了（転送）")), qPrintable(failed.err));
    QVERIFY(service.stop());
}

void CtlServiceTest::checkAsksOnATerminalOnly()
{
    REQUIRE_SSHD(s);
    const QString home = ctlHome(QStringLiteral("check"));
    const auto add = [&](const QString &name, const QByteArray &password) {
        return ctl(home,
                   {QStringLiteral("add"), name, QStringLiteral("--sftp"),
                    QStringLiteral("%1@127.0.0.1:%2").arg(s.user).arg(s.port),
                    QStringLiteral("--password-file"), QStringLiteral("-"),
                    QStringLiteral("/etc/hostname")},
                   password)
            .code;
    };
    QCOMPARE(add(QStringLiteral("good"), s.password.toUtf8()), 0);
    QCOMPARE(add(QStringLiteral("bad"), "wrong"), 0);
    const QString knownHosts = home + QStringLiteral("known_hosts");

    // Without a terminal nobody can say yes: nothing is trusted.
    const CtlResult script = ctl(home, {QStringLiteral("check"), QStringLiteral("good")});
    QCOMPARE(script.code, 1);
    QVERIFY2(script.err.contains(QStringLiteral("接続先のホスト鍵はまだ登録されていません。")) &&
                 script.err.contains(s.hostKeySha256) &&
                 script.err.contains(QStringLiteral("端末がないため")),
             qPrintable(script.err));
    QVERIFY(!QFile::exists(knownHosts) || QFile(knownHosts).size() == 0);

    // On a terminal the answer "y" records the key and the login is tried again.
    QProcess terminal;
    terminal.setProcessEnvironment(ctlEnvironment(home));
    terminal.start(QStringLiteral("script"),
                   {QStringLiteral("-qec"),
                    shellQuoted(ctlExecutable()) + QStringLiteral(" check good"),
                    QStringLiteral("/dev/null")});
    QVERIFY(terminal.waitForStarted(30000));
    terminal.write("y\n");
    QVERIFY(terminal.waitForFinished(120000));
    const QString shown = QString::fromUtf8(terminal.readAll());
    QVERIFY2(terminal.exitCode() == 0 && shown.contains(QStringLiteral("接続成功しました。")),
             qPrintable(shown));
    QVERIFY(QFile(knownHosts).size() > 0);

    const CtlResult again = ctl(home, {QStringLiteral("check"), QStringLiteral("good")});
    QCOMPARE(again.code, 0);
    QCOMPARE(again.out, QStringLiteral("接続成功しました。\n"));
    const CtlResult wrong = ctl(home, {QStringLiteral("check"), QStringLiteral("bad")});
    QCOMPARE(wrong.code, 1);
    QVERIFY2(wrong.err.startsWith(QStringLiteral("認証エラー")), qPrintable(wrong.err));
    QCOMPARE(ctl(home, {QStringLiteral("check"), QStringLiteral("none")}).code, 4);
}

void CtlServiceTest::serviceThroughTheServiceManager()
{
    const QString home = ctlHome(QStringLiteral("manager"));
    // As in an installation folder: the service program beside norvexctl.
    const QString programs = home + QStringLiteral("programs/");
    QVERIFY(QDir().mkpath(programs));
    QVERIFY(QFile::copy(ctlExecutable(), programs + QStringLiteral("norvexctl")));
    QVERIFY(QFile::link(serviceExecutable(), programs + QStringLiteral("NorvexService")));
    QProcessEnvironment env = ctlEnvironment(home);
    const auto service = [&](const QString &action) {
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(programs + QStringLiteral("norvexctl"), {QStringLiteral("service"), action});
        process.waitForFinished(120000);
        return CtlResult{process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                         QString::fromUtf8(process.readAllStandardError())};
    };
    CtlResult status = service(QStringLiteral("status"));
    QCOMPARE(status.code, 0);
    QVERIFY2(status.out.startsWith(QStringLiteral("installation folder: ") + home + '\n'),
             qPrintable(status.out));
    QCOMPARE(service(QStringLiteral("start")).code, 1); // not installed yet

    QCOMPARE(service(QStringLiteral("install")).code, 0);
    CtlResult start = service(QStringLiteral("start"));
    QVERIFY2(start.code == 0, qPrintable(start.err));
    QVERIFY(serving(home));
    status = service(QStringLiteral("status"));
    QVERIFY2(status.out.contains(QStringLiteral("service manager: 実行中")),
             qPrintable(status.out));
    QCOMPARE(service(QStringLiteral("stop")).code, 0);
    QCOMPARE(service(QStringLiteral("uninstall")).code, 0);
    QDeadlineTimer deadline(60000);
    while (serving(home) && !deadline.hasExpired())
        QTest::qWait(200);
    QVERIFY2(!serving(home), "the stopped service still holds the folder");
}

QTEST_GUILESS_MAIN(CtlServiceTest)
#include "CtlServiceTest.moc"
