#include "platform/MountTable.h"

#include "platform/FileIo.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace norvex::platform {

namespace {

// mountinfo writes space, tab, newline and backslash in paths as \ooo.
QString unescaped(const QByteArray &field)
{
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const char c = field[i];
        if (c == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
            field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' &&
            field[i + 3] <= '7') {
            out += char(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) |
                        (field[i + 3] - '0'));
            i += 3;
        } else {
            out += c;
        }
    }
    return QString::fromLocal8Bit(out);
}

} // namespace

bool isVirtualFileSystem(const QString &fileSystem, const QString &mountPath)
{
    static const QStringList kernel = {
        QStringLiteral("proc"),     QStringLiteral("sysfs"),       QStringLiteral("devtmpfs"),
        QStringLiteral("devpts"),   QStringLiteral("cgroup"),      QStringLiteral("cgroup2"),
        QStringLiteral("debugfs"),  QStringLiteral("tracefs"),     QStringLiteral("securityfs"),
        QStringLiteral("pstore"),   QStringLiteral("bpf"),         QStringLiteral("fusectl"),
        QStringLiteral("configfs"), QStringLiteral("mqueue"),      QStringLiteral("hugetlbfs"),
        QStringLiteral("autofs"),   QStringLiteral("binfmt_misc"), QStringLiteral("efivarfs"),
        QStringLiteral("nsfs"),     QStringLiteral("rpc_pipefs"),  QStringLiteral("selinuxfs")};
    if (kernel.contains(fileSystem))
        return true;
    return fileSystem == QLatin1String("tmpfs") &&
           (mountPath == QLatin1String("/run") || mountPath.startsWith(QLatin1String("/run/")));
}

MountTable MountTable::current()
{
    QByteArray text;
    const int fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    const bool ok = readAll(fd, text);
    ::close(fd);
    return ok ? fromMountInfo(text) : MountTable();
}

MountTable MountTable::fromMountInfo(const QByteArray &text)
{
    // "36 35 98:0 /root /mnt/point options [optional fields...] - type source options"
    MountTable table;
    for (const QByteArray &line : text.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype dash = fields.indexOf(QByteArray("-"), 6);
        if (fields.size() < 5 || dash < 0 || dash + 1 >= fields.size())
            continue;
        const QList<QByteArray> numbers = fields[2].split(':');
        bool majorOk = false;
        bool minorOk = false;
        const uint major = numbers.value(0).toUInt(&majorOk);
        const uint minor = numbers.value(1).toUInt(&minorOk);
        if (numbers.size() != 2 || !majorOk || !minorOk)
            continue;
        MountPoint mount{unescaped(fields[4]), QString::fromLatin1(fields[dash + 1]),
                         quint64(makedev(major, minor))};
        if (isVirtualFileSystem(mount.fileSystem, mount.path) &&
            !table.m_virtual.contains(mount.device))
            table.m_virtual.insert(mount.device, table.m_mounts.size());
        table.m_mounts.append(std::move(mount));
    }
    return table;
}

const MountPoint *MountTable::virtualFileSystem(quint64 device) const
{
    const auto it = m_virtual.constFind(device);
    return it == m_virtual.constEnd() ? nullptr : &m_mounts[*it];
}

} // namespace norvex::platform
