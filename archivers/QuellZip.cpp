#include "archivers/QuellZip.h"

#include "archivers/FileErrors.h"

#include <algorithm>
#include <sys/stat.h>

namespace norvex::archivers {

QDateTime TQuellZipEntriesEntry::DateTime() const
{
    return fromDosDateTime(CentralDirectory.date, CentralDirectory.time);
}

void TQuellZipEntries::add(TQuellZipEntriesEntry entry)
{
    m_index.insert(entry.CentralDirectory.name, qsizetype(m_slots.size()));
    m_slots.push_back(std::move(entry));
    ++m_live;
}

void TQuellZipEntries::remove(qsizetype slot)
{
    TQuellZipEntriesEntry &entry = m_slots[std::size_t(slot)];
    if (!entry.live)
        return;
    m_index.remove(entry.CentralDirectory.name);
    entry.live = false;
    --m_live;
}

void TQuellZipEntries::clear()
{
    m_slots.clear();
    m_index.clear();
    m_live = 0;
}

TQuellZip::TQuellZip() = default;

TQuellZip::~TQuellZip()
{
    try {
        Close();
    } catch (...) {
        // Destruction cannot report; a caller who cares calls Close first.
    }
}

void TQuellZip::setCompressionType(TZipCompressionType type)
{
    m_compressionType =
        type == TZipCompressionType::ctUnknown ? TZipCompressionType::ctNormal : type;
}

QStringList TQuellZip::Comment() const
{
    if (m_comment.isEmpty())
        return {};
    return QString::fromLocal8Bit(m_comment).split(QStringLiteral("\r\n"));
}

void TQuellZip::setComment(const QStringList &lines)
{
    m_comment = lines.join(QStringLiteral("\r\n")).toLocal8Bit().left(0xFFFF);
    if (m_out)
        m_modified = true;
}

QStringList TQuellZip::FileNames() const
{
    QStringList names;
    names.reserve(m_entries.Count());
    for (const TQuellZipEntriesEntry &entry : m_entries.items())
        if (entry.live)
            names.append(QFile::decodeName(entry.CentralDirectory.name));
    return names;
}

void TQuellZip::notify(int changeType)
{
    if (OnZipChange)
        OnZipChange(this, changeType);
}

void TQuellZip::Close()
{
    try {
        finishArchive();
    } catch (...) {
        release();
        throw;
    }
    release();
    notify(0);
}

void TQuellZip::release()
{
    m_entries.clear();
    m_out.reset();
    m_stream = nullptr;
    m_ownFile.reset();
    m_haveArchiveId = false;
    m_isZipFile = false;
    m_readOnly = false;
    m_badEntries = false;
    m_modified = false;
    m_holes = false;
    m_end = {};
    m_endPosition = -1;
    m_comment.clear();
    m_appendPosition = 0;
}

void TQuellZip::WriteEmptyArchive(QIODevice &stream)
{
    char record[EndOfCentralDirSize] = {};
    putLe32(record, EndOfCentralDirSignature);
    if (stream.write(record, EndOfCentralDirSize) != EndOfCentralDirSize)
        throw EOSError(QStringLiteral("Cannot write the archive: ") + stream.errorString());
}

void TQuellZip::Open(const QString &fileName)
{
    Close();
    struct stat st;
    if (::stat(QFile::encodeName(fileName).constData(), &st) != 0)
        throw norvex::shared::Exception(QStringLiteral("File \"") + fileName +
                                        QStringLiteral("\" not found!"));
    const bool readOnly = (st.st_mode & 0222) == 0;
    auto file = std::make_unique<QFile>(fileName);
    const QIODevice::OpenMode mode =
        (readOnly ? QIODevice::ReadOnly : QIODevice::ReadWrite) | QIODevice::Unbuffered;
    if (!file->open(mode))
        throw EFOpenError(fileName);
    m_ownFile = std::move(file);
    m_readOnly = readOnly;
    m_fileName = fileName;
    openStream(*m_ownFile);
}

void TQuellZip::Open(QIODevice &stream)
{
    Close();
    m_readOnly = !stream.isWritable();
    openStream(stream);
}

void TQuellZip::openStream(QIODevice &stream)
{
    m_stream = &stream;
    m_out = std::make_unique<ZipOutput>(stream);
    if (auto *file = qobject_cast<QFileDevice *>(&stream); file && file->handle() >= 0) {
        struct stat st;
        if (::fstat(file->handle(), &st) == 0) {
            m_haveArchiveId = true;
            m_archiveDevice = st.st_dev;
            m_archiveInode = st.st_ino;
        }
    }
    readDirectory();
    if (!m_isZipFile)
        Close();
    notify(1);
}

bool TQuellZip::findEndRecord(qint64 size, qint64 &position)
{
    if (size <= EndOfCentralDirSize - 1)
        return false;
    // Windows searched backwards for "PK\5\6": the record without a comment, then ever
    // longer comments.
    const struct
    {
        qint64 start;
        qint64 count;
    } windows[] = {{size - 22, 256}, {size - 278, 1024}, {size - 1046, 65536}};
    for (const auto &w : windows) {
        if (w.start < 0)
            break;
        const qint64 count = std::min(w.count, w.start + 1);
        const qint64 first = w.start - count + 1;
        QByteArray bytes(count + 3, Qt::Uninitialized);
        const qint64 got = m_out->readAt(first, bytes.data(), bytes.size());
        if (got != bytes.size())
            return false;
        qint64 at = w.start;
        while (at >= first) {
            const char *p = bytes.constData() + (at - first);
            if (p[0] != 'P') {
                at -= 1;
                continue;
            }
            if (p[1] == 'K' && p[2] == 5 && p[3] == 6) {
                position = at;
                return true;
            }
            at -= 4;
        }
    }
    return false;
}

void TQuellZip::readDirectory()
{
    m_entries.clear();
    m_badEntries = false;
    m_isZipFile = false;
    const qint64 size = m_stream->size();
    qint64 endAt = -1;
    if (!findEndRecord(size, endAt)) {
        recoverLocalHeaders(size);
        return;
    }
    char record[EndOfCentralDirSize];
    if (m_out->readAt(endAt, record, EndOfCentralDirSize) != EndOfCentralDirSize ||
        !parseEndOfCentralDir(record, m_end))
        return;
    m_endPosition = endAt;
    const qint64 commentAt = endAt + EndOfCentralDirSize;
    const qint64 commentLength = std::min<qint64>(m_end.commentLength, size - commentAt);
    m_comment = QByteArray(commentLength, Qt::Uninitialized);
    m_out->readAt(commentAt, m_comment.data(), commentLength);

    // A marker value in the classic record sends the reader to the ZIP64 record.
    if ((m_end.entriesOnDisk == 0xFFFF || m_end.centralDirSize == 0xFFFFFFFFu ||
         m_end.centralDirOffset == 0xFFFFFFFFu) &&
        endAt >= Zip64LocatorSize) {
        char locator[Zip64LocatorSize];
        char end64[Zip64EndSize];
        if (m_out->readAt(endAt - Zip64LocatorSize, locator, Zip64LocatorSize) ==
                Zip64LocatorSize &&
            getLe32(locator) == Zip64LocatorSignature &&
            m_out->readAt(qint64(getLe64(locator + 8)), end64, Zip64EndSize) == Zip64EndSize &&
            getLe32(end64) == Zip64EndSignature) {
            m_end.entriesOnDisk = getLe64(end64 + 24);
            m_end.totalEntries = getLe64(end64 + 32);
            m_end.centralDirSize = getLe64(end64 + 40);
            m_end.centralDirOffset = getLe64(end64 + 48);
        }
    }
    const bool complete = readCentralDirectory();
    m_isZipFile = complete && quint64(m_entries.Count()) == m_end.entriesOnDisk;
    m_appendPosition = m_end.centralDirOffset;
}

bool TQuellZip::readCentralDirectory()
{
    // Read in blocks: a directory of many entries is not read one record at a time.
    const qint64 blockSize = 1 << 20;
    QByteArray block;
    qint64 blockAt = 0;
    qint64 at = qint64(m_end.centralDirOffset);
    auto fetch = [&](qint64 position, qint64 length) -> const char * {
        if (position < blockAt || position + length > blockAt + block.size()) {
            block.resize(std::max(blockSize, length));
            blockAt = position;
            block.resize(m_out->readAt(position, block.data(), block.size()));
            if (length > block.size())
                return nullptr;
        }
        return block.constData() + (position - blockAt);
    };
    for (quint64 i = 0; i < m_end.entriesOnDisk; ++i) {
        const char *p = fetch(at, CentralFileHeaderSize);
        TQuellZipEntriesEntry entry;
        int nameLength = 0;
        int extraLength = 0;
        int commentLength = 0;
        if (!p ||
            !parseCentralHeader(p, entry.CentralDirectory, nameLength, extraLength, commentLength))
            return false;
        p = fetch(at + CentralFileHeaderSize, nameLength + extraLength + commentLength);
        if (!p)
            return false;
        TCentralDirectoryFile &cd = entry.CentralDirectory;
        cd.name = QByteArray(p, nameLength);
        cd.extra = QByteArray(p + nameLength, extraLength);
        cd.comment = QByteArray(p + nameLength + extraLength, commentLength);
        applyZip64Extra(cd);
        at += CentralFileHeaderSize + nameLength + extraLength + commentLength;
        m_entries.add(std::move(entry));
    }

    // Each entry's local header must be where the directory says.
    std::vector<std::pair<quint64, std::size_t>> order;
    auto &all = m_entries.items();
    for (std::size_t i = 0; i < all.size(); ++i) {
        char header[LocalFileHeaderSize];
        const quint64 offset = all[i].CentralDirectory.localHeaderOffset;
        if (m_out->readAt(qint64(offset), header, LocalFileHeaderSize) != LocalFileHeaderSize ||
            getLe32(header) != LocalFileSignature)
            m_badEntries = true;
        order.push_back({offset, i});
    }
    // A local record reaches to the next one (whatever lies between, a data descriptor
    // included, belongs to it); the last one to the directory.
    std::sort(order.begin(), order.end());
    for (std::size_t k = 0; k < order.size(); ++k) {
        const quint64 next = k + 1 < order.size() ? order[k + 1].first : m_end.centralDirOffset;
        all[order[k].second].recordEnd = std::max(next, order[k].first);
    }
    return true;
}

void TQuellZip::recoverLocalHeaders(qint64 size)
{
    // Without an end record: walk the local records from the start of the file.
    qint64 at = 0;
    char header[LocalFileHeaderSize];
    while (m_out->readAt(at, header, LocalFileHeaderSize) == LocalFileHeaderSize) {
        TLocalFile local;
        if (!parseLocalHeader(header, local))
            break;
        TQuellZipEntriesEntry entry;
        TCentralDirectoryFile &cd = entry.CentralDirectory;
        cd.versionMadeBy = VersionNeeded;
        cd.versionNeeded = local.versionNeeded;
        cd.flags = local.flags;
        cd.method = local.method;
        cd.time = local.time;
        cd.date = local.date;
        cd.crc32 = local.crc32;
        cd.compressedSize = local.compressedSize;
        cd.uncompressedSize = local.uncompressedSize;
        cd.localHeaderOffset = quint64(at);
        QByteArray nameAndExtra(local.nameLength + local.extraLength, Qt::Uninitialized);
        if (m_out->readAt(at + LocalFileHeaderSize, nameAndExtra.data(), nameAndExtra.size()) !=
            nameAndExtra.size())
            break;
        cd.name = nameAndExtra.left(local.nameLength);
        cd.extra = nameAndExtra.mid(local.nameLength);
        if (cd.compressedSize == 0xFFFFFFFFu || cd.uncompressedSize == 0xFFFFFFFFu) {
            // A local ZIP64 field holds both sizes.
            const quint64 usize = cd.uncompressedSize;
            cd.uncompressedSize = cd.compressedSize = 0xFFFFFFFFu;
            applyZip64Extra(cd);
            if (usize != 0xFFFFFFFFu)
                cd.uncompressedSize = usize;
        }
        // Sizes that follow the data in a descriptor cannot be walked past.
        if (local.flags & 0x0008)
            break;
        const quint64 end =
            quint64(at) + LocalFileHeaderSize + quint64(nameAndExtra.size()) + cd.compressedSize;
        if (end > quint64(size))
            break;
        cd.extra.clear();
        entry.recordEnd = end;
        m_entries.add(std::move(entry));
        at = qint64(end);
    }
    if (m_entries.Count() > 0) {
        m_isZipFile = true;
        m_badEntries = true;
        m_appendPosition = quint64(at);
    }
}

} // namespace norvex::archivers
