// TQuellZip: walking the sources and deciding the entries, in archive order.
#include "archivers/FileErrors.h"
#include "archivers/QuellZip.h"
#include "archivers/Utf8Names.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>

namespace norvex::archivers {

namespace {

// For a folder whose mode cannot be found: private rather than wider than the original.
constexpr quint32 PrivateFolderAttributes = (quint32(S_IFDIR | 0700) << 16) | AttributeFolder;

// The components of a path taken lexically: no empty or "." components, ".." taken back
// (so that no stored name climbs out of the folder it is extracted into).
std::vector<QByteArray> components(const QByteArray &path)
{
    std::vector<QByteArray> parts;
    for (const QByteArray &part : path.split('/')) {
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    return parts;
}

// The stored form of a path: its components without a leading '/'; a trailing '/' (a
// folder) is kept.
QByteArray storedForm(const QByteArray &path)
{
    const std::vector<QByteArray> parts = components(path);
    QByteArray out;
    out.reserve(path.size());
    for (const QByteArray &part : parts) {
        if (!out.isEmpty())
            out += '/';
        out += part;
    }
    if (!out.isEmpty() && path.endsWith('/'))
        out += '/';
    return out;
}

QByteArray joined(const QByteArray &folder, const QByteArray &name)
{
    QByteArray out;
    out.reserve(folder.size() + 1 + name.size());
    out += folder;
    out += '/';
    out += name;
    return out;
}

// The attribute word of a real folder; a link to a folder (above a source, where the
// path is followed) gives its target's.
quint32 folderAttributes(const QByteArray &folder)
{
    ZipFileInfo info;
    if (zipfs::info(folder, false, info) && info.isFolder())
        return info.attributes();
    if (info.isLink() && zipfs::info(folder, true, info) && info.isFolder())
        return info.attributes();
    return PrivateFolderAttributes;
}

} // namespace

TCompressionLevel TQuellZip::level() const
{
    switch (m_compressionType) {
    case TZipCompressionType::ctMaximum:
        return TCompressionLevel::clMax;
    case TZipCompressionType::ctFast:
    case TZipCompressionType::ctSuperFast:
        return TCompressionLevel::clFastest;
    case TZipCompressionType::ctNone:
        return TCompressionLevel::clNone;
    case TZipCompressionType::ctNormal:
    case TZipCompressionType::ctUnknown:
        break;
    }
    return TCompressionLevel::clDefault;
}

QByteArray TQuellZip::relative(const QByteArray &path) const
{
    if (m_rootFolder.isEmpty() || !path.startsWith(m_rootFolder))
        return path;
    QByteArray rest = path.mid(m_rootFolder.size());
    if (rest.startsWith('/'))
        rest.remove(0, 1);
    return rest;
}

bool TQuellZip::AddPaths(const QStringList &fileNames, const QString &rootFolder,
                         bool withSubFolders)
{
    if (!m_out)
        throw norvex::shared::Exception(QStringLiteral("No archive is open"));
    if (m_readOnly)
        throw EOSError(QStringLiteral("Cannot write the archive: it is read-only"));
    m_rootFolder = QFile::encodeName(rootFolder);
    m_batch = true;
    // Workers deflate ahead while this thread walks the sources and writes; it deflates
    // too while it waits, so it counts as one of them.
    m_pool = std::make_unique<ZipCompressorPool>(zipWorkers() - 1);
    try {
        for (const QString &name : fileNames) {
            const QByteArray path = QFile::encodeName(name);
            ZipFileInfo info;
            // A source that is itself a link is followed.
            if (path.isEmpty() || !zipfs::info(path, true, info))
                continue;
            if (info.isRegular()) {
                addFile(path, relative(path), true);
            } else if (info.isFolder()) {
                QByteArray trimmed = path;
                while (trimmed.size() > 1 && trimmed.endsWith('/'))
                    trimmed.chop(1);
                const QByteArray own = trimmed.mid(trimmed.lastIndexOf('/') + 1);
                const QByteArray folder = trimmed == "/" ? QByteArray() : trimmed;
                if (own != "." && own != ".." && !m_mounts.skips(folder, info.device)) {
                    m_sourceLength = folder.size();
                    addFolderTree(folder, info, withSubFolders, true);
                }
            }
            // Sockets, FIFOs and devices are never opened.
        }
        flushPending();
    } catch (...) {
        abandonPending();
        m_batch = false;
        throw;
    }
    m_pool.reset();
    m_batch = false;
    notify(2);
    return true;
}

void TQuellZip::addFolderTree(const QByteArray &folder, const ZipFileInfo &info,
                              bool withSubFolders, bool follow)
{
    const bool folderEntries = m_storeFolders && m_storeRelativePath;
    // The folder's own entry comes first, wherever the file system lists ".".
    if (folderEntries)
        makeFolderEntries(relative(folder + '/'), folder, &info, info.modified);
    std::vector<ZipFolderItem> items;
    const QByteArray own = folder.isEmpty() ? QByteArray("/") : folder;
    if (!zipfs::listFolder(own, follow, items)) {
        const int error = errno;
        // Gone since it was found, or swapped for a link inside a tree.
        if (error == ENOENT || error == ENOTDIR || error == ELOOP)
            return;
        // A folder that exists but cannot be read is a failure, not an empty folder.
        flushPending();
        throw EFOpenError(QFile::decodeName(own));
    }
    for (const ZipFolderItem &item : items) {
        const QByteArray path = joined(folder, item.name);
        const ZipFileInfo &child = item.info;
        if (m_excludes && leavesOut(path, child.isFolder()))
            continue;
        if (child.isFolder()) {
            if (m_mounts.skips(path, child.device))
                continue;
            if (folderEntries)
                makeFolderEntries(relative(path + '/'), path, &child, child.modified);
            if (withSubFolders)
                addFolderTree(path, child, withSubFolders, false);
        } else if (child.isLink()) {
            // Stored as a link, never followed: a tree cannot loop.
            addLink(path, relative(path), child);
        } else if (child.isRegular()) {
            addFile(path, relative(path), false, &child);
        }
        // Sockets, FIFOs and devices are never opened.
    }
}

bool TQuellZip::leavesOut(const QByteArray &path, bool folder)
{
    const std::string_view below(path.constData() + m_sourceLength + 1,
                                 std::size_t(path.size() - m_sourceLength - 1));
    if (!m_excludes->excludes(below, folder))
        return false;
    ++(folder ? m_excluded.folders : m_excluded.files);
    return true;
}

void TQuellZip::addFile(const QByteArray &path, const QByteArray &storedPath, bool follow,
                        const ZipFileInfo *listed)
{
    // Only looked at here: the file is opened when its data is read, by whichever thread
    // reads it, and closed right after.
    ZipFileInfo info;
    if (listed) {
        info = *listed;
    } else if (!zipfs::info(path, follow, info)) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR || error == ELOOP)
            return; // gone since it was found
        // What was added before is written first: the archive holds it after Close.
        flushPending();
        throw EFOpenError(QFile::decodeName(path));
    }
    // Links inside a tree are stored by addLink; FIFOs and devices are skipped.
    if (!info.isRegular())
        return;
    // The archive being written is never added to itself.
    if (m_haveArchiveId && info.device == m_archiveDevice && info.inode == m_archiveInode)
        return;
    auto write = std::make_unique<ZipPendingWrite>();
    // Small files are deflated whole, ahead, by the pool; larger ones in chunks in their
    // turn. Decided by the size alone, so that the bytes do not depend on the threads.
    const qint64 memoryJob = zipLimits().memoryJob;
    write->kind =
        info.size <= memoryJob ? ZipPendingWrite::Kind::Memory : ZipPendingWrite::Kind::Stream;
    write->size = info.size;
    write->job.path = path;
    write->job.follow = follow;
    write->job.level = level();
    write->job.limit = 2 * memoryJob;
    addEntry(path, storedPath, info.attributes(), info.modified, std::move(write));
}

void TQuellZip::addLink(const QByteArray &path, const QByteArray &storedPath,
                        const ZipFileInfo &info)
{
    auto write = std::make_unique<ZipPendingWrite>();
    if (!zipfs::readLink(path, write->bytes)) {
        if (errno == ENOENT || errno == EINVAL)
            return;
        flushPending();
        throw EFOpenError(QFile::decodeName(path));
    }
    write->kind = ZipPendingWrite::Kind::Bytes;
    addEntry(path, storedPath, info.attributes(), info.modified, std::move(write));
}

void TQuellZip::addEntry(const QByteArray &path, const QByteArray &storedPath, quint32 attributes,
                         std::time_t modified, std::unique_ptr<ZipPendingWrite> write)
{
    if (m_storeFolders && m_storeRelativePath)
        makeFolderEntries(storedPath, path, nullptr, std::time(nullptr));
    write->slot = prepareEntry(storedPath, attributes, modified);
    if (write->slot < 0)
        return;
    write->storedPath = storedPath;
    enqueue(std::move(write));
}

void TQuellZip::makeFolderEntries(const QByteArray &storedPath, const QByteArray &source,
                                  const ZipFileInfo *self, std::time_t modified)
{
    const QByteArray stored = storedForm(storedPath);
    const qsizetype last = stored.lastIndexOf('/');
    // Each prefix is a real folder above the source (or the source folder itself, which
    // self describes): its entry carries that folder's mode, so that a restore does not
    // widen a private folder. Prefixes and the source's folders align from the end.
    const std::vector<QByteArray> real = components(source);
    const qsizetype storedDepth = stored.count('/') + (stored.endsWith('/') ? 0 : 1);
    qsizetype depth = 0;
    for (qsizetype i = stored.indexOf('/'); i >= 0 && i <= last; i = stored.indexOf('/', i + 1)) {
        ++depth;
        const QByteArray prefix = stored.left(i + 1);
        if (m_entries.contains(prefix))
            continue;
        quint32 attributes = PrivateFolderAttributes;
        if (self && i == stored.size() - 1) {
            attributes = self->attributes();
        } else if (const qsizetype keep = qsizetype(real.size()) - (storedDepth - depth);
                   keep > 0) {
            QByteArray folder = source.startsWith('/') ? QByteArray("/") : QByteArray();
            for (qsizetype k = 0; k < keep; ++k)
                folder += real[std::size_t(k)] + (k + 1 < keep ? "/" : "");
            attributes = folderAttributes(folder);
        }
        auto write = std::make_unique<ZipPendingWrite>();
        write->slot = prepareEntry(prefix, attributes, modified);
        if (write->slot >= 0)
            enqueue(std::move(write));
    }
}

qsizetype TQuellZip::prepareEntry(const QByteArray &storedPath, quint32 attributes,
                                  std::time_t modified)
{
    QByteArray name = storedPath;
    if (!m_storeRelativePath)
        name = name.mid(name.lastIndexOf('/') + 1);
    name = storedForm(name);
    if (name.isEmpty())
        return -1;
    if (name.size() > 0xFFFF)
        throw EOSError(QStringLiteral("Name too long for a ZIP entry: ") + QFile::decodeName(name));

    // A later source replaces the entry of the same name. A written record becomes a gap
    // that Close squeezes out; one still waiting is simply not written.
    if (const qsizetype old = m_entries.find(name); old >= 0) {
        m_holes |= m_entries.items()[std::size_t(old)].written;
        m_entries.remove(old);
    }
    TQuellZipEntriesEntry entry;
    entry.written = false;
    TCentralDirectoryFile &cd = entry.CentralDirectory;
    cd.name = name;
    // Other bytes (a Latin-1 name made elsewhere) are stored as they are, without the flag
    // that would make readers refuse them.
    cd.flags = hasHighBytes(name) &&
                       isValidUtf8(std::string_view(name.constData(), std::size_t(name.size())))
                   ? FlagUtf8
                   : 0;
    cd.externalAttributes = attributes;
    dosDateTime(modified, cd.date, cd.time);
    m_entries.add(std::move(entry));
    return qsizetype(m_entries.items().size()) - 1;
}

} // namespace norvex::archivers
