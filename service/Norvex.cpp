#include "service/Norvex.h"

#include "platform/Paths.h"
#include "platform/Priority.h"
#include "shared/EventLog.h"
#include "shared/Exception.h"
#include "shared/IniFileCompo.h"
#include "shared/JobTable.h"

namespace norvex::service {

TNorvex::TNorvex(QObject *owner) : TService(owner), IniBackUp(new shared::TIniFileCompo(this))
{
    setObjectName(QStringLiteral("Norvex"));
    SetName(QStringLiteral("Norvex"));
    SetDisplayName(QStringLiteral("Norvex"));
    IniBackUp->setObjectName(QStringLiteral("IniBackUp"));
    IniBackUp->SetAutoUpdate(false);
    IniBackUp->SetCaseSensitive(false);
    IniBackUp->SetDefaultFolder(shared::TIniFileCompo::dfUser);
}

TNorvex::~TNorvex() = default;

void TNorvex::ServiceStart(bool &started)
{
    try {
        if (const int error = platform::setIdlePriority())
            throw shared::Exception(platform::systemErrorText(error));
        m_installFolder = platform::installFolder();
        IniBackUp->SetFileName(m_installFolder + QStringLiteral("Norvex.ini"));
        // A fresh installation has neither: the start entry needs the Log folder.
        shared::ensureJobTable(m_installFolder);
        shared::WriteLog(shared::LogInformation,
                         QStringLiteral("Norvexサービスを開始いたしました。"));
    } catch (const shared::Exception &error) {
        shared::WriteLog(
            shared::LogError,
            QStringLiteral("システムエラーが発生しました。\tServiceStart System Error ") +
                error.className() + QStringLiteral(" : ") + error.message());
    } catch (const std::exception &error) {
        shared::WriteLog(
            shared::LogError,
            QStringLiteral("システムエラーが発生しました。\tServiceStart System Error ") +
                QStringLiteral("Exception : ") + QString::fromUtf8(error.what()));
    }
    // Reported as running even when start-up failed: the entry above says why.
    started = true;
}

void TNorvex::ServiceExecute()
{
    while (!Terminated())
        ProcessRequests(true);
}

void TNorvex::ServiceStop(bool &stopped)
{
    shared::WriteLog(shared::LogInformation, QStringLiteral("Norvexサービスを終了いたしました。"));
    stopped = true;
}

} // namespace norvex::service
