#include "platform/ServiceManager.h"

#include "platform/Paths.h"
#include "platform/ServiceManagerBuiltin.h"
#include "platform/ServiceManagerSystemd.h"

#include <QFileInfo>

namespace norvex::platform {

QString serviceErrorText(int code)
{
    switch (code) {
    case ServiceErrorCode::AccessDenied:
        return QStringLiteral("アクセスが拒否されました。");
    case ServiceErrorCode::ManagerFailed:
        return QStringLiteral("サービスマネージャーが要求を実行できませんでした。");
    case ServiceErrorCode::NoResponse:
        return QStringLiteral("サービスが時間内に開始要求または制御要求に応答しませんでした。");
    case ServiceErrorCode::AlreadyRunning:
        return QStringLiteral("サービスのインスタンスは既に実行されています。");
    case ServiceErrorCode::Disabled:
        return QStringLiteral("サービスを開始できません。サービスが無効であるか、または有効なデバイ"
                              "スが関連付けられていません。");
    case ServiceErrorCode::NotInstalled:
        return QStringLiteral("指定されたサービスはインストールされたサービスとして存在しません。");
    case ServiceErrorCode::NotRunning:
        return QStringLiteral("サービスは開始されていません。");
    case ServiceErrorCode::AlreadyInstalled:
        return QStringLiteral("指定されたサービスは既に存在します。");
    default:
        return systemErrorText(code);
    }
}

ServiceError::ServiceError(int code, const QString &detail)
    : m_code(code), m_text(serviceErrorText(code))
{
    if (!detail.isEmpty())
        m_text += QStringLiteral(" (") + detail + QLatin1Char(')');
    m_utf8 = m_text.toUtf8();
}

std::unique_ptr<ServiceManager> ServiceManager::create()
{
    const QByteArray forced = qgetenv("NORVEX_SERVICE_MANAGER").trimmed().toLower();
    bool systemd = QFileInfo(QStringLiteral("/run/systemd/system")).isDir();
    if (forced == "systemd")
        systemd = true;
    else if (forced == "builtin")
        systemd = false;
    if (systemd)
        return std::make_unique<SystemdServiceManager>();
    return std::make_unique<BuiltinServiceManager>(BuiltinServiceManager::defaultRegistry());
}

} // namespace norvex::platform
