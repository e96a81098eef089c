#include "shared/ServiceCommands.h"

#include "platform/ServiceManager.h"
#include "shared/Exception.h"
#include "shared/JobTable.h"
#include "shared/RunStatus.h"
#include "shared/SrvCtrl.h"
#include "shared/mlb2.h"

namespace norvex::shared {

void setUpSrvCtrl(TSrvCtrl &srvCtrl)
{
    srvCtrl.SetAccess({satGetStatus, satStart, satStop});
    srvCtrl.SetActive(false);
    srvCtrl.SetMachine(QStringLiteral("localhost"));
    srvCtrl.SetVerifyAction(false);
    srvCtrl.SetTimeOut(20000);
}

int serviceStateQuery(TSrvCtrl &srvCtrl)
{
    int state = 0;
    try {
        srvCtrl.SetActive(true);
        srvCtrl.SetKeyName(QString::fromLatin1(ServiceKeyName));
        state = srvCtrl.QueryState();
    } catch (...) {
        srvCtrl.SetActive(false);
        throw;
    }
    srvCtrl.SetActive(false);
    return state;
}

void serviceCommand(TSrvCtrl &srvCtrl, const QString &command)
{
    try {
        srvCtrl.SetActive(true);
        srvCtrl.SetKeyName(QString::fromLatin1(ServiceKeyName));
        if (command == QLatin1String("STOP"))
            srvCtrl.Stop();
        else
            srvCtrl.Start();
    } catch (...) {
        srvCtrl.SetActive(false);
        throw;
    }
    srvCtrl.SetActive(false);
}

bool serviceCountsAsRunning(const std::function<int()> &queryState, QString *failure)
{
    constexpr int running = 3;
    failure->clear();
    try {
        return queryState() == running;
    } catch (const ESrvCtrlException &error) {
        if (error.ErrorCode() == platform::ServiceErrorCode::NotInstalled)
            return false;
        *failure = error.message();
        return true;
    }
}

bool recordShowsRunInProgress(const RunStatusRecord &record)
{
    for (const JobStatus &status : record.jobs)
        if (status.running)
            return runIsLive(record);
    return false;
}

bool filesShowRunInProgress(TMlb2 &table, const RunStatusRecord &record, const QDateTime &now)
{
    if (recordShowsRunInProgress(record))
        return true;
    for (bool more = table.First(); more && !table.Eof(); more = table.Next()) {
        try {
            if (readDateTime(table.FieldByName(QStringLiteral("backupdt"))) < now)
                return true;
        } catch (const EConvertError &) {
        }
    }
    return false;
}

QString backupInProgressText()
{
    return QStringLiteral("バックアップ処理を開始したため設定追加はできません。\r\n"
                          "バックアップ処理が終了するまでお待ちください。");
}

QString serviceNotStartedText()
{
    return QStringLiteral("バックアップサービスが起動していません。\r\n"
                          "サービスを起動してから再度実行してください。");
}

} // namespace norvex::shared
