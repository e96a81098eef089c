// TQuellZip: adding entries and finishing the archive.
#include "archivers/FileErrors.h"
#include "archivers/QuellZip.h"
#include "archivers/Utf8Names.h"
#include "archivers/ZipCrc32.h"

#include "platform/Paths.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>
#include <thread>

namespace norvex::archivers {

namespace {

constexpr qint64 ReadBufferSize = 1 << 20;
// Input bytes of the files deflated ahead, and entries waiting, at most.
constexpr qint64 PendingBudget = 32 << 20;
constexpr std::size_t MaxPending = 4096;
// For a folder whose mode cannot be found: private rather than wider than the original.
constexpr quint32 PrivateFolderAttributes = (quint32(S_IFDIR | 0700) << 16) | AttributeFolder;

TCompressionLevel levelOf(TZipCompressionType type)
{
    switch (type) {
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

[[noreturn]] void readFailure(const QByteArray &path, int error)
{
    throw EOSError(QStringLiteral("Cannot read ") + QFile::decodeName(path) + QStringLiteral(": ") +
                   norvex::platform::systemErrorText(error));
}

} // namespace

// An entry's data: nothing (folders), bytes (link targets) or an open file.
class ZipEntrySource
{
public:
    virtual ~ZipEntrySource() = default;
    virtual qint64 read(char *data, qint64 length) = 0;
    virtual bool rewind() = 0;
    virtual qint64 expectedSize() const = 0;
};

namespace {

class NoData : public ZipEntrySource
{
public:
    qint64 read(char *, qint64) override { return 0; }
    bool rewind() override { return true; }
    qint64 expectedSize() const override { return 0; }
};

class BytesData : public ZipEntrySource
{
public:
    explicit BytesData(QByteArray bytes) : m_bytes(std::move(bytes)) {}
    qint64 read(char *data, qint64 length) override
    {
        const qint64 n = std::min<qint64>(length, m_bytes.size() - m_at);
        std::memcpy(data, m_bytes.constData() + m_at, std::size_t(n));
        m_at += n;
        return n;
    }
    bool rewind() override
    {
        m_at = 0;
        return true;
    }
    qint64 expectedSize() const override { return m_bytes.size(); }

private:
    QByteArray m_bytes;
    qint64 m_at = 0;
};

class FileData : public ZipEntrySource
{
public:
    FileData(ZipSourceFile &file, const QByteArray &path, qint64 size)
        : m_file(file), m_path(path), m_size(size)
    {
    }
    qint64 read(char *data, qint64 length) override
    {
        const qint64 n = m_file.read(data, length);
        if (n < 0)
            readFailure(m_path, errno);
        return n;
    }
    bool rewind() override { return m_file.rewind(); }
    qint64 expectedSize() const override { return m_size; }

private:
    ZipSourceFile &m_file;
    const QByteArray &m_path;
    qint64 m_size;
};

} // namespace

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
    // One core deflates files ahead while this thread walks the sources and writes.
    const int cores = int(std::thread::hardware_concurrency());
    m_pool = std::make_unique<ZipCompressorPool>(std::clamp(cores - 1, 0, 3));
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
                if (own != "." && own != "..")
                    addFolderTree(trimmed == "/" ? QByteArray() : trimmed, info, withSubFolders,
                                  true);
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
        if (child.isFolder()) {
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
    // Small files are deflated ahead by the pool; larger ones are streamed in their turn.
    const qint64 memoryJob = zipLimits().memoryJob;
    write->kind = m_pool && m_pool->threads() > 0 && info.size <= memoryJob
                      ? ZipPendingWrite::Kind::Memory
                      : ZipPendingWrite::Kind::Stream;
    write->size = info.size;
    write->job.path = path;
    write->job.follow = follow;
    write->job.level = levelOf(m_compressionType);
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

void TQuellZip::enqueue(std::unique_ptr<ZipPendingWrite> write)
{
    if (write->kind == ZipPendingWrite::Kind::Memory) {
        // Bounded: what is deflated ahead is at most about PendingBudget bytes.
        while (!m_pending.empty() && m_pendingBytes + write->size > PendingBudget)
            writeHead();
        m_pendingBytes += write->size;
        m_pool->submit(&write->job);
    }
    m_pending.push_back(std::move(write));
    while (m_pending.size() > MaxPending)
        writeHead();
}

void TQuellZip::flushPending()
{
    while (!m_pending.empty())
        writeHead();
}

void TQuellZip::abandonPending()
{
    // Workers stop before the jobs they may hold go away.
    m_pool.reset();
    for (const std::unique_ptr<ZipPendingWrite> &write : m_pending)
        if (write->slot >= 0)
            m_entries.remove(write->slot);
    m_pending.clear();
    m_pendingBytes = 0;
}

void TQuellZip::writeHead()
{
    std::unique_ptr<ZipPendingWrite> write = std::move(m_pending.front());
    m_pending.pop_front();
    if (write->kind == ZipPendingWrite::Kind::Memory) {
        m_pool->complete(&write->job);
        m_pendingBytes -= write->size;
    }
    const qsizetype slot = write->slot;
    if (!m_entries.items()[std::size_t(slot)].live)
        return; // replaced by a later source before its turn came
    switch (write->kind) {
    case ZipPendingWrite::Kind::Folder: {
        NoData none;
        writeRecord(slot, none);
        break;
    }
    case ZipPendingWrite::Kind::Bytes: {
        BytesData data(write->bytes);
        writeRecord(slot, data);
        break;
    }
    case ZipPendingWrite::Kind::Memory:
        if (write->job.error)
            std::rethrow_exception(write->job.error);
        if (write->job.gone) {
            m_entries.remove(slot);
            return;
        }
        if (!write->job.tooLarge) {
            describeAsRead(slot, write->job.info);
            writeMemoryRecord(slot, write->job);
            if (OnCompressFile && write->job.consumed > 0)
                OnCompressFile(this, write->job.consumed, write->size);
            break;
        }
        // It grew while it was read: streamed like a large file.
        [[fallthrough]];
    case ZipPendingWrite::Kind::Stream: {
        ZipSourceFile file;
        ZipFileInfo info;
        if (!openSource(file, write->job.path, write->job.follow, info)) {
            m_entries.remove(slot);
            return;
        }
        describeAsRead(slot, info);
        FileData data(file, write->job.path, info.size);
        writeRecord(slot, data);
        break;
    }
    }
    if (!write->storedPath.isEmpty() && OnAddItem)
        OnAddItem(this, QFile::decodeName(write->storedPath));
}

void TQuellZip::describeAsRead(qsizetype slot, const ZipFileInfo &info)
{
    // The mode and time of the file whose bytes are stored, should it have changed since
    // the walk.
    TCentralDirectoryFile &cd = m_entries.items()[std::size_t(slot)].CentralDirectory;
    cd.externalAttributes = info.attributes();
    dosDateTime(info.modified, cd.date, cd.time);
}

void TQuellZip::recordWritten(qsizetype slot)
{
    TQuellZipEntriesEntry &entry = m_entries.items()[std::size_t(slot)];
    entry.recordEnd = quint64(m_out->pos());
    entry.written = true;
    m_appendPosition = entry.recordEnd;
    m_modified = true;
    if (!m_batch)
        notify(2);
}

void TQuellZip::writeMemoryRecord(qsizetype slot, const ZipMemoryJob &job)
{
    TCentralDirectoryFile &cd = m_entries.items()[std::size_t(slot)].CentralDirectory;
    cd.localHeaderOffset = m_appendPosition;
    if (job.consumed == 0) {
        cd.method = 0;
        cd.crc32 = 0;
        cd.compressedSize = cd.uncompressedSize = 0;
    } else {
        cd.method = 8;
        cd.crc32 = job.crc32;
        cd.compressedSize = quint64(job.data.size());
        cd.uncompressedSize = quint64(job.consumed);
    }
    const quint64 max = zipLimits().max32;
    const bool zip64 = cd.uncompressedSize >= max || cd.compressedSize >= max;
    cd.versionNeeded = zip64 || cd.localHeaderOffset >= max ? VersionNeededZip64 : VersionNeeded;
    m_out->seek(qint64(cd.localHeaderOffset));
    const QByteArray header = localHeader(cd, zip64);
    m_out->put(header.constData(), header.size());
    if (cd.method == 8)
        m_out->put(job.data.constData(), job.data.size());
    recordWritten(slot);
}

void TQuellZip::writeRecord(qsizetype slot, ZipEntrySource &source)
{
    TCentralDirectoryFile &cd = m_entries.items()[std::size_t(slot)].CentralDirectory;
    cd.localHeaderOffset = m_appendPosition;
    // Whether the local header carries ZIP64 sizes must be known before the data: decided
    // from the size found now, and the entry is written again with it when the data turns
    // out larger.
    bool zip64 = quint64(source.expectedSize()) >= zipLimits().max32;
    for (;;) {
        cd.versionNeeded =
            zip64 || cd.localHeaderOffset >= zipLimits().max32 ? VersionNeededZip64 : VersionNeeded;
        cd.method = 8;
        m_out->seek(qint64(cd.localHeaderOffset));
        m_out->put(localHeader(cd, zip64).constData(), localHeaderLength(cd, zip64));
        compressInto(cd, source);
        const quint64 max = zipLimits().max32;
        if (!zip64 && (cd.uncompressedSize >= max || cd.compressedSize >= max)) {
            if (!source.rewind())
                throw EOSError(QStringLiteral("Cannot read a source again for ZIP64: ") +
                               QFile::decodeName(cd.name));
            zip64 = true;
            continue;
        }
        break;
    }
    const QByteArray header = localHeader(cd, zip64);
    m_out->patch(qint64(cd.localHeaderOffset), header.constData(), header.size());
    recordWritten(slot);
}

bool TQuellZip::compressInto(TCentralDirectoryFile &cd, ZipEntrySource &source)
{
    if (m_readBuffer.empty())
        m_readBuffer.resize(ReadBufferSize);
    char *buffer = m_readBuffer.data();
    qint64 n = source.read(buffer, ReadBufferSize);
    if (n == 0) {
        // No bytes: stored, CRC 0, no data.
        cd.method = 0;
        cd.crc32 = 0;
        cd.compressedSize = 0;
        cd.uncompressedSize = 0;
        return false;
    }
    cd.method = 8;
    const qint64 total = source.expectedSize();
    ZipCrc32 crc;
    TCompressionStream stream(levelOf(m_compressionType), *m_out, &m_deflater);
    if (OnCompressFile)
        stream.OnProgress = [this, total](qint64 consumed) {
            OnCompressFile(this, consumed, total);
        };
    while (n > 0) {
        crc.update(buffer, std::size_t(n));
        stream.Write(buffer, n);
        n = source.read(buffer, ReadBufferSize);
    }
    stream.finish();
    cd.crc32 = crc.value();
    cd.uncompressedSize = quint64(stream.consumed());
    cd.compressedSize = quint64(stream.produced());
    return true;
}

void TQuellZip::compact()
{
    // Records in file order; live ones move down over the gaps, each byte at most once.
    std::vector<std::size_t> order;
    auto &all = m_entries.items();
    for (std::size_t i = 0; i < all.size(); ++i)
        if (all[i].written)
            order.push_back(i);
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return all[a].CentralDirectory.localHeaderOffset <
               all[b].CentralDirectory.localHeaderOffset;
    });
    if (order.empty())
        return;
    quint64 to = all[order.front()].CentralDirectory.localHeaderOffset;
    std::vector<char> buffer(static_cast<std::size_t>(ReadBufferSize));
    for (std::size_t i : order) {
        TQuellZipEntriesEntry &entry = all[i];
        if (!entry.live)
            continue;
        const quint64 from = entry.CentralDirectory.localHeaderOffset;
        const quint64 length = entry.recordEnd - from;
        if (from != to) {
            for (quint64 done = 0; done < length;) {
                const qint64 n = qint64(std::min<quint64>(length - done, buffer.size()));
                if (m_out->readAt(qint64(from + done), buffer.data(), n) != n)
                    throw EOSError(QStringLiteral("Cannot read the archive: it is shorter "
                                                  "than its directory says"));
                m_out->seek(qint64(to + done));
                m_out->put(buffer.data(), n);
                done += quint64(n);
            }
            entry.CentralDirectory.localHeaderOffset = to;
            entry.recordEnd = to + length;
        }
        to += length;
    }
    m_appendPosition = to;
    // Dead all are no longer needed.
    TQuellZipEntries live;
    for (TQuellZipEntriesEntry &entry : all)
        if (entry.live && entry.written)
            live.add(std::move(entry));
    m_entries = std::move(live);
    m_holes = false;
}

void TQuellZip::finishArchive()
{
    if (!m_out || !m_modified)
        return;
    if (m_holes)
        compact();
    // The directory starts behind the last complete record: an entry cut short by a
    // failure is left out.
    const quint64 offset = m_appendPosition;
    m_out->seek(qint64(offset));
    QByteArray block;
    quint64 size = 0;
    quint64 count = 0;
    for (const TQuellZipEntriesEntry &entry : m_entries.items()) {
        if (!entry.live || !entry.written)
            continue;
        appendCentralHeader(block, entry.CentralDirectory);
        ++count;
        if (block.size() >= (1 << 20)) {
            m_out->put(block.constData(), block.size());
            size += quint64(block.size());
            block.clear();
        }
    }
    m_out->put(block.constData(), block.size());
    size += quint64(block.size());
    const QByteArray end = endRecords(count, size, offset, m_comment);
    m_out->put(end.constData(), end.size());
    const qint64 finalSize = m_out->pos();
    m_out->flush();
    if (m_stream->size() != finalSize)
        m_out->truncate(finalSize);
    m_modified = false;
}

} // namespace norvex::archivers
