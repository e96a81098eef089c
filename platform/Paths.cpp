#include "platform/Paths.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace norvex::platform {

QString withTrailingSlash(const QString &folder)
{
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

namespace {

QString executableFolder()
{
    const QFileInfo exe(QStringLiteral("/proc/self/exe"));
    return QFileInfo(exe.canonicalFilePath()).absolutePath();
}

InstallContext thisContext()
{
    InstallContext context;
    context.norvexHome = QString::fromUtf8(qgetenv("NORVEX_HOME"));
    context.executableFolder = executableFolder();
    context.root = ::geteuid() == 0;
    context.xdgDataHome = QString::fromUtf8(qgetenv("XDG_DATA_HOME"));
    context.homeFolder = QDir::homePath();
    return context;
}

} // namespace

QString systemProgramPrefix(const QString &executableFolder)
{
    const QString folder = QDir::cleanPath(executableFolder);
    for (const char *prefix : {"/usr", "/usr/local"})
        if (folder == QLatin1String(prefix) + QLatin1String("/lib/norvex"))
            return QLatin1String(prefix);
    return QString();
}

QString installFolderFor(const InstallContext &context)
{
    if (!context.norvexHome.isEmpty())
        return withTrailingSlash(context.norvexHome);
    if (systemProgramPrefix(context.executableFolder).isEmpty())
        return withTrailingSlash(context.executableFolder);
    if (context.root)
        return QStringLiteral("/var/lib/norvex/");
    // A relative XDG_DATA_HOME is invalid and ignored, as the base directory rules say.
    const QString data =
        QDir::isAbsolutePath(context.xdgDataHome)
            ? context.xdgDataHome
            : withTrailingSlash(context.homeFolder) + QStringLiteral(".local/share");
    return withTrailingSlash(data) + QStringLiteral("norvex/");
}

bool makePrivateFolder(const QString &folder)
{
    if (QFileInfo(folder).isDir())
        return true;
    const QString parent = QFileInfo(QDir::cleanPath(folder)).absolutePath();
    if (!QDir().mkpath(parent))
        return false;
    return ::mkdir(QFile::encodeName(folder).constData(), 0700) == 0 || errno == EEXIST;
}

QString installFolder()
{
    const InstallContext context = thisContext();
    const QString folder = installFolderFor(context);
    if (context.norvexHome.isEmpty() && !systemProgramPrefix(context.executableFolder).isEmpty())
        makePrivateFolder(folder);
    return folder;
}

QString programFilesFolder()
{
    const QString prefix = systemProgramPrefix(executableFolder());
    if (prefix.isEmpty())
        return installFolder();
    return prefix + QStringLiteral("/share/norvex/");
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
