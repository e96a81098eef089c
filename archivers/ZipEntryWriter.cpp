// TQuellZip: writing the decided entries in order (their local records, ZIP64 where a
// value does not fit) and finishing the archive with its directory.
#include "archivers/FileErrors.h"
#include "archivers/QuellZip.h"

#include <QFile>
#include <algorithm>
#include <deque>

namespace norvex::archivers {

namespace {

constexpr qint64 CopyBufferSize = 1 << 20;
// Input bytes of the files deflated ahead, and entries waiting, at most.
constexpr qint64 PendingBudget = 32 << 20;
constexpr std::size_t MaxPending = 4096;

// ZIP64 (4.5) when the local header carries ZIP64 sizes or the record starts beyond what
// 32 bits hold; else deflate (2.0).
quint16 versionNeeded(const TCentralDirectoryFile &cd, bool zip64Sizes)
{
    return zip64Sizes || cd.localHeaderOffset >= zipLimits().max32 ? VersionNeededZip64
                                                                   : VersionNeeded;
}

} // namespace

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
    case ZipPendingWrite::Kind::Folder:
        writeRecord(slot, nullptr, false);
        break;
    case ZipPendingWrite::Kind::Bytes: {
        ZipBytesSource data(write->bytes);
        writeRecord(slot, &data, false);
        break;
    }
    case ZipPendingWrite::Kind::Memory:
        if (write->job.error)
            std::rethrow_exception(write->job.error);
        if (write->job.gone) {
            m_entries.remove(slot);
            return;
        }
        if (!write->job.result.tooLarge) {
            describeAsRead(slot, write->job.info);
            writeMemoryRecord(slot, write->job);
            if (OnCompressFile && write->job.result.consumed > 0)
                OnCompressFile(this, write->job.result.consumed, write->size);
            break;
        }
        // It grew while it was read: written in chunks like a large file.
        [[fallthrough]];
    case ZipPendingWrite::Kind::Stream: {
        ZipSourceFile file;
        ZipFileInfo info;
        if (!openSource(file, write->job.path, write->job.follow, info)) {
            m_entries.remove(slot);
            return;
        }
        describeAsRead(slot, info);
        ZipFileSource data(file, write->job.path, info.size);
        writeRecord(slot, &data, true);
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
    const ZipDeflateResult &r = job.result;
    cd.method = r.consumed == 0 ? 0 : 8;
    cd.crc32 = r.consumed == 0 ? 0 : r.crc32;
    cd.compressedSize = r.consumed == 0 ? 0 : quint64(job.data.size());
    cd.uncompressedSize = quint64(r.consumed);
    const quint64 max = zipLimits().max32;
    const bool zip64 = cd.uncompressedSize >= max || cd.compressedSize >= max;
    cd.versionNeeded = versionNeeded(cd, zip64);
    m_out->seek(qint64(cd.localHeaderOffset));
    const QByteArray header = localHeader(cd, zip64);
    m_out->put(header.constData(), header.size());
    if (cd.method == 8)
        m_out->put(job.data.constData(), job.data.size());
    recordWritten(slot);
}

void TQuellZip::writeRecord(qsizetype slot, ZipEntrySource *source, bool chunked)
{
    TCentralDirectoryFile &cd = m_entries.items()[std::size_t(slot)].CentralDirectory;
    cd.localHeaderOffset = m_appendPosition;
    const quint64 max = zipLimits().max32;
    // Whether the local header carries ZIP64 sizes must be known before the data: decided
    // from the size found now, and the entry is written again with it when the data turns
    // out larger.
    bool zip64 = source && quint64(source->expectedSize()) >= max;
    for (;;) {
        cd.method = 8;
        cd.versionNeeded = versionNeeded(cd, zip64);
        m_out->seek(qint64(cd.localHeaderOffset));
        m_out->put(localHeader(cd, zip64).constData(), localHeaderLength(cd, zip64));
        const qint64 dataStart = m_out->pos();
        ZipDeflateResult r;
        if (source)
            r = chunked ? deflateChunked(*source)
                        : deflateWhole(*source, *m_out, level(), m_pool->callerTools());
        if (r.consumed == 0) {
            // No bytes: stored, CRC 0, no data.
            cd.method = 0;
            cd.crc32 = 0;
            cd.compressedSize = cd.uncompressedSize = 0;
            m_out->seek(dataStart);
            break;
        }
        cd.crc32 = r.crc32;
        cd.uncompressedSize = quint64(r.consumed);
        cd.compressedSize = quint64(r.produced);
        if (!zip64 && (cd.uncompressedSize >= max || cd.compressedSize >= max)) {
            if (!source->rewind())
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

ZipDeflateResult TQuellZip::deflateChunked(ZipEntrySource &source)
{
    const qint64 chunkSize = zipLimits().chunk;
    // Enough chunks in flight to keep every worker busy while the head is written.
    const std::size_t depth = std::size_t(2 * (m_pool->threads() + 1));
    std::deque<std::unique_ptr<ZipChunkJob>> inflight;
    std::vector<std::unique_ptr<ZipChunkJob>> spare;
    // A chunk in flight may be running on a worker: it is finished before it goes away,
    // also when a read or a write fails.
    struct Drain
    {
        ZipCompressorPool &pool;
        std::deque<std::unique_ptr<ZipChunkJob>> &jobs;
        ~Drain()
        {
            for (const std::unique_ptr<ZipChunkJob> &job : jobs)
                pool.complete(job.get());
        }
    } drain{*m_pool, inflight};
    auto take = [&] {
        std::unique_ptr<ZipChunkJob> job;
        if (spare.empty()) {
            job = std::make_unique<ZipChunkJob>();
            job->chunk.input.resize(std::size_t(chunkSize));
        } else {
            job = std::move(spare.back());
            spare.pop_back();
        }
        job->error = nullptr;
        job->chunk.level = level();
        job->chunk.dictionary.clear();
        job->chunk.length = source.readFull(job->chunk.input.data(), chunkSize);
        return job;
    };

    ZipDeflateResult result;
    std::unique_ptr<ZipChunkJob> next = take();
    if (next->chunk.length == 0)
        return result;
    const qint64 total = source.expectedSize();
    uLong crc = 0;
    while (next || !inflight.empty()) {
        // A chunk is sent once the one after it was read: only then is it known whether
        // it is the last.
        while (next && inflight.size() < depth) {
            std::unique_ptr<ZipChunkJob> after = take();
            ZipChunk &chunk = next->chunk;
            chunk.last = after->chunk.length == 0;
            const qint64 keep = std::min(DeflateWindow, chunk.length);
            after->chunk.dictionary.assign(chunk.input.data() + chunk.length - keep,
                                           chunk.input.data() + chunk.length);
            m_pool->submit(next.get());
            inflight.push_back(std::move(next));
            if (after->chunk.length > 0)
                next = std::move(after);
            else
                spare.push_back(std::move(after));
        }
        ZipChunkJob &head = *inflight.front();
        m_pool->complete(&head);
        if (head.error)
            std::rethrow_exception(head.error);
        m_out->put(head.chunk.output.data(), head.chunk.outputLength);
        crc = crc32_combine(crc, head.chunk.crc32, z_off_t(head.chunk.length));
        result.consumed += head.chunk.length;
        result.produced += head.chunk.outputLength;
        spare.push_back(std::move(inflight.front()));
        inflight.pop_front();
        if (OnCompressFile)
            OnCompressFile(this, result.consumed, total);
    }
    result.crc32 = quint32(crc);
    return result;
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
    std::vector<char> buffer(static_cast<std::size_t>(CopyBufferSize));
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
