#include "config/ServiceCommands.h"

#include "config/Program.h"
#include "config/SrvCtrl.h"
#include "platform/ServiceManager.h"

namespace norvex::config {

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

bool serviceCountsAsRunning(Program &program, QString *failure)
{
    constexpr int running = 3;
    failure->clear();
    try {
        return program.queryServiceState() == running;
    } catch (const ESrvCtrlException &error) {
        if (error.ErrorCode() == platform::ServiceErrorCode::NotInstalled)
            return false;
        *failure = error.message();
        return true;
    }
}

} // namespace norvex::config
