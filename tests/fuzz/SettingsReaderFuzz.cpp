// Settings reader: any file content loads without a crash; after one rewrite the content is
// stable and every value read back is the value written.
#include "shared/IniFileCompo.h"

#include <QFile>
#include <cstdint>
#include <cstdlib>
#include <unistd.h>

using norvex::shared::TIniFileCompo;

static QString scratchPath()
{
    static const QString path =
        QStringLiteral("/dev/shm/norvex-ini-fuzz-%1.ini").arg(QString::number(::getpid()));
    return path;
}

static QByteArray readAll(const QString &path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = scratchPath();
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            abort();
        f.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size));
    }
    TIniFileCompo ini;
    ini.SetDefaultFolder(TIniFileCompo::dfUser);
    ini.SetFileName(path);
    const QStringList sections = ini.Sections();
    const QString key = sections.isEmpty() ? QStringLiteral("k") : sections.first();
    ini.WriteValue(QStringLiteral("Option"), QStringLiteral("TmpFolder"), key);
    if (!ini.SaveSettings())
        abort();
    const QByteArray once = readAll(path);
    TIniFileCompo again;
    again.SetDefaultFolder(TIniFileCompo::dfUser);
    again.SetFileName(path);
    if (again.ReadValue(QStringLiteral("option"), QStringLiteral("tmpfolder"), QString()) !=
        ini.ReadValue(QStringLiteral("Option"), QStringLiteral("TmpFolder"), QString()))
        abort();
    if (!again.SaveSettings() || readAll(path) != once)
        abort();
    return 0;
}
