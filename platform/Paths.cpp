#include "platform/Paths.h"

#include <QByteArray>
#include <QFileInfo>
#include <cstring>

namespace norvex::platform {

QString withTrailingSlash(const QString &folder)
{
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

QString installFolder()
{
    const QByteArray home = qgetenv("NORVEX_HOME");
    if (!home.isEmpty())
        return withTrailingSlash(QString::fromUtf8(home));
    const QFileInfo exe(QStringLiteral("/proc/self/exe"));
    return withTrailingSlash(QFileInfo(exe.canonicalFilePath()).absolutePath());
}

QString defaultTempFolder()
{
    for (const char *name : {"TEMP", "TMPDIR"}) {
        const QByteArray value = qgetenv(name);
        if (!value.isEmpty())
            return QString::fromUtf8(value);
    }
    return QStringLiteral("/tmp");
}

QString systemErrorText(int errorCode)
{
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char *text = strerror_r(errorCode, buffer, sizeof buffer);
    return QString::fromLocal8Bit(text);
}

} // namespace norvex::platform
