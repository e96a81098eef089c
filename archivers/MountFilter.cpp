#include "archivers/MountFilter.h"

#include "platform/MountTable.h"

#include <QFile>

namespace norvex::archivers {

bool MountFilter::skips(const QByteArray &folder, quint64 device)
{
    const platform::MountPoint *mount = m_table ? m_table->virtualFileSystem(device) : nullptr;
    if (!mount)
        return false;
    // The walks join names as they go, so a source given as "a//b" leaves doubled slashes.
    QByteArray path = folder.isEmpty() ? QByteArray("/") : folder;
    while (path.contains("//"))
        path.replace("//", "/");
    if (!m_seen.contains(path)) {
        m_seen.insert(path);
        m_skipped.append({QFile::decodeName(path), mount->fileSystem});
    }
    return true;
}

void MountFilter::clear()
{
    m_skipped.clear();
    m_seen.clear();
}

} // namespace norvex::archivers
