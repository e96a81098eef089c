#include "shared/Options.h"

#include "shared/IniFileCompo.h"
#include "shared/JobTable.h"

namespace norvex::shared {

namespace {

QString option(const TIniFileCompo &ini, const char *key)
{
    return ini.ReadValue(QLatin1String(OptionSection), QLatin1String(key), QString()).trimmed();
}

} // namespace

int readRetryCount(const TIniFileCompo &ini)
{
    bool ok = false;
    const int count = option(ini, RetryCountKey).toInt(&ok);
    return ok && count >= 0 && count <= MaxRetryCount ? count : DefaultRetryCount;
}

bool readVerifyArchive(const TIniFileCompo &ini)
{
    const QString text = option(ini, VerifyArchiveKey);
    if (text.isEmpty())
        return true;
    try {
        return readOnOff(text);
    } catch (...) {
        return true;
    }
}

QString readNotifyCommand(const TIniFileCompo &ini)
{
    return option(ini, NotifyCommandKey);
}

} // namespace norvex::shared
