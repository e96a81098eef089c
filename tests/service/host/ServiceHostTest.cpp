#include "config/ServiceCommands.h"
#include "config/SrvCtrl.h"
#include "platform/Priority.h"
#include "platform/ServiceManagerBuiltin.h"
#include "platform/ServiceProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace norvex;
using config::ESrvCtrlException;

namespace {

const QString StartText = QStringLiteral("Norvexサービスを開始いたしました。");
const QString StopText = QStringLiteral("Norvexサービスを終了いたしました。");

QString servicePath()
{
    return qEnvironmentVariable("NORVEX_BINARY_DIR") + QStringLiteral("/service/NorvexService");
}

QString home()
{
    return qEnvironmentVariable("NORVEX_HOME");
}

struct Run
{
    int exitCode = -1;
    bool crashed = true;
    QString out, err;
};

Run runService(const QStringList &arguments, const QString &program = servicePath(),
               const QStringList &prefix = {})
{
    QProcess process;
    if (prefix.isEmpty())
        process.start(program, arguments);
    else
        process.start(prefix.first(), prefix.mid(1) + QStringList{program} + arguments);
    Run run;
    if (!process.waitForStarted() || !process.waitForFinished(60000))
        return run;
    run.exitCode = process.exitCode();
    run.crashed = process.exitStatus() != QProcess::NormalExit;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// "I<tab>text" of every entry of the day files, oldest file first.
QStringList logEntries()
{
    QStringList entries;
    QDir log(home() + QStringLiteral("/Log"));
    for (const QString &name : log.entryList(QDir::Files, QDir::Name)) {
        QFile file(log.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QStringList lines =
            QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        for (const QString &line : lines.mid(1)) {
            const QStringList fields = line.split(QLatin1Char('\t'));
            entries << fields.value(0) + QLatin1Char('\t') + fields.value(2);
        }
    }
    return entries;
}

// Gone, or a zombie that no one reaps (a container's first process may not).
bool processGone(int pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2, 1) == "Z";
}

int openFileCount()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::NoDotAndDotDot)
                   .size());
}

} // namespace

class ServiceHostTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_registry;

    QString lockPath() const { return m_registry->path() + QStringLiteral("/Norvex.lock"); }

    int waitForState(config::TSrvCtrl &ctrl, int wanted, int ms)
    {
        QElapsedTimer clock;
        clock.start();
        int state = -1;
        while (clock.elapsed() < ms) {
            state = config::serviceStateQuery(ctrl);
            if (state == wanted)
                break;
            QTest::qWait(20);
        }
        return state;
    }

    template <typename F>
    int errorCode(F &&action)
    {
        try {
            action();
        } catch (const ESrvCtrlException &error) {
            return error.ErrorCode();
        }
        return 0;
    }

    void install()
    {
        const Run run = runService({QStringLiteral("-install"), QStringLiteral("-silent")});
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(servicePath()).isExecutable(), qPrintable(servicePath()));
    }

    void init()
    {
        m_registry = std::make_unique<QTemporaryDir>();
        qputenv("NORVEX_SERVICE_REGISTRY", m_registry->path().toLocal8Bit());
        QDir(home() + QStringLiteral("/Log")).removeRecursively();
    }

    // No test leaves a service running, whatever failed.
    void cleanup()
    {
        const platform::ServiceLockState lock = platform::readServiceLock(lockPath());
        if (lock.held && lock.pid > 0)
            ::kill(lock.pid, SIGKILL);
    }

    void switchesInAnyForm_data()
    {
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QString>("install");
        QTest::addColumn<QString>("uninstall");
        QTest::addColumn<QString>("silent");
        QTest::newRow("-lower") << "-"
                                << "install"
                                << "uninstall"
                                << "";
        QTest::newRow("--UPPER") << "--"
                                 << "INSTALL"
                                 << "UNINSTALL"
                                 << "";
        QTest::newRow("/Mixed") << "/"
                                << "Install"
                                << "UnInstall"
                                << "";
        QTest::newRow("-silent") << "-"
                                 << "install"
                                 << "uninstall"
                                 << "silent";
        QTest::newRow("/SILENT") << "/"
                                 << "INSTALL"
                                 << "UNINSTALL"
                                 << "SILENT";
        QTest::newRow("--Silent") << "--"
                                  << "Install"
                                  << "Uninstall"
                                  << "Silent";
    }
    void switchesInAnyForm()
    {
        QFETCH(QString, prefix);
        QFETCH(QString, install);
        QFETCH(QString, uninstall);
        QFETCH(QString, silent);
        const QString record = m_registry->path() + QStringLiteral("/Norvex.conf");
        for (const QString &word : {install, uninstall}) {
            QStringList arguments{prefix + word};
            if (!silent.isEmpty())
                arguments.prepend(prefix + silent);
            const Run run = runService(arguments);
            QCOMPARE(run.exitCode, 0);
            QCOMPARE(run.err, QString());
            QCOMPARE(run.out.isEmpty(), !silent.isEmpty());
            QCOMPARE(QFile::exists(record), word == install);
        }
    }

    void failuresGoToStandardError()
    {
        Run run = runService({QStringLiteral("-uninstall")});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.out, QString());
        QVERIFY(run.err.contains(
            QStringLiteral("指定されたサービスはインストールされたサービスとして存在しません。")));

        install();
        run = runService({QStringLiteral("-install")});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.out, QString());
        QVERIFY(run.err.contains(QStringLiteral("指定されたサービスは既に存在します。")));

        for (const char *bad : {"-bogus", "install", "-install -uninstall"}) {
            run = runService(QString::fromLatin1(bad).split(QLatin1Char(' ')));
            QCOMPARE(run.exitCode, 2);
            QVERIFY(!run.err.isEmpty());
        }
    }

    // The service as the configuration program sees it, from registration to removal.
    void lifecycle()
    {
        install();
        config::TSrvCtrl ctrl;
        config::setUpSrvCtrl(ctrl);
        const int filesBefore = openFileCount();
        QCOMPARE(config::serviceStateQuery(ctrl), 0);

        config::serviceCommand(ctrl, QStringLiteral("START"));
        QCOMPARE(waitForState(ctrl, 3, 30000), 3);
        QCOMPARE(errorCode([&] { config::serviceCommand(ctrl, QStringLiteral("START")); }), 1056);

        // Every thread of the running service is at idle priority.
        const int pid = platform::readServiceLock(lockPath()).pid;
        QVERIFY(pid > 0);
        const QStringList tasks = QDir(QStringLiteral("/proc/%1/task").arg(pid))
                                      .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QVERIFY(tasks.size() >= 2); // main and control thread
        for (const QString &task : tasks) {
            QCOMPARE(platform::threadNice(task.toInt()), 19);
            QCOMPARE(platform::threadIoPriority(task.toInt()) >> platform::IoPrioClassShift,
                     platform::IoPrioClassIdle);
        }

        config::serviceCommand(ctrl, QStringLiteral("STOP"));
        QCOMPARE(waitForState(ctrl, 0, 30000), 0);
        QCOMPARE(errorCode([&] { config::serviceCommand(ctrl, QStringLiteral("STOP")); }), 1062);

        const Run run = runService({QStringLiteral("-uninstall")});
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        QCOMPARE(errorCode([&] { config::serviceStateQuery(ctrl); }), 1060);
        QVERIFY(!ctrl.Active());
        QCOMPARE(openFileCount(), filesBefore);
        QVERIFY2(QDir(m_registry->path()).isEmpty(), "record or lock left behind");
        // The lock goes with the stop; the process ends a moment later (longer under ASan).
        QTRY_VERIFY_WITH_TIMEOUT(processGone(pid), 30000);

        QCOMPARE(logEntries(), (QStringList{QStringLiteral("I\t") + StartText,
                                            QStringLiteral("I\t") + StopText}));
    }

    // With VerifyAction the client itself waits for the new state, reporting progress.
    void verifyActionWaitsForTheState()
    {
        install();
        config::TSrvCtrl ctrl;
        config::setUpSrvCtrl(ctrl);
        ctrl.SetVerifyAction(true);
        ctrl.SetTimeOut(10000);
        int progressCalls = 0;
        ctrl.OnProgress = [&](config::TSrvCtrl *, unsigned, bool &wait) {
            ++progressCalls;
            wait = true;
        };
        ctrl.SetActive(true);
        ctrl.SetKeyName(QStringLiteral("Norvex"));
        ctrl.Start();
        QCOMPARE(ctrl.QueryState(), 3);
        ctrl.Stop();
        QCOMPARE(ctrl.QueryState(), 0);
        ctrl.SetActive(false);
        // Start returns at start pending at the latest, stop at once: both had to wait.
        QVERIFY(progressCalls >= 1);
    }

    void killedServiceReadsStoppedAndStartsAgain()
    {
        install();
        config::TSrvCtrl ctrl;
        config::setUpSrvCtrl(ctrl);
        config::serviceCommand(ctrl, QStringLiteral("START"));
        QCOMPARE(waitForState(ctrl, 3, 30000), 3);
        const int pid = platform::readServiceLock(lockPath()).pid;
        QCOMPARE(::kill(pid, SIGKILL), 0);
        QCOMPARE(waitForState(ctrl, 0, 30000), 0);
        QCOMPARE(errorCode([&] { config::serviceCommand(ctrl, QStringLiteral("STOP")); }), 1062);

        config::serviceCommand(ctrl, QStringLiteral("START"));
        QCOMPARE(waitForState(ctrl, 3, 30000), 3);
        QVERIFY(platform::readServiceLock(lockPath()).pid != pid);
        config::serviceCommand(ctrl, QStringLiteral("STOP"));
        QCOMPARE(waitForState(ctrl, 0, 30000), 0);
        // The killed run wrote no stop entry; the second one did.
        QCOMPARE(logEntries(),
                 (QStringList{QStringLiteral("I\t") + StartText, QStringLiteral("I\t") + StartText,
                              QStringLiteral("I\t") + StopText}));
    }

    void uninstallStopsARunningService()
    {
        install();
        config::TSrvCtrl ctrl;
        config::setUpSrvCtrl(ctrl);
        config::serviceCommand(ctrl, QStringLiteral("START"));
        QCOMPARE(waitForState(ctrl, 3, 30000), 3);
        const int pid = platform::readServiceLock(lockPath()).pid;
        const Run run = runService({QStringLiteral("/UNINSTALL")});
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        QTRY_VERIFY_WITH_TIMEOUT(processGone(pid), 30000);
        QVERIFY(QDir(m_registry->path()).isEmpty());
        QCOMPARE(logEntries().value(1), QStringLiteral("I\t") + StopText);
    }

    // Started by hand in a terminal: the same handlers, stopped by SIGINT or SIGTERM.
    void foregroundStopsOnSignal_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGTERM") << int(SIGTERM);
    }
    void foregroundStopsOnSignal()
    {
        QFETCH(int, signalNumber);
        QProcess service;
        service.start(servicePath(), {});
        QVERIFY(service.waitForStarted());
        QElapsedTimer clock;
        clock.start();
        while (!logEntries().contains(QStringLiteral("I\t") + StartText) && clock.elapsed() < 60000)
            QTest::qWait(20);
        QVERIFY(::kill(pid_t(service.processId()), signalNumber) == 0);
        QVERIFY(service.waitForFinished(60000));
        QCOMPARE(service.exitStatus(), QProcess::NormalExit);
        QCOMPARE(service.exitCode(), 0);
        QCOMPARE(logEntries(), (QStringList{QStringLiteral("I\t") + StartText,
                                            QStringLiteral("I\t") + StopText}));
        // Started by hand it registers nothing.
        QVERIFY(QDir(m_registry->path()).isEmpty());
    }

    // A second service on the same installation folder refuses to run; the first goes on.
    void secondInstanceRefused()
    {
        QProcess first;
        first.start(servicePath(), {});
        QVERIFY(first.waitForStarted());
        QElapsedTimer clock;
        clock.start();
        while (!logEntries().contains(QStringLiteral("I\t") + StartText) && clock.elapsed() < 60000)
            QTest::qWait(20);
        const Run second = runService({});
        QCOMPARE(second.exitCode, 1);
        QVERIFY2(
            second.err.contains(QStringLiteral("サービスのインスタンスは既に実行されています。")),
            qPrintable(second.err));
        QCOMPARE(first.state(), QProcess::Running);
        ::kill(pid_t(first.processId()), SIGTERM);
        QVERIFY(first.waitForFinished(60000));
        QCOMPARE(logEntries(), (QStringList{QStringLiteral("I\t") + StartText,
                                            QStringLiteral("I\t") + StopText}));
    }

    // A user who may not write the registry gets the access-denied text, not a crash. Root
    // tries it as nobody against its own registry; anyone else against a registry without
    // write permission.
    void nonRootInstallIsAccessDenied()
    {
        const bool root = ::geteuid() == 0;
        QTemporaryDir programFolder;
        QVERIFY(::chmod(programFolder.path().toLocal8Bit().constData(), 0755) == 0);
        const QByteArray registryPath = m_registry->path().toLocal8Bit();
        QVERIFY(::chmod(registryPath.constData(), root ? 0755 : 0555) == 0);
        const QString program = programFolder.filePath(QStringLiteral("NorvexService"));
        QVERIFY(QFile::copy(servicePath(), program));
        QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOther |
                                                   QFile::ReadOther));

        QStringList asOther;
        if (root)
            asOther = {QStringLiteral("setpriv"), QStringLiteral("--reuid=nobody"),
                       QStringLiteral("--regid=nogroup"), QStringLiteral("--clear-groups"),
                       QStringLiteral("--")};
        const QString denied = QStringLiteral("アクセスが拒否されました。");

        // A registry that exists but is closed to the user, and one that would have to be
        // created in it.
        for (const QString &registry :
             {m_registry->path(), m_registry->path() + QStringLiteral("/sub")}) {
            qputenv("NORVEX_SERVICE_REGISTRY", registry.toLocal8Bit());
            const Run run = runService({QStringLiteral("-install")}, program, asOther);
            QVERIFY2(!run.crashed, "no result from the service program (setpriv from util-linux?)");
            QCOMPARE(run.exitCode, 1);
            QVERIFY2(run.err.contains(denied), qPrintable(run.err));
            QCOMPARE(run.out, QString());
        }
        qputenv("NORVEX_SERVICE_REGISTRY", m_registry->path().toLocal8Bit());
        QVERIFY(QDir(m_registry->path()).isEmpty());

        // Nor may that user remove a registration it may not write.
        if (!root)
            QVERIFY(::chmod(registryPath.constData(), 0755) == 0);
        install();
        if (!root)
            QVERIFY(::chmod(registryPath.constData(), 0555) == 0);
        const Run run = runService({QStringLiteral("-uninstall")}, program, asOther);
        if (!root)
            QVERIFY(::chmod(registryPath.constData(), 0755) == 0);
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(denied), qPrintable(run.err));
        QVERIFY(QFile::exists(m_registry->path() + QStringLiteral("/Norvex.conf")));
    }

    // The control client run by a user who may not control root's service: the state is
    // readable, start and stop are refused; a registry closed to them is refused too.
    void otherUserCannotStartOrStop()
    {
        if (::geteuid() != 0)
            QSKIP("acting as another user needs root");
        QVERIFY(::chmod(m_registry->path().toLocal8Bit().constData(), 0755) == 0);
        install();
        config::TSrvCtrl ctrl;
        config::setUpSrvCtrl(ctrl);
        // What the client reports when run as nobody: the state, or the error code + 1000.
        auto asNobody = [](const QString &command) {
            int pipeFds[2];
            if (::pipe(pipeFds) != 0)
                return -1;
            const pid_t child = ::fork();
            if (child == 0) {
                ::close(pipeFds[0]);
                int result = -1;
                if (::setgid(65534) == 0 && ::setuid(65534) == 0) {
                    config::TSrvCtrl nobodyCtrl;
                    config::setUpSrvCtrl(nobodyCtrl);
                    try {
                        if (command == QLatin1String("QUERY"))
                            result = config::serviceStateQuery(nobodyCtrl);
                        else
                            config::serviceCommand(nobodyCtrl, command), result = 100;
                    } catch (const ESrvCtrlException &error) {
                        result = 1000 + error.ErrorCode();
                    }
                }
                (void)!::write(pipeFds[1], &result, sizeof result);
                ::_exit(0);
            }
            ::close(pipeFds[1]);
            int result = -1;
            if (::read(pipeFds[0], &result, sizeof result) != sizeof result)
                result = -1;
            ::close(pipeFds[0]);
            ::waitpid(child, nullptr, 0);
            return result;
        };
        QCOMPARE(asNobody(QStringLiteral("QUERY")), 0);
        QCOMPARE(asNobody(QStringLiteral("START")), 1013);
        config::serviceCommand(ctrl, QStringLiteral("START"));
        QCOMPARE(waitForState(ctrl, 3, 30000), 3);
        QCOMPARE(asNobody(QStringLiteral("QUERY")), 3);
        QCOMPARE(asNobody(QStringLiteral("STOP")), 1013);
        QCOMPARE(config::serviceStateQuery(ctrl), 3);
        config::serviceCommand(ctrl, QStringLiteral("STOP"));
        QCOMPARE(waitForState(ctrl, 0, 30000), 0);
        QVERIFY(::chmod(m_registry->path().toLocal8Bit().constData(), 0700) == 0);
        QCOMPARE(asNobody(QStringLiteral("QUERY")), 1013);
    }

    // The systemd back end on a machine where systemd cannot take the unit: install fails
    // with systemd's reason and leaves no unit file behind.
    void systemdInstallThatFailsLeavesNothing()
    {
        QTemporaryDir units;
        qputenv("NORVEX_SERVICE_MANAGER", "systemd");
        qputenv("NORVEX_SYSTEMD_UNIT_DIR", units.path().toLocal8Bit());
        const Run run = runService({QStringLiteral("-install")});
        qputenv("NORVEX_SERVICE_MANAGER", "builtin");
        qunsetenv("NORVEX_SYSTEMD_UNIT_DIR");
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.out, QString());
        // Root reaches the system manager, another user its own manager through the bus.
        if (!QFileInfo(QStringLiteral("/run/systemd/system")).isDir())
            QVERIFY2(run.err.contains(QLatin1String("System has not been booted with systemd")) ||
                         run.err.contains(QLatin1String("Failed to connect to bus")),
                     qPrintable(run.err));
        QVERIFY(QDir(units.path()).isEmpty());
    }
};

QTEST_GUILESS_MAIN(ServiceHostTest)
#include "ServiceHostTest.moc"
