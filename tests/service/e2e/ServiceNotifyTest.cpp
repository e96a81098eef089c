// The real service tells about a failed run on every channel: the journal (its standard
// error, named as systemd names it), the desktop (a private session bus with a recording
// notification server) and the user's NotifyCommand.

#include "fakes/NotificationRecorder.h"
#include "service/support/Archives.h"
#include "service/support/PrivateSessionBus.h"
#include "service/support/ServiceRunner.h"

#include <QtTest>

#include <sys/stat.h>

using namespace norvex;
using namespace norvex::testing;

class ServiceNotifyTest : public QObject
{
    Q_OBJECT

private slots:
    void failureReachesJournalDesktopAndCommand()
    {
        PrivateSessionBus bus;
        QVERIFY2(bus.start(), qPrintable(bus.error()));
        NotificationRecorder recorder(bus.address());
        QVERIFY(recorder.registered());

        const QString home = makeInstallFolder(QStringLiteral("notify"));
        const QString tmp = home + QStringLiteral("tmp");
        QVERIFY(QDir().mkpath(tmp));
        const QString script = home + QStringLiteral("notify.sh");
        const QString out = home + QStringLiteral("notified");
        QVERIFY(writeFile(script, "#!/bin/sh\nprintf 'JOB=%s\\nEVENT=%s\\n' \"$NORVEX_JOB\" "
                                  "\"$NORVEX_EVENT\" >> \"$1\"\n"));
        QVERIFY(QFile::setPermissions(script, QFile::ReadOwner | QFile::ExeOwner));
        QVERIFY(writeFile(home + QStringLiteral("Norvex.ini"),
                          "[Option]\r\nTmpFolder=" + tmp.toUtf8() + "\r\nNotifyCommand=" +
                              script.toUtf8() + ' ' + out.toUtf8() + "\r\n"));
        QVERIFY(writeFile(home + QStringLiteral("data/a.txt"), "a"));
        const QString due = shared::formatDateTime(QDateTime::currentDateTime().addSecs(-60));
        // The destination folder does not exist: the transfer fails.
        QVERIFY(
            writeJobs(home, {fullJob(QStringLiteral("notify-fail"), {home + QStringLiteral("data")},
                                     home + QStringLiteral("missing"), due)}));

        // Standard error into a file that JOURNAL_STREAM names, as systemd connects it.
        const QString journal = home + QStringLiteral("journal");
        QVERIFY(writeFile(journal, QByteArray()));
        struct stat st = {};
        QCOMPARE(::stat(QFile::encodeName(journal).constData(), &st), 0);
        ServiceRunner service(home);
        service.setLauncher({QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                             QStringLiteral("exec \"$@\" 2>>\"$0\""), journal});
        QVERIFY(service.start({QStringLiteral("DBUS_SESSION_BUS_ADDRESS=") + bus.address(),
                               QStringLiteral("JOURNAL_STREAM=%1:%2")
                                   .arg(qulonglong(st.st_dev))
                                   .arg(qulonglong(st.st_ino))}));

        QVERIFY(service.waitForEntries(QStringLiteral("^E\\tnotify-fail "), 1, 180000));
        QVERIFY(
            service.waitFor([&] { return readFile(journal).contains("<3>notify-fail "); }, 30000));
        QVERIFY(readFile(journal).startsWith("<6>Norvexサービスを開始いたしました。\n"));

        QVERIFY2(service.waitFor([&] { return !recorder.received().isEmpty(); }, 60000),
                 "no desktop notification");
        const RecordedNotification &n = recorder.received().first();
        QCOMPARE(n.summary, QStringLiteral("Norvex"));
        QVERIFY2(n.body.startsWith(QStringLiteral("notify-fail\n")), qPrintable(n.body));
        QCOMPARE(n.hints.value(QStringLiteral("urgency")).toInt(), 2);
        QVERIFY2(service.waitFor([&] { return readFile(out).contains("EVENT=failed"); }, 60000),
                 "the notification command did not run");

        // The stop lets pending deliveries end; one event made one of each.
        QVERIFY(service.stop(60000));
        QCOMPARE(readFile(out), QByteArray("JOB=notify-fail\nEVENT=failed\n"));
        QCOMPARE(recorder.received().size(), 1);
        QCOMPARE(countMatching(entries(home), QStringLiteral("通知コマンドの実行に失敗")), 0);
    }
};

QTEST_GUILESS_MAIN(ServiceNotifyTest)
#include "ServiceNotifyTest.moc"
