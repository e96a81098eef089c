#pragma once

#include <QList>
#include <QString>

namespace norvex::platform {

// One mounted file system as the system reports it.
struct MountRow
{
    QString mountPath;
    QString device;
    QString fileSystem;
    QString label;
    bool valid = false;
    bool ready = false;
    qint64 bytesTotal = 0;
};

enum class VolumeKind { HardDisk, Optical };

// A local volume the user can pick sources from.
struct Volume
{
    QString mountPath;
    QString label;
    VolumeKind kind = VolumeKind::HardDisk;
};

// Every mounted file system (QStorageInfo).
QList<MountRow> mountedFileSystems();

// The local volumes among them, by mount path: valid, ready, with a size, on a block device,
// not a memory or layered file system; a device mounted twice appears once (its shortest
// mount path). The root "/" is always there, so there is always somewhere to browse.
QList<Volume> localVolumes(const QList<MountRow> &rows);
inline QList<Volume> localVolumes()
{
    return localVolumes(mountedFileSystems());
}

} // namespace norvex::platform
