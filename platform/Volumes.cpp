#include "platform/Volumes.h"

#include <QHash>
#include <QStorageInfo>

#include <algorithm>

namespace norvex::platform {

QList<MountRow> mountedFileSystems()
{
    QList<MountRow> rows;
    const QList<QStorageInfo> volumes = QStorageInfo::mountedVolumes();
    for (const QStorageInfo &v : volumes)
        rows.append({v.rootPath(), QString::fromLocal8Bit(v.device()),
                     QString::fromLatin1(v.fileSystemType()), v.name(), v.isValid(), v.isReady(),
                     v.bytesTotal()});
    return rows;
}

QList<Volume> localVolumes(const QList<MountRow> &rows)
{
    static const QStringList notDisks = {QStringLiteral("tmpfs"), QStringLiteral("devtmpfs"),
                                         QStringLiteral("ramfs"), QStringLiteral("overlay"),
                                         QStringLiteral("squashfs")};
    static const QStringList optical = {QStringLiteral("iso9660"), QStringLiteral("udf")};
    QHash<QString, MountRow> byDevice;
    for (const MountRow &row : rows) {
        if (!row.valid || !row.ready || row.bytesTotal <= 0 ||
            !row.device.startsWith(QLatin1String("/dev/")) || notDisks.contains(row.fileSystem))
            continue;
        auto it = byDevice.find(row.device);
        if (it == byDevice.end() || row.mountPath.size() < it->mountPath.size())
            byDevice.insert(row.device, row);
    }
    QList<Volume> volumes;
    bool haveRoot = false;
    for (const MountRow &row : std::as_const(byDevice)) {
        haveRoot = haveRoot || row.mountPath == QLatin1String("/");
        volumes.append(
            {row.mountPath, row.label,
             optical.contains(row.fileSystem) ? VolumeKind::Optical : VolumeKind::HardDisk});
    }
    if (!haveRoot)
        volumes.append({QStringLiteral("/"), QString(), VolumeKind::HardDisk});
    std::sort(volumes.begin(), volumes.end(),
              [](const Volume &a, const Volume &b) { return a.mountPath < b.mountPath; });
    return volumes;
}

} // namespace norvex::platform
