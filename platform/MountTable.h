#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

namespace norvex::platform {

// One row of the kernel's mount table.
struct MountPoint
{
    QString path;
    QString fileSystem;
    quint64 device = 0; // as stat() reports it in st_dev
};

// The mounts of this process's mount namespace, read once and then asked by device number,
// so that a folder walk can tell without a system call per folder whether a folder lies on
// a virtual file system: proc, sysfs, devtmpfs, devpts, cgroup, debugfs, the tmpfs of /run
// and the like hold no user data, and some of them never end or block when read.
class MountTable
{
public:
    // /proc/self/mountinfo; an empty table when it cannot be read (nothing is then skipped).
    static MountTable current();
    // The table a mountinfo text describes (octal escapes in paths decoded).
    static MountTable fromMountInfo(const QByteArray &text);

    // The virtual file system with this device number, or nullptr for a real one.
    const MountPoint *virtualFileSystem(quint64 device) const;
    const QList<MountPoint> &mounts() const { return m_mounts; }

private:
    QList<MountPoint> m_mounts;
    QHash<quint64, qsizetype> m_virtual; // device -> row
};

// True for a kernel or runtime file system that a backup must not enter; a tmpfs counts
// only at /run and below (one on /tmp or in a user's tree holds real files).
bool isVirtualFileSystem(const QString &fileSystem, const QString &mountPath);

} // namespace norvex::platform
