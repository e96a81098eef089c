// service install|uninstall|start|stop|status: the window's service control client, and the
// service manager for the registration.
#include "ctl/Ctl.h"

#include "platform/ServiceManager.h"
#include "platform/ServiceProcess.h"
#include "shared/ServiceCommands.h"
#include "shared/SrvCtrl.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QThread>

namespace norvex::ctl {

namespace {

constexpr int RunningState = 3;

QString stateText(int state)
{
    static const char *const texts[] = {"停止",       "開始処理中",     "停止処理中", "実行中",
                                        "再開処理中", "一時停止処理中", "一時停止"};
    return state >= 0 && state <= 6 ? QString::fromUtf8(texts[state]) : QString::number(state);
}

// The service program beside this one, as its own -install would register it.
platform::ServiceSpec serviceSpec(const Context &context)
{
    platform::ServiceSpec spec;
    spec.name = QString::fromLatin1(shared::ServiceKeyName);
    spec.displayName = spec.name;
    spec.executable =
        QFileInfo(QCoreApplication::applicationDirPath() + QStringLiteral("/NorvexService"))
            .canonicalFilePath();
    if (!qEnvironmentVariableIsEmpty("NORVEX_HOME"))
        spec.home = QDir(context.installFolder()).absolutePath() + QLatin1Char('/');
    return spec;
}

int waitForState(shared::TSrvCtrl &srvCtrl, bool running)
{
    // As long as the window's button waits.
    for (int polls = 0; polls < 60; ++polls) {
        try {
            if ((shared::serviceStateQuery(srvCtrl) == RunningState) == running)
                return Success;
        } catch (const shared::ESrvCtrlException &) {
        }
        QThread::msleep(500);
    }
    err(running ? QStringLiteral("サービスプログラムを起動できませんでした。\n")
                : QStringLiteral("サービスプログラムを停止できませんでした。\n"));
    return Failure;
}

} // namespace

int serviceCommand(const Context &context, const QStringList &words)
{
    const Arguments args(words, {}, {});
    args.expectPositional(1, 1,
                          QStringLiteral("install、uninstall、start、stop、status のいずれか"));
    const QString action = args.positional()[0];
    shared::TSrvCtrl srvCtrl;
    shared::setUpSrvCtrl(srvCtrl);
    try {
        if (action == QLatin1String("install") || action == QLatin1String("uninstall")) {
            const auto manager = platform::ServiceManager::create();
            if (action == QLatin1String("install")) {
                const platform::ServiceSpec spec = serviceSpec(context);
                if (spec.executable.isEmpty()) {
                    err(QStringLiteral("NorvexService が見つかりません: ") +
                        QCoreApplication::applicationDirPath() + QLatin1Char('\n'));
                    return Failure;
                }
                manager->install(spec);
                out(QStringLiteral("サービスは正常にインストールされました。\n"));
            } else {
                manager->uninstall(QString::fromLatin1(shared::ServiceKeyName));
                out(QStringLiteral("サービスは正常にアンインストールされました。\n"));
            }
            return Success;
        }
        if (action == QLatin1String("start") || action == QLatin1String("stop")) {
            const bool start = action == QLatin1String("start");
            shared::serviceCommand(srvCtrl,
                                   start ? QStringLiteral("START") : QStringLiteral("STOP"));
            return waitForState(srvCtrl, start);
        }
        if (action != QLatin1String("status"))
            throw UsageError(QStringLiteral("不明なサービス操作です: ") + action);
    } catch (const platform::ServiceError &error) {
        err(error.text() + QLatin1Char('\n'));
        return Failure;
    } catch (const shared::ESrvCtrlException &error) {
        err(error.message() + QLatin1Char('\n'));
        return Failure;
    }

    out(QStringLiteral("installation folder: ") + context.installFolder() + QLatin1Char('\n'));
    int code = Success;
    try {
        out(QStringLiteral("service manager: ") + stateText(shared::serviceStateQuery(srvCtrl)) +
            QLatin1Char('\n'));
    } catch (const shared::ESrvCtrlException &error) {
        out(QStringLiteral("service manager: ") + error.message() + QLatin1Char('\n'));
        if (error.ErrorCode() != platform::ServiceErrorCode::NotInstalled)
            code = Failure;
    }
    try {
        out(QStringLiteral("serving this folder: ") +
            (platform::installFolderLocked(context.installFolder()) ? QStringLiteral("yes")
                                                                    : QStringLiteral("no")) +
            QLatin1Char('\n'));
    } catch (const platform::ServiceError &error) {
        out(QStringLiteral("serving this folder: ") + error.text() + QLatin1Char('\n'));
        code = Failure;
    }
    return code;
}

} // namespace norvex::ctl
