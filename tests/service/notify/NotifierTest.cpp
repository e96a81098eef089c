// The service's notification channels against real peers: a private dbus-daemon with a
// recording notification server, and commands run as the user's NotifyCommand would be.

#include "TestFiles.h"
#include "fakes/NotificationRecorder.h"
#include "service/CommandNotifier.h"
#include "service/DesktopNotifier.h"
#include "service/ServiceNotifier.h"
#include "service/support/PrivateSessionBus.h"
#include "service/support/ServiceRunner.h"
#include "shared/EventLog.h"
#include "shared/IniFileCompo.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/socket.h>
#include <sys/un.h>

using namespace norvex;
using namespace norvex::service;
using namespace norvex::testing;
using norvex::tests::readBytes;
using norvex::tests::writeBytes;

Q_DECLARE_METATYPE(norvex::service::NotifyEvent)

namespace {

// A script that appends its notification environment to the file named by its argument.
QString envScript(const QString &folder)
{
    const QString path = folder + QStringLiteral("/notify-env.sh");
    writeBytes(path, "#!/bin/sh\n"
                     "printf 'JOB=%s\\nEVENT=%s\\nTEXT=%s\\n--\\n' \"$NORVEX_JOB\" "
                     "\"$NORVEX_EVENT\" \"$NORVEX_TEXT\" >> \"$1\"\n");
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

// Whether process pid has ended (a zombie nobody reaps has ended too).
bool processEnded(qint64 pid)
{
    const QByteArray stat = readBytes(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat == "<unreadable>")
        return true;
    const qsizetype close = stat.lastIndexOf(')');
    return close > 0 && stat.mid(close + 2, 1) == "Z";
}

} // namespace

class NotifierTest : public QObject
{
    Q_OBJECT

    PrivateSessionBus m_bus;

private slots:
    void initTestCase() { QVERIFY2(m_bus.start(), qPrintable(m_bus.error())); }

    void sessionBusOfThePerson_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("runtimeDir");
        QTest::addColumn<bool>("busSocket");
        QTest::addColumn<QString>("expected"); // "@" stands for the runtime folder

        QTest::newRow("address given")
            << "unix:path=/run/user/1000/bus" << true << true << "unix:path=/run/user/1000/bus";
        QTest::newRow("runtime folder's bus") << "" << true << true << "unix:path=@/bus";
        QTest::newRow("runtime folder without bus") << "" << true << false << "";
        // A system service of root: neither.
        QTest::newRow("system service") << "" << false << false << "";
    }

    void sessionBusOfThePerson()
    {
        QFETCH(QString, address);
        QFETCH(bool, runtimeDir);
        QFETCH(bool, busSocket);
        QFETCH(QString, expected);
        QTemporaryDir runtime;
        QProcessEnvironment env;
        if (!address.isEmpty())
            env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
        if (runtimeDir)
            env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        if (busSocket) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un addr = {};
            addr.sun_family = AF_UNIX;
            const QByteArray path = QFile::encodeName(runtime.path() + QStringLiteral("/bus"));
            qstrncpy(addr.sun_path, path.constData(), sizeof addr.sun_path);
            QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
            ::close(fd);
        }
        expected.replace(QLatin1Char('@'), runtime.path());
        QCOMPARE(sessionBusAddress(env), expected);
    }

    void desktopNotificationPerEvent_data()
    {
        QTest::addColumn<NotifyEvent>("event");
        QTest::addColumn<QStringList>("capabilities");
        QTest::addColumn<QString>("job");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("urgency");
        QTest::addColumn<QString>("body");

        const QStringList plain{QStringLiteral("body")};
        const QStringList markup{QStringLiteral("body"), QStringLiteral("body-markup")};
        QTest::newRow("failed") << NotifyEvent::Failed << plain << "日次"
                                << "日次 転送に失敗しました。\tConnection refused (#10061)" << 2
                                << "日次\n転送に失敗しました。\nConnection refused (#10061)";
        QTest::newRow("stale") << NotifyEvent::Stale << plain << "nas"
                               << "nas 前回のバックアップ成功から2回分の間隔を過ぎました。\t"
                                  "2026/12/01 02:00:00"
                               << 2
                               << "nas\n前回のバックアップ成功から2回分の間隔を過ぎました。\n"
                                  "2026/12/01 02:00:00";
        QTest::newRow("recovered")
            << NotifyEvent::Recovered << plain << "nas"
            << "バックアップに成功しました。" << 1 << "nas\nバックアップに成功しました。";
        // A server that reads markup would drop or mangle the body otherwise.
        QTest::newRow("markup server")
            << NotifyEvent::Failed << markup << "a&b"
            << "a&b <tmp> が見つかりません。" << 2 << "a&amp;b\n&lt;tmp&gt; が見つかりません。";
        QTest::newRow("plain server keeps marks")
            << NotifyEvent::Failed << plain << "a&b"
            << "a&b <tmp> が見つかりません。" << 2 << "a&b\n<tmp> が見つかりません。";
    }

    // One notification per event, in order, with what the person needs to see; the caller
    // never waits for the server.
    void desktopNotificationPerEvent()
    {
        QFETCH(NotifyEvent, event);
        QFETCH(QStringList, capabilities);
        QFETCH(QString, job);
        QFETCH(QString, text);
        QFETCH(int, urgency);
        QFETCH(QString, body);

        NotificationRecorder recorder(m_bus.address(), capabilities);
        QVERIFY(recorder.registered());

        QTemporaryDir dir;
        const QString icon = dir.path() + QStringLiteral("/icons/norvex.svg");
        {
            DesktopNotifier notifier(m_bus.address(), icon);
            notifier.notify(job, event, text);
            notifier.notify(QStringLiteral("marker"), NotifyEvent::Recovered, QString());
            // The server runs on this thread and has not answered yet: notify did not wait.
            QVERIFY(recorder.received().isEmpty());
            QTRY_COMPARE_WITH_TIMEOUT(recorder.received().size(), 2, 60000);
            notifier.finish(30000);
        }
        const RecordedNotification &n = recorder.received().first();
        QCOMPARE(n.appName, QStringLiteral("Norvex"));
        QCOMPARE(n.summary, QStringLiteral("Norvex"));
        QCOMPARE(n.body, body);
        QCOMPARE(n.icon, QUrl::fromLocalFile(icon).toString());
        QCOMPARE(n.replacesId, 0u);
        QVERIFY(n.actions.isEmpty());
        QCOMPARE(n.hints.value(QStringLiteral("urgency")).toInt(), urgency);
        // Exactly one for the event: the next one the server saw is the marker.
        QCOMPARE(recorder.received().at(1).body, QStringLiteral("marker"));
    }

    // No server, a server that appears later, a bus that goes away, a bus that never was:
    // notifications are lost, never the notifier, and a stop is never held up.
    void desktopSurvivesMissingPeers()
    {
        DesktopNotifier notifier(m_bus.address(), QString(), 2000);
        notifier.notify(QStringLiteral("early"), NotifyEvent::Failed, QStringLiteral("lost"));

        NotificationRecorder recorder(m_bus.address());
        QVERIFY(recorder.registered());
        notifier.notify(QStringLiteral("late"), NotifyEvent::Failed, QStringLiteral("seen"));
        QTRY_VERIFY_WITH_TIMEOUT(!recorder.received().isEmpty() &&
                                     recorder.received().last().body ==
                                         QStringLiteral("late\nseen"),
                                 60000);
        notifier.finish(30000);

        // A bus that goes away under a connected notifier.
        PrivateSessionBus gone;
        QVERIFY2(gone.start(), qPrintable(gone.error()));
        DesktopNotifier orphan(gone.address(), QString(), 2000);
        orphan.notify(QStringLiteral("job"), NotifyEvent::Failed, QStringLiteral("one"));
        gone.stop();
        orphan.notify(QStringLiteral("job"), NotifyEvent::Failed, QStringLiteral("two"));
        orphan.finish(60000);

        DesktopNotifier nowhere(QStringLiteral("unix:path=") + QDir::tempPath() +
                                    QStringLiteral("/norvex-no-such-bus"),
                                QString(), 2000);
        nowhere.notify(QStringLiteral("job"), NotifyEvent::Stale, QStringLiteral("text"));
        nowhere.finish(60000);
    }

    void commandLineSplitsLikeAShell_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QStringList>("words");

        QTest::newRow("blanks") << "  /usr/bin/notify\t-a  b " << true
                                << QStringList{"/usr/bin/notify", "-a", "b"};
        QTest::newRow("single quotes")
            << "sh -c 'echo \"$NORVEX_JOB\" | mail -s x root'" << true
            << QStringList{"sh", "-c", "echo \"$NORVEX_JOB\" | mail -s x root"};
        QTest::newRow("double quotes") << "\"/home/a b/notify\" \"say \\\"hi\\\" \\$x \\n\"" << true
                                       << QStringList{"/home/a b/notify", "say \"hi\" $x \\n"};
        QTest::newRow("backslash outside quotes")
            << "a\\ b c\\'d" << true << QStringList{"a b", "c'd"};
        QTest::newRow("joined pieces") << "x'y'\"z\" ''" << true << QStringList{"xyz", ""};
        QTest::newRow("nothing") << "   " << true << QStringList{};
        QTest::newRow("unclosed single") << "sh -c 'echo" << false << QStringList{};
        QTest::newRow("unclosed double") << "sh -c \"echo" << false << QStringList{};
    }

    void commandLineSplitsLikeAShell()
    {
        QFETCH(QString, command);
        QFETCH(bool, ok);
        QFETCH(QStringList, words);
        QStringList got{QStringLiteral("left over")};
        QCOMPARE(shared::splitNotifyCommand(command, got), ok);
        QCOMPARE(got, words);
    }

    void commandGetsJobEventAndText_data()
    {
        QTest::addColumn<NotifyEvent>("event");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");

        QTest::newRow("failed") << NotifyEvent::Failed << "failed"
                                << "日次 転送に失敗しました。\tConnection refused (#10061)";
        QTest::newRow("stale") << NotifyEvent::Stale << "stale"
                               << "nas 前回のバックアップ成功から2回分の間隔を過ぎました。";
        QTest::newRow("recovered") << NotifyEvent::Recovered << "recovered"
                                   << "nas \"quoted\" $HOME `date` 'x'";
    }

    // Without a shell: quotes group words, nothing in the text is expanded.
    void commandGetsJobEventAndText()
    {
        QFETCH(NotifyEvent, event);
        QFETCH(QString, name);
        QFETCH(QString, text);
        const QString home = makeInstallFolder(QStringLiteral("env-") + name);
        const QString out = home + QStringLiteral("out file.txt");
        // The single quotes keep the blank of "out file.txt", as a shell would.
        CommandNotifier notifier(home, QLatin1Char('"') + envScript(home) + QStringLiteral("\" '") +
                                           out + QLatin1Char('\''));
        notifier.notify(QStringLiteral("日次 job"), event, text);
        notifier.finish(120000);
        QCOMPARE(QString::fromUtf8(readBytes(out)), QStringLiteral("JOB=日次 job\nEVENT=") + name +
                                                        QStringLiteral("\nTEXT=") + text +
                                                        QStringLiteral("\n--\n"));
        QVERIFY2(entries(home).isEmpty(), qPrintable(entries(home).join(QLatin1Char('\n'))));
    }

    void commandFailureIsAnErrorEntry_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<QString>("reason");

        QTest::newRow("exit code") << "sh -c 'echo starting; echo mailer down >&2; exit 3'" << 60000
                                   << "通知コマンド sh が終了コード 3 で終了しました。 "
                                      "mailer down";
        QTest::newRow("missing program")
            << "/nonexistent/notify-me" << 60000
            << "通知コマンド /nonexistent/notify-me を起動できませんでした。.*";
        QTest::newRow("killed") << "sh -c 'kill -9 $$'" << 60000
                                << "通知コマンド sh が異常終了しました。";
        QTest::newRow("unclosed quote")
            << "sh -c 'exit 0" << 60000 << "通知コマンドの引用符が閉じられていません。";
        QTest::newRow("hangs") << "sleep 300" << 500
                               << "通知コマンド sleep が 500 ミリ秒以内に終了しなかったため停止し"
                                  "ました。";
    }

    void commandFailureIsAnErrorEntry()
    {
        QFETCH(QString, command);
        QFETCH(int, timeoutMs);
        QFETCH(QString, reason);
        const QString home = makeInstallFolder(QStringLiteral("fail-") + QTest::currentDataTag());
        CommandNotifier notifier(home, command, timeoutMs);
        notifier.notify(QStringLiteral("日次"), NotifyEvent::Failed, QStringLiteral("text"));
        notifier.finish(120000);
        const QStringList all = entries(home);
        QCOMPARE(all.size(), 1);
        const QRegularExpression expected(
            QStringLiteral("^E\\t日次 通知コマンドの実行に失敗しました。\\t") + reason +
            QLatin1Char('$'));
        QVERIFY2(expected.match(all.first()).hasMatch(), qPrintable(all.first()));
    }

    // Events go out one after another in the order they came, while the caller goes on.
    void commandsRunInOrderBesideTheCaller()
    {
        const QString home = makeInstallFolder(QStringLiteral("order"));
        const QString gate = home + QStringLiteral("gate");
        const QString out = home + QStringLiteral("out");
        CommandNotifier notifier(
            home, QStringLiteral("sh -c 'while [ ! -e \"$0\" ]; do sleep 0.05; done; "
                                 "echo \"$NORVEX_JOB\" >> \"$1\"' ") +
                      gate + QLatin1Char(' ') + out);
        for (int i = 1; i <= 5; ++i)
            notifier.notify(QString::number(i), NotifyEvent::Failed, QString());
        // Every notify returned while the first command still waits at the gate.
        QVERIFY(!QFile::exists(out));
        writeBytes(gate, "");
        notifier.finish(120000);
        QCOMPARE(readBytes(out), QByteArray("1\n2\n3\n4\n5\n"));
    }

    // A stop waits a bounded time, then ends a hanging command with what it started, and
    // later events are dropped.
    void stopEndsAHangingCommandWithItsChildren()
    {
        const QString home = makeInstallFolder(QStringLiteral("stop"));
        const QString pidFile = home + QStringLiteral("child.pid");
        CommandNotifier notifier(
            home, QStringLiteral("sh -c 'sleep 300 & echo $! > \"$0\"; wait' ") + pidFile);
        notifier.notify(QStringLiteral("job"), NotifyEvent::Failed, QString());
        QTRY_VERIFY_WITH_TIMEOUT(readBytes(pidFile).endsWith('\n'), 60000);
        const qint64 child = readBytes(pidFile).trimmed().toLongLong();
        QVERIFY(child > 0);
        QVERIFY(!processEnded(child));
        notifier.finish(100);
        QTRY_VERIFY_WITH_TIMEOUT(processEnded(child), 30000);
        notifier.notify(QStringLiteral("after"), NotifyEvent::Failed, QString());
        QTRY_COMPARE_WITH_TIMEOUT(
            entries(home),
            QStringList{QStringLiteral("E\tjob 通知コマンドの実行に失敗しました。\t通知コマ"
                                       "ンド sh をサービスの終了のため停止しました。")},
            30000);
    }

    void serviceNotifierUsesEveryChannelSetUp_data()
    {
        QTest::addColumn<bool>("bus");
        QTest::addColumn<bool>("command");
        QTest::addColumn<bool>("icon");

        QTest::newRow("both, installed icon") << true << true << true;
        QTest::newRow("desktop without icon") << true << false << false;
        QTest::newRow("command only") << false << true << true;
    }

    void serviceNotifierUsesEveryChannelSetUp()
    {
        QFETCH(bool, bus);
        QFETCH(bool, command);
        QFETCH(bool, icon);
        const QString home =
            makeInstallFolder(QStringLiteral("service-") + QTest::currentDataTag());
        const QString out = home + QStringLiteral("out");
        if (command)
            writeBytes(home + QStringLiteral("Norvex.ini"),
                       "[Option]\r\nTmpFolder=\r\nNotifyCommand='" +
                           QFile::encodeName(envScript(home) + QStringLiteral("' '") + out) +
                           "'\r\n");
        if (icon) {
            QDir().mkpath(home + QStringLiteral("icons"));
            writeBytes(home + QStringLiteral("icons/norvex.svg"), "<svg/>");
        }
        shared::TIniFileCompo settings;
        settings.SetDefaultFolder(shared::TIniFileCompo::dfUser);
        settings.SetFileName(home + QStringLiteral("Norvex.ini"));
        QProcessEnvironment env;
        if (bus)
            env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_bus.address());

        NotificationRecorder recorder(m_bus.address());
        QVERIFY(recorder.registered());
        {
            const std::unique_ptr<Notifier> notifier = makeServiceNotifier(home, settings, env);
            notifier->notify(QStringLiteral("job"), NotifyEvent::Stale, QStringLiteral("text"));
            notifier->notify(QStringLiteral("marker"), NotifyEvent::Recovered, QString());
            if (bus) {
                QTRY_COMPARE_WITH_TIMEOUT(recorder.received().size(), 2, 60000);
                QCOMPARE(
                    recorder.received().first().icon,
                    icon ? QUrl::fromLocalFile(home + QStringLiteral("icons/norvex.svg")).toString()
                         : QString());
            }
            notifier->finish(NotifyStopWaitMs);
        }
        if (!bus)
            QVERIFY(recorder.received().isEmpty());
        QCOMPARE(readBytes(out).count("EVENT="), command ? 2 : 0);
        if (command)
            QVERIFY(readBytes(out).startsWith("JOB=job\nEVENT=stale\nTEXT=text\n"));
    }
};

QTEST_GUILESS_MAIN(NotifierTest)
#include "NotifierTest.moc"
