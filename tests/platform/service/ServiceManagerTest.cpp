#include "platform/ServiceManager.h"
#include "platform/ServiceManagerBuiltin.h"
#include "platform/ServiceManagerSystemd.h"
#include "platform/ServiceProcess.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace norvex::platform;

Q_DECLARE_METATYPE(norvex::platform::ServiceState)

namespace {

// A second process that holds (or tries to take) a POSIX record lock on a file, as the
// service does; it prints "locked" or "busy" and then waits for its standard input to end.
const char *const LockPeer = R"(
import fcntl, os, sys
f = open(sys.argv[1], 'a+')
try:
    fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
except OSError:
    print('busy', flush=True); sys.exit(1)
if len(sys.argv) > 2:
    f.truncate(0); f.write(sys.argv[2]); f.flush()
print('locked', flush=True)
sys.stdin.read()
)";

void startPeer(QProcess &peer, const QStringList &arguments)
{
    peer.start(QStringLiteral("/usr/bin/python3"),
               QStringList{QStringLiteral("-c"), QString::fromLatin1(LockPeer)} + arguments);
    QVERIFY2(peer.waitForStarted(), "python3 is needed as the lock peer");
    QVERIFY(peer.waitForReadyRead(10000));
}

SystemctlResult ran(int exitCode, const char *out, const char *err)
{
    SystemctlResult result;
    result.ran = true;
    result.exitCode = exitCode;
    result.out = out;
    result.err = err;
    return result;
}

int errorCodeOf(const SystemctlResult &result)
{
    return systemctlFailure(result).code();
}

} // namespace

class ServiceManagerTest : public QObject
{
    Q_OBJECT

private slots:
    void unitTextPassesSystemdVerify_data()
    {
        QTest::addColumn<QString>("folderName");
        QTest::addColumn<QString>("home");
        QTest::addColumn<bool>("userUnit");
        QTest::newRow("system unit") << "plain"
                                     << "/srv/norvex/" << false;
        QTest::newRow("user unit") << "plain"
                                   << "/srv/norvex/" << true;
        QTest::newRow("no NORVEX_HOME") << "plain"
                                        << "" << false;
        // systemd splits words at spaces, expands %-specifiers and reads C escapes.
        QTest::newRow("space, percent, dollar") << "a b%c$d"
                                                << "/srv/a b%c$d\"e\\f'g/" << false;
        QTest::newRow("same in a user unit") << "a b%c$d"
                                             << "/srv/a b%c$d\"e\\f'g/" << true;
    }
    void unitTextPassesSystemdVerify()
    {
        QFETCH(QString, folderName);
        QFETCH(QString, home);
        QFETCH(bool, userUnit);
        const bool withHome = !home.isEmpty();
        QTemporaryDir temp;
        QVERIFY(temp.isValid());
        const QString folder = temp.path() + QLatin1Char('/') + folderName;
        QVERIFY(QDir().mkpath(folder));
        // verify checks that ExecStart names an executable, which also proves the quoting.
        const QString executable = folder + QStringLiteral("/NorvexService");
        QVERIFY(QFile::copy(QStringLiteral("/bin/true"), executable));
        QVERIFY(
            QFile::setPermissions(executable, QFile::permissions(executable) | QFile::ExeOwner));
        ServiceSpec spec{QStringLiteral("Norvex"), QStringLiteral("Norvex"), executable, home};
        const QString text = systemdUnitText(spec, userUnit);
        for (const char *line :
             {"Type=notify", "Nice=19", "IOSchedulingClass=idle", "Restart=on-failure"})
            QVERIFY2(text.contains(QLatin1String(line) + QLatin1Char('\n')), line);
        QCOMPARE(text.contains(QLatin1String("Environment=\"NORVEX_HOME=")), withHome);
        QCOMPARE(text.contains(QLatin1String("WantedBy=default.target")), userUnit);

        const QString unitPath = temp.path() + QStringLiteral("/norvex.service");
        QFile unit(unitPath);
        QVERIFY(unit.open(QIODevice::WriteOnly));
        unit.write(text.toUtf8());
        unit.close();
        QDir().mkpath(temp.path() + QStringLiteral("/runtime"));
        QProcess verify;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"),
                           temp.path() + QStringLiteral("/runtime"));
        verify.setProcessEnvironment(environment);
        QStringList arguments;
        if (userUnit)
            arguments << QStringLiteral("--user");
        arguments << QStringLiteral("verify") << unitPath;
        verify.start(QStringLiteral("systemd-analyze"), arguments);
        QVERIFY2(verify.waitForStarted(), "systemd-analyze (package systemd) is needed");
        QVERIFY(verify.waitForFinished(60000));
        const QByteArray output = verify.readAllStandardOutput() + verify.readAllStandardError();
        QVERIFY2(verify.exitCode() == 0 && output.isEmpty(), output.constData());
    }

    // A path systemd would refuse is refused at install, before anything is written.
    void installRefusesPathSystemdCannotRun()
    {
        QTemporaryDir temp;
        qputenv("NORVEX_SYSTEMD_UNIT_DIR", temp.path().toLocal8Bit());
        SystemdServiceManager manager;
        for (const char *name : {"/opt/a\"b/NorvexService", "/opt/a\\b/NorvexService",
                                 "/opt/it's/NorvexService", "relative/NorvexService"}) {
            try {
                manager.install({QStringLiteral("Norvex"),
                                 QStringLiteral("Norvex"),
                                 QString::fromUtf8(name),
                                 {}});
                QFAIL(name);
            } catch (const ServiceError &error) {
                QCOMPARE(error.code(), EINVAL);
            }
        }
        QVERIFY(QDir(temp.path()).isEmpty());
        qunsetenv("NORVEX_SYSTEMD_UNIT_DIR");
    }

    // install enables a packaged unit instead of writing its own only when the packaged
    // unit runs the very program being registered.
    void unitExecutable_data()
    {
        QTest::addColumn<QByteArray>("unit");
        QTest::addColumn<QString>("expected");
        const QString packaged = QStringLiteral("/usr/lib/norvex/NorvexService");
        for (const char *scope : {"user", "system"}) {
            QFile file(qEnvironmentVariable("NORVEX_SOURCE_DIR") +
                       QStringLiteral("/packaging/systemd/%1/norvex.service").arg(scope));
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
            QTest::addRow("packaged %s unit", scope) << file.readAll() << packaged;
        }
        for (const QString &exe : {QStringLiteral("/opt/norvex/NorvexService"),
                                   QStringLiteral("/home/a b/100%/NorvexService")}) {
            const ServiceSpec spec{QStringLiteral("Norvex"), QStringLiteral("Norvex"), exe,
                                   QStringLiteral("/srv/n/")};
            QTest::addRow("written: %s", qPrintable(exe))
                << systemdUnitText(spec, true).toUtf8() << exe;
        }
        QTest::newRow("prefixed, unquoted, with arguments")
            << QByteArray("[Service]\nExecStart=-/usr/bin/x --y\n") << "/usr/bin/x";
        QTest::newRow("escaped quote") << QByteArray("ExecStart=\"/a\\\"b\" z\n") << "/a\"b";
        QTest::newRow("none") << QByteArray("[Service]\nType=notify\n") << "";
        QTest::newRow("ExecStartPre is not ExecStart")
            << QByteArray("ExecStartPre=/bin/true\nExecStart=/bin/x\n") << "/bin/x";
    }

    void unitExecutable()
    {
        QFETCH(QByteArray, unit);
        QFETCH(QString, expected);
        QCOMPARE(systemdUnitExecutable(unit), expected);
    }

    void unitNameIsLowerCase()
    {
        QCOMPARE(systemdUnitName(QStringLiteral("Norvex")), QStringLiteral("norvex.service"));
    }

    // Output of "systemctl show --property=LoadState,ActiveState,UnitFileState norvex.service"
    // (systemd 252).
    void stateFromShowOutput_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<ServiceState>("state");
        QTest::newRow("running")
            << QByteArray("LoadState=loaded\nActiveState=active\nUnitFileState=enabled\n")
            << ServiceState::Running;
        QTest::newRow("starting")
            << QByteArray("LoadState=loaded\nActiveState=activating\nUnitFileState=enabled\n")
            << ServiceState::StartPending;
        QTest::newRow("stopping")
            << QByteArray("LoadState=loaded\nActiveState=deactivating\nUnitFileState=enabled\n")
            << ServiceState::StopPending;
        QTest::newRow("reloading")
            << QByteArray("LoadState=loaded\nActiveState=reloading\nUnitFileState=enabled\n")
            << ServiceState::Running;
        QTest::newRow("stopped")
            << QByteArray("LoadState=loaded\nActiveState=inactive\nUnitFileState=disabled\n")
            << ServiceState::Stopped;
        QTest::newRow("failed")
            << QByteArray("LoadState=loaded\nActiveState=failed\nUnitFileState=enabled\n")
            << ServiceState::Stopped;
        QTest::newRow("masked")
            << QByteArray("LoadState=masked\nActiveState=inactive\nUnitFileState=masked\n")
            << ServiceState::Stopped;
        QTest::newRow("other order")
            << QByteArray("ActiveState=active\nUnitFileState=enabled\nLoadState=loaded\n")
            << ServiceState::Running;
    }
    void stateFromShowOutput()
    {
        QFETCH(QByteArray, output);
        QFETCH(ServiceState, state);
        QCOMPARE(systemdState(unitStatusFromShow(ran(0, output.constData(), ""))), state);
    }

    void showOfUnknownUnitIsNotInstalled()
    {
        const SystemctlResult result =
            ran(0, "LoadState=not-found\nActiveState=inactive\nUnitFileState=\n", "");
        try {
            unitStatusFromShow(result);
            QFAIL("no error for a unit systemd does not know");
        } catch (const ServiceError &error) {
            QCOMPARE(error.code(), ServiceErrorCode::NotInstalled);
            QCOMPARE(error.text(),
                     QStringLiteral(
                         "指定されたサービスはインストールされたサービスとして存在しません。"));
        }
    }

    void errorFromSystemctlOutput_data()
    {
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<int>("code");
        const QByteArray see =
            "See system logs and 'systemctl status norvex.service' for details.\n";
        QTest::newRow("polkit refused")
            << 4 << "Failed to start norvex.service: Access denied\n" + see
            << ServiceErrorCode::AccessDenied;
        QTest::newRow("no polkit agent")
            << 4 << "Failed to start norvex.service: Interactive authentication required.\n" + see
            << ServiceErrorCode::AccessDenied;
        QTest::newRow("enable as user") << 1 << QByteArray("Failed to enable unit: Access denied\n")
                                        << ServiceErrorCode::AccessDenied;
        QTest::newRow("unit file missing")
            << 1 << QByteArray("Failed to stop norvex.service: Unit norvex.service not loaded.\n")
            << ServiceErrorCode::NotInstalled;
        QTest::newRow("unknown unit")
            << 5 << QByteArray("Failed to start norvex.service: Unit norvex.service not found.\n")
            << ServiceErrorCode::NotInstalled;
        QTest::newRow("masked")
            << 1 << QByteArray("Failed to start norvex.service: Unit norvex.service is masked.\n")
            << ServiceErrorCode::Disabled;
        // Seen on this machine: systemctl without a running systemd.
        QTest::newRow("no systemd")
            << 1
            << QByteArray("System has not been booted with systemd as init system (PID 1). "
                          "Can't operate.\nFailed to connect to bus: Host is down\n")
            << ServiceErrorCode::ManagerFailed;
        QTest::newRow("no user bus")
            << 1 << QByteArray("Failed to connect to bus: No medium found\n")
            << ServiceErrorCode::ManagerFailed;
        QTest::newRow("silent failure") << 1 << QByteArray() << ServiceErrorCode::ManagerFailed;
    }
    void errorFromSystemctlOutput()
    {
        QFETCH(int, exitCode);
        QFETCH(QByteArray, err);
        QFETCH(int, code);
        const ServiceError error = systemctlFailure(ran(exitCode, "", err.constData()));
        QCOMPARE(error.code(), code);
        QVERIFY(error.text().startsWith(serviceErrorText(code)));
        // The tool's own words are kept for the user, without the journal advice.
        if (!err.isEmpty()) {
            QVERIFY(error.text().contains(QString::fromUtf8(err.left(err.indexOf('\n')))));
            QVERIFY(!error.text().contains(QLatin1String("See system logs")));
        }
    }

    void systemctlThatDidNotRun()
    {
        SystemctlResult missing;
        missing.error = ENOENT;
        QCOMPARE(errorCodeOf(missing), ENOENT);
        SystemctlResult hung;
        hung.error = ETIMEDOUT;
        QCOMPARE(errorCodeOf(hung), ServiceErrorCode::NoResponse);
    }

    // The real systemctl of this machine: without systemd every request fails with
    // systemd's own explanation, never a state or a success.
    void realSystemctl()
    {
        SystemdServiceManager manager;
        manager.setTimeout(30000);
        const bool systemdRuns = QFileInfo(QStringLiteral("/run/systemd/system")).isDir();
        for (int request = 0; request < 2; ++request) {
            try {
                if (request == 0)
                    manager.queryState(QStringLiteral("NorvexTestNoSuchUnit"));
                else
                    manager.start(QStringLiteral("NorvexTestNoSuchUnit"), {});
                QFAIL("a request on an unknown unit succeeded");
            } catch (const ServiceError &error) {
                if (systemdRuns) {
                    QCOMPARE(error.code(), ServiceErrorCode::NotInstalled);
                } else {
                    QCOMPARE(error.code(), ServiceErrorCode::ManagerFailed);
                    QVERIFY2(error.text().contains(QLatin1String("systemd")),
                             qPrintable(error.text()));
                }
            }
        }
    }

    void backendChoice()
    {
        QTemporaryDir temp;
        qputenv("NORVEX_SERVICE_REGISTRY", temp.path().toLocal8Bit());
        qputenv("NORVEX_SERVICE_MANAGER", "builtin");
        auto builtin = ServiceManager::create();
        QCOMPARE(builtin->backendName(), QStringLiteral("builtin"));
        QCOMPARE(static_cast<BuiltinServiceManager &>(*builtin).registry(), temp.path());
        qputenv("NORVEX_SERVICE_MANAGER", "SYSTEMD");
        QCOMPARE(ServiceManager::create()->backendName(), QStringLiteral("systemd"));
        qunsetenv("NORVEX_SERVICE_MANAGER");
        qunsetenv("NORVEX_SERVICE_REGISTRY");
        const bool systemd = QFileInfo(QStringLiteral("/run/systemd/system")).isDir();
        QCOMPARE(ServiceManager::create()->backendName(),
                 systemd ? QStringLiteral("systemd") : QStringLiteral("builtin"));
        QCOMPARE(BuiltinServiceManager::defaultRegistry(), QStringLiteral("/etc/norvex/services"));
    }

    // The instance lock as another process holds it: alive means held, dead means free.
    void lockHeldByAnotherProcess()
    {
        QTemporaryDir temp;
        const QString path = temp.filePath(QStringLiteral("Norvex.lock"));
        QCOMPARE(readServiceLock(path).held, false); // no file

        QProcess peer;
        startPeer(peer, {path, QStringLiteral("3 %1\n").arg(12345, 10)});
        QCOMPARE(peer.readAll().trimmed(), QByteArray("locked"));
        ServiceLockState state = readServiceLock(path);
        QVERIFY(state.held);
        QCOMPARE(state.state, ServiceState::Running);
        QCOMPARE(state.pid, int(peer.processId()));

        peer.kill(); // SIGKILL: the kernel drops the lock, the file stays behind
        QVERIFY(peer.waitForFinished());
        QVERIFY(QFile::exists(path));
        state = readServiceLock(path);
        QVERIFY(!state.held);
        QCOMPARE(state.state, ServiceState::Stopped);

        // Held with nothing written yet: the service has only just started.
        QFile::remove(path);
        QProcess fresh;
        startPeer(fresh, {path});
        QCOMPARE(readServiceLock(path).state, ServiceState::StartPending);
        fresh.closeWriteChannel();
        QVERIFY(fresh.waitForFinished());
    }

    void serviceProcessHoldsLockAndPublishes()
    {
        QTemporaryDir temp;
        const QString path = temp.filePath(QStringLiteral("Norvex.lock"));
        qputenv(ServiceLockVariable, path.toLocal8Bit());
        {
            ServiceProcess process;
            QString error;
            QVERIFY2(process.begin(QString(), &error), qPrintable(error));
            QVERIFY(process.holdsLock());
            process.publish(ServiceState::StopPending);
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QList<QByteArray> words = file.readAll().simplified().split(' ');
            QCOMPARE(words.value(0), QByteArray("2"));
            QCOMPARE(words.value(1).toInt(), int(getpid()));

            QProcess second; // a second instance must not get the lock
            startPeer(second, {path});
            QCOMPARE(second.readAll().trimmed(), QByteArray("busy"));
            second.waitForFinished();
        }
        QProcess after;
        startPeer(after, {path});
        QCOMPARE(after.readAll().trimmed(), QByteArray("locked"));
        after.closeWriteChannel();
        after.waitForFinished();
        qunsetenv(ServiceLockVariable);

        // Started by hand: no lock, nothing to refuse.
        ServiceProcess byHand;
        QVERIFY(byHand.begin(QString(), nullptr));
        QVERIFY(!byHand.holdsLock());
    }

    void oneServicePerInstallationFolder()
    {
        QTemporaryDir folder;
        QString error;
        auto first = std::make_unique<ServiceProcess>();
        QVERIFY2(first->begin(folder.path(), &error), qPrintable(error));
        ServiceProcess second;
        QVERIFY(!second.begin(folder.path(), &error));
        QVERIFY2(error.startsWith(serviceErrorText(ServiceErrorCode::AlreadyRunning)),
                 qPrintable(error));
        QVERIFY(QDir(folder.path()).isEmpty()); // the lock leaves nothing in the folder
        first.reset();
        ServiceProcess third;
        QVERIFY(third.begin(folder.path(), &error));
        ServiceProcess missing;
        QVERIFY(!missing.begin(folder.filePath(QStringLiteral("gone")), &error));
    }

    void notifySocket_data()
    {
        QTest::addColumn<bool>("abstract");
        QTest::newRow("path") << false;
        QTest::newRow("abstract") << true;
    }
    void notifySocket()
    {
        QFETCH(bool, abstract);
        QTemporaryDir temp;
        const QByteArray name =
            abstract ? QByteArray("@norvex-notify-test-") + QByteArray::number(getpid())
                     : temp.filePath(QStringLiteral("notify")).toLocal8Bit();
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        QVERIFY(fd >= 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(name.size()));
        if (abstract)
            address.sun_path[0] = '\0';
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), length), 0);

        qputenv("NOTIFY_SOCKET", name);
        ServiceProcess process;
        QVERIFY(process.begin(QString(), nullptr));
        process.publish(ServiceState::Running);
        process.publish(ServiceState::StopPending);
        char buffer[64];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        QCOMPARE(QByteArray(buffer, int(n)), QByteArray("READY=1"));
        n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        QCOMPARE(QByteArray(buffer, int(n)), QByteArray("STOPPING=1"));
        qunsetenv("NOTIFY_SOCKET");
        QVERIFY(!sdNotify("READY=1"));
        ::close(fd);
    }
};

QTEST_GUILESS_MAIN(ServiceManagerTest)
#include "ServiceManagerTest.moc"
