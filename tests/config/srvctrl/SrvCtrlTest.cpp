#include "config/SrvCtrl.h"
#include "config/ServiceCommands.h"
#include "platform/ServiceManagerBuiltin.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace norvex::config;
namespace platform = norvex::platform;

namespace {

int openFileCount()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::NoDotAndDotDot)
                   .size());
}

} // namespace

class SrvCtrlTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_registry;

    // A registered service whose program is `executable`; Start= as given.
    void registerService(const QString &name, const QString &executable, bool disabled = false)
    {
        platform::BuiltinServiceManager manager(m_registry->path());
        manager.install({name, name, executable, {}});
        if (disabled) {
            QFile record(manager.recordPath(name));
            QVERIFY(record.open(QIODevice::ReadOnly));
            QByteArray text = record.readAll().replace("Start=auto", "Start=disabled");
            record.close();
            QVERIFY(record.open(QIODevice::WriteOnly | QIODevice::Truncate));
            record.write(text);
        }
    }

    template <typename F>
    ESrvCtrlException expectError(F &&action)
    {
        try {
            action();
        } catch (const ESrvCtrlException &error) {
            return error;
        }
        return ESrvCtrlException(QStringLiteral("no error raised"));
    }

private slots:
    void init()
    {
        m_registry = std::make_unique<QTemporaryDir>();
        qputenv("NORVEX_SERVICE_REGISTRY", m_registry->path().toLocal8Bit());
    }

    void defaultsAndTheProgramsSettings()
    {
        TSrvCtrl ctrl;
        QCOMPARE(ctrl.Access().mask(), 0x1ffu);
        QCOMPARE(ctrl.Active(), false);
        QCOMPARE(ctrl.Machine(), QString());
        QCOMPARE(ctrl.KeyName(), QString());
        QCOMPARE(ctrl.VerifyAction(), false);
        QCOMPARE(ctrl.TimeOut(), 60000);
        setUpSrvCtrl(ctrl);
        QCOMPARE(ctrl.Access().mask(), 0x34u);
        QCOMPARE(ctrl.Machine(), QString()); // "localhost" is this computer
        QCOMPARE(ctrl.TimeOut(), 20000);
        QCOMPARE(ctrl.Active(), false);
        for (int element = satGetConfig; element <= satUserDefCtrl; ++element)
            QCOMPARE(TSrvAccessTypes{TSrvAccessType(element)}.mask(), 1u << element);
    }

    void exceptionTexts_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("not installed")
            << 1060 << "指定されたサービスはインストールされたサービスとして存在しません。";
        QTest::newRow("access denied") << 13 << "アクセスが拒否されました。";
        QTest::newRow("already running")
            << 1056 << "サービスのインスタンスは既に実行されています。";
        QTest::newRow("not running") << 1062 << "サービスは開始されていません。";
        QTest::newRow("disabled") << 1058
                                  << "サービスを開始できません。サービスが無効であるか、または有効"
                                     "なデバイスが関連付けられていません。";
    }
    void exceptionTexts()
    {
        QFETCH(int, code);
        QFETCH(QString, text);
        const ESrvCtrlException error(code);
        QCOMPARE(error.ErrorCode(), code);
        QCOMPARE(error.message(), text);
        QCOMPARE(error.className(), QStringLiteral("ESrvCtrlException"));
        QCOMPARE(ESrvCtrlException(QStringLiteral("x")).ErrorCode(), 0);
    }

    void noServiceOpened()
    {
        TSrvCtrl ctrl;
        for (int request = 0; request < 3; ++request) {
            const ESrvCtrlException error = expectError([&] {
                if (request == 0)
                    ctrl.QueryState();
                else if (request == 1)
                    ctrl.Start();
                else
                    ctrl.Stop();
            });
            QCOMPARE(error.message(), QStringLiteral("No service opened!"));
            QCOMPARE(error.ErrorCode(), 0);
        }
        // Connected but no key name: still nothing open.
        ctrl.SetActive(true);
        QCOMPARE(expectError([&] { ctrl.QueryState(); }).message(),
                 QStringLiteral("No service opened!"));
    }

    void keyNameWhileDisconnectedIsOpenedOnConnect()
    {
        registerService(QStringLiteral("Norvex"), QStringLiteral("/bin/true"));
        TSrvCtrl ctrl;
        ctrl.SetKeyName(QStringLiteral("Norvex")); // only stored
        QVERIFY(!ctrl.ServiceOpen());
        ctrl.SetActive(true);
        QVERIFY(ctrl.ServiceOpen());
        QCOMPARE(ctrl.QueryState(), 0);
        ctrl.SetActive(false);
        QVERIFY(!ctrl.ServiceOpen());
        QCOMPARE(ctrl.KeyName(), QStringLiteral("Norvex"));
    }

    void failedOpenKeepsPreviousKeyName()
    {
        registerService(QStringLiteral("Norvex"), QStringLiteral("/bin/true"));
        TSrvCtrl ctrl;
        ctrl.SetActive(true);
        ctrl.SetKeyName(QStringLiteral("Norvex"));
        const ESrvCtrlException error =
            expectError([&] { ctrl.SetKeyName(QStringLiteral("Other")); });
        QCOMPARE(error.ErrorCode(), 1060);
        QCOMPARE(ctrl.KeyName(), QStringLiteral("Norvex"));
        // The open service was closed before the attempt.
        QVERIFY(!ctrl.ServiceOpen());
        QCOMPARE(expectError([&] { ctrl.QueryState(); }).message(),
                 QStringLiteral("No service opened!"));
    }

    void eventsInOrder()
    {
        registerService(QStringLiteral("Norvex"), QStringLiteral("/bin/true"));
        TSrvCtrl ctrl;
        QStringList seen;
        auto log = [&](const char *name) {
            return [&seen, name](TSrvCtrl *) { seen << QLatin1String(name); };
        };
        ctrl.BeforeConnect = log("BeforeConnect");
        ctrl.AfterConnect = log("AfterConnect");
        ctrl.BeforeOpen = log("BeforeOpen");
        ctrl.AfterOpen = log("AfterOpen");
        ctrl.BeforeClose = log("BeforeClose");
        ctrl.AfterClose = log("AfterClose");
        ctrl.BeforeDisconnect = log("BeforeDisconnect");
        ctrl.AfterDisconnect = log("AfterDisconnect");
        ctrl.BeforeStateChange = log("BeforeStateChange");
        ctrl.SetKeyName(QStringLiteral("Norvex"));
        ctrl.SetActive(true);
        expectError([&] { ctrl.Stop(); }); // not running
        ctrl.SetActive(false);
        QCOMPARE(seen, (QStringList{"BeforeConnect", "AfterConnect", "BeforeOpen", "AfterOpen",
                                    "BeforeStateChange", "BeforeClose", "AfterClose",
                                    "BeforeDisconnect", "AfterDisconnect"}));
    }

    void rightsOutsideAccessAreRefused()
    {
        registerService(QStringLiteral("Norvex"), QStringLiteral("/bin/true"));
        TSrvCtrl ctrl;
        ctrl.SetAccess({satGetStatus});
        ctrl.SetActive(true);
        ctrl.SetKeyName(QStringLiteral("Norvex"));
        QCOMPARE(ctrl.QueryState(), 0);
        QCOMPARE(expectError([&] { ctrl.Start(); }).ErrorCode(), 13);
        QCOMPARE(expectError([&] { ctrl.Stop(); }).ErrorCode(), 13);
        ctrl.SetAccess({satStart});
        QCOMPARE(expectError([&] { ctrl.QueryState(); }).ErrorCode(), 13);
    }

    void stateQueryOfMissingServiceLeavesNoHandle()
    {
        TSrvCtrl ctrl;
        setUpSrvCtrl(ctrl);
        const int filesBefore = openFileCount();
        const ESrvCtrlException error = expectError([&] { serviceStateQuery(ctrl); });
        QCOMPARE(error.ErrorCode(), 1060);
        QCOMPARE(
            error.message(),
            QStringLiteral("指定されたサービスはインストールされたサービスとして存在しません。"));
        QVERIFY(!ctrl.Active());
        QVERIFY(!ctrl.ServiceOpen());
        QCOMPARE(openFileCount(), filesBefore);
        QCOMPARE(expectError([&] { serviceCommand(ctrl, QStringLiteral("START")); }).ErrorCode(),
                 1060);
        QVERIFY(!ctrl.Active());
        QVERIFY(QDir(m_registry->path()).isEmpty());
    }

    // Requests the service manager refuses, and starts that cannot succeed: each is an
    // error with its own code, never a success.
    void refusedRequests_data()
    {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<bool>("disabled");
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("code");
        QTest::newRow("stop a stopped service") << "/bin/true" << false << "STOP" << 1062;
        QTest::newRow("start a disabled service") << "/bin/true" << true << "START" << 1058;
        QTest::newRow("program missing")
            << "/nonexistent/NorvexService" << false << "START" << int(ENOENT);
        QTest::newRow("program ends without serving") << "/bin/true" << false << "START" << 1053;
    }
    void refusedRequests()
    {
        QFETCH(QString, executable);
        QFETCH(bool, disabled);
        QFETCH(QString, command);
        QFETCH(int, code);
        registerService(QStringLiteral("Norvex"), executable, disabled);
        TSrvCtrl ctrl;
        setUpSrvCtrl(ctrl);
        ctrl.SetTimeOut(5000);
        const ESrvCtrlException error = expectError([&] { serviceCommand(ctrl, command); });
        QCOMPARE(error.ErrorCode(), code);
        QVERIFY(!ctrl.Active());
        QCOMPARE(serviceStateQuery(ctrl), 0);
    }

    void otherComputersAreRefused()
    {
        TSrvCtrl ctrl;
        ctrl.SetMachine(QStringLiteral("LOCALHOST"));
        QCOMPARE(ctrl.Machine(), QString());
        ctrl.SetMachine(QStringLiteral("fileserver"));
        const ESrvCtrlException error = expectError([&] { ctrl.SetActive(true); });
        QVERIFY(error.message().contains(QLatin1String("fileserver")));
        QVERIFY(!ctrl.Active());
    }
};

QTEST_GUILESS_MAIN(SrvCtrlTest)
#include "SrvCtrlTest.moc"
