#include "archivers/ArchiveTest.h"

#include "archivers/SevenZipTest.h"
#include "archivers/ZipCrc32.h"
#include "archivers/ZipRecords.h"
#include "platform/Paths.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <libdeflate.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace norvex::archivers {

namespace {

constexpr qint64 Window = 1 << 20;
// Entries up to this size (both ways) are inflated whole by libdeflate, larger ones are
// streamed through zlib: bounded memory either way.
constexpr qint64 WholeLimit = 8 << 20;

struct Failure
{
    QString text;
};

[[noreturn]] void fail(const QString &text)
{
    throw Failure{text};
}

QString entryName(const QByteArray &name)
{
    return QFile::decodeName(name);
}

// Reads the archive through one window, mostly forward; reports how far it has read.
class ArchiveReader
{
public:
    ArchiveReader(int fd, qint64 size, const ArchiveTestProgress &progress)
        : m_fd(fd), m_size(size), m_progress(progress)
    {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }

    qint64 size() const { return m_size; }

    // length bytes at offset, valid until the next call; fails when the file ends first.
    const char *at(qint64 offset, qint64 length, const QString &what)
    {
        if (offset < 0 || length < 0 || offset + length > m_size)
            fail(what);
        if (offset < m_start || offset + length > m_start + qint64(m_buffer.size())) {
            const qint64 want = std::min(std::max(length, Window), m_size - offset);
            if (qint64(m_capacity.size()) < want)
                m_capacity.resize(std::size_t(want));
            qint64 got = 0;
            while (got < want) {
                const ssize_t n =
                    ::pread(m_fd, m_capacity.data() + got, std::size_t(want - got), offset + got);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    fail(QStringLiteral("アーカイブを読めません: ") +
                         platform::systemErrorText(errno));
                if (n == 0)
                    fail(what);
                got += n;
            }
            m_start = offset;
            m_buffer = {m_capacity.data(), std::size_t(got)};
            advance(offset + got);
        }
        return m_buffer.data + (offset - m_start);
    }

    void finish()
    {
        m_reported = -1;
        advance(m_size);
    }

private:
    struct Span
    {
        const char *data = nullptr;
        std::size_t count = 0;
        std::size_t size() const { return count; }
    };

    void advance(qint64 to)
    {
        if (to > m_reached)
            m_reached = to;
        if (m_progress && (m_reached - m_reported >= Window || m_reported < 0)) {
            m_reported = m_reached;
            m_progress(m_reached, m_size);
        }
    }

    int m_fd;
    qint64 m_size;
    const ArchiveTestProgress &m_progress;
    std::vector<char> m_capacity;
    Span m_buffer;
    qint64 m_start = 0;
    qint64 m_reached = 0;
    qint64 m_reported = 0;
};

struct Entry
{
    TCentralDirectoryFile record;
};

struct Directory
{
    quint64 count = 0;
    quint64 offset = 0;
    quint64 size = 0;
};

// The end records: the classic one (found from the end, its comment reaching exactly to
// the end of the file), and the ZIP64 one its locator points to when there is one.
Directory readEnd(ArchiveReader &in)
{
    const QString noEnd = QStringLiteral("終端レコードが見つかりません（ZIP 形式でないか、"
                                         "ファイルが途中で切れています）。");
    const qint64 size = in.size();
    if (size < EndOfCentralDirSize)
        fail(noEnd);
    const qint64 span = std::min<qint64>(size, EndOfCentralDirSize + 0xFFFF);
    const char *tail = in.at(size - span, span, noEnd);
    qint64 endAt = -1;
    for (qint64 i = span - EndOfCentralDirSize; i >= 0; --i) {
        if (getLe32(tail + i) == EndOfCentralDirSignature &&
            i + EndOfCentralDirSize + getLe16(tail + i + 20) == span) {
            endAt = size - span + i;
            break;
        }
    }
    if (endAt < 0)
        fail(noEnd);
    TEndOfCentralDir end;
    parseEndOfCentralDir(in.at(endAt, EndOfCentralDirSize, noEnd), end);
    if (end.diskNumber != 0 || end.centralDirDisk != 0)
        fail(QStringLiteral("分割されたアーカイブは検査できません。"));

    Directory dir{end.totalEntries, end.centralDirOffset, end.centralDirSize};
    qint64 directoryEnd = endAt;
    const bool marked = end.totalEntries == 0xFFFF || end.entriesOnDisk == 0xFFFF ||
                        end.centralDirSize == 0xFFFFFFFFu || end.centralDirOffset == 0xFFFFFFFFu;
    const char *locator = endAt >= Zip64LocatorSize
                              ? in.at(endAt - Zip64LocatorSize, Zip64LocatorSize, noEnd)
                              : nullptr;
    if (locator && getLe32(locator) == Zip64LocatorSignature) {
        const QString bad = QStringLiteral("ZIP64 終端レコードが壊れています。");
        const quint64 at = getLe64(locator + 8);
        if (at > quint64(endAt - Zip64LocatorSize - Zip64EndSize))
            fail(bad);
        const char *record = in.at(qint64(at), Zip64EndSize, bad);
        if (getLe32(record) != Zip64EndSignature)
            fail(bad);
        const quint64 entriesOnDisk = getLe64(record + 24);
        dir.count = getLe64(record + 32);
        dir.size = getLe64(record + 40);
        dir.offset = getLe64(record + 48);
        if (entriesOnDisk != dir.count || getLe32(record + 16) != 0 || getLe32(record + 20) != 0)
            fail(bad);
        // Classic fields that fit must agree with the ZIP64 ones.
        if ((end.totalEntries != 0xFFFF && end.totalEntries != dir.count) ||
            (end.centralDirSize != 0xFFFFFFFFu && end.centralDirSize != dir.size) ||
            (end.centralDirOffset != 0xFFFFFFFFu && end.centralDirOffset != dir.offset))
            fail(bad);
        directoryEnd = qint64(at);
    } else if (marked) {
        fail(QStringLiteral("ZIP64 終端レコードがありません。"));
    }
    if (dir.offset > quint64(directoryEnd) || dir.size != quint64(directoryEnd) - dir.offset)
        fail(QStringLiteral("中央ディレクトリの位置 %1 とサイズ %2 が終端レコードの位置 %3 "
                            "と合いません。")
                 .arg(dir.offset)
                 .arg(dir.size)
                 .arg(directoryEnd));
    return dir;
}

std::vector<Entry> readDirectory(ArchiveReader &in, const Directory &dir)
{
    const QString broken = QStringLiteral("中央ディレクトリが壊れています。");
    std::vector<Entry> entries;
    entries.reserve(std::size_t(std::min<quint64>(dir.count, 1 << 20)));
    qint64 at = qint64(dir.offset);
    const qint64 end = qint64(dir.offset + dir.size);
    while (at < end) {
        Entry e;
        int nameLength = 0;
        int extraLength = 0;
        int commentLength = 0;
        if (end - at < CentralFileHeaderSize ||
            !parseCentralHeader(in.at(at, CentralFileHeaderSize, broken), e.record, nameLength,
                                extraLength, commentLength))
            fail(broken + QStringLiteral(" （%1 番目のレコード）").arg(entries.size() + 1));
        const qint64 variable = qint64(nameLength) + extraLength + commentLength;
        if (at + CentralFileHeaderSize + variable > end)
            fail(broken + QStringLiteral(" （%1 番目のレコード）").arg(entries.size() + 1));
        const char *p = in.at(at + CentralFileHeaderSize, variable, broken);
        e.record.name = QByteArray(p, nameLength);
        e.record.extra = QByteArray(p + nameLength, extraLength);
        const quint64 markedSizes[] = {e.record.uncompressedSize, e.record.compressedSize,
                                       e.record.localHeaderOffset};
        applyZip64Extra(e.record);
        for (int i = 0; i < 3; ++i) {
            const quint64 now[] = {e.record.uncompressedSize, e.record.compressedSize,
                                   e.record.localHeaderOffset};
            if (markedSizes[i] == 0xFFFFFFFFu && now[i] == 0xFFFFFFFFu)
                fail(QStringLiteral("「%1」: ZIP64 拡張フィールドがありません。")
                         .arg(entryName(e.record.name)));
        }
        entries.push_back(std::move(e));
        at += CentralFileHeaderSize + variable;
    }
    if (entries.size() != dir.count)
        fail(QStringLiteral("中央ディレクトリのエントリ数 %1 が終端レコードの %2 と一致しません。")
                 .arg(entries.size())
                 .arg(dir.count));
    return entries;
}

// The local header must describe the same entry; returns where its data starts.
qint64 checkLocalHeader(ArchiveReader &in, const TCentralDirectoryFile &c, const QString &name)
{
    const QString missing = QStringLiteral("「%1」: ローカルヘッダがありません。").arg(name);
    const qint64 at = qint64(c.localHeaderOffset);
    TLocalFile local;
    if (!parseLocalHeader(in.at(at, LocalFileHeaderSize, missing), local))
        fail(missing);
    const char *p = in.at(at + LocalFileHeaderSize, local.nameLength + local.extraLength, missing);
    auto differs = [&](const char *field) {
        fail(QStringLiteral("「%1」: ローカルヘッダの%2が中央ディレクトリと一致しません。")
                 .arg(name, QString::fromUtf8(field)));
    };
    if (QByteArray(p, local.nameLength) != c.name)
        differs("名前");
    if (local.method != c.method)
        differs("圧縮方式");
    // With a data descriptor (flag bit 3) the local fields may be zero.
    if (!(local.flags & 0x0008)) {
        TCentralDirectoryFile sizes;
        sizes.uncompressedSize = local.uncompressedSize;
        sizes.compressedSize = local.compressedSize;
        sizes.extra = QByteArray(p + local.nameLength, local.extraLength);
        applyZip64Extra(sizes);
        if (local.crc32 != c.crc32)
            differs("CRC-32");
        if (sizes.compressedSize != c.compressedSize ||
            sizes.uncompressedSize != c.uncompressedSize)
            differs("サイズ");
    }
    return at + LocalFileHeaderSize + local.nameLength + local.extraLength;
}

// What an entry's data gave when read back.
struct Produced
{
    quint32 crc = 0;
    quint64 size = 0;
};

class ZipChecker
{
public:
    explicit ZipChecker(ArchiveReader &in) : m_in(in) {}
    ~ZipChecker()
    {
        if (m_decompressor)
            libdeflate_free_decompressor(m_decompressor);
        if (m_zlibReady)
            inflateEnd(&m_zlib);
    }
    ZipChecker(const ZipChecker &) = delete;
    ZipChecker &operator=(const ZipChecker &) = delete;

    void check(const TCentralDirectoryFile &c, qint64 dataAt, qint64 dataEnd)
    {
        const QString name = entryName(c.name);
        const QString cut = QStringLiteral("「%1」: 圧縮データが途中で終わっています。").arg(name);
        if (c.flags & FlagEncrypted)
            fail(QStringLiteral("「%1」: 暗号化されたエントリは検査できません。").arg(name));
        if (dataAt + qint64(c.compressedSize) > dataEnd || qint64(c.compressedSize) < 0)
            fail(cut);
        Produced got;
        if (c.method == 0) {
            if (c.compressedSize != c.uncompressedSize)
                fail(QStringLiteral("「%1」: 無圧縮のエントリの圧縮サイズ %2 バイトが"
                                    "サイズ %3 バイトと一致しません。")
                         .arg(name)
                         .arg(c.compressedSize)
                         .arg(c.uncompressedSize));
            got = stored(dataAt, qint64(c.compressedSize), cut);
        } else if (c.method == 8) {
            if (qint64(c.compressedSize) <= WholeLimit && qint64(c.uncompressedSize) <= WholeLimit)
                got = inflateWhole(c, dataAt, name, cut);
            else
                got = inflateStream(dataAt, qint64(c.compressedSize), name, cut);
        } else {
            fail(QStringLiteral("「%1」: 圧縮方式 %2 は検査できません。").arg(name).arg(c.method));
        }
        if (got.size != c.uncompressedSize)
            fail(QStringLiteral("「%1」: 展開したサイズ %2 バイトが記録されたサイズ %3 "
                                "バイトと一致しません。")
                     .arg(name)
                     .arg(got.size)
                     .arg(c.uncompressedSize));
        if (got.crc != c.crc32)
            fail(QStringLiteral("「%1」: CRC-32 が一致しません（記録 %2、実際 %3）。")
                     .arg(name, hex(c.crc32), hex(got.crc)));
    }

private:
    // The deflate stream ended before the recorded compressed size: bytes that are no
    // part of the entry, or a size that is wrong.
    [[noreturn]] static void endsEarly(const QString &name, qint64 recorded, qint64 used)
    {
        fail(QStringLiteral("「%1」: 圧縮データが記録された圧縮サイズ %2 バイトより前の %3 "
                            "バイトで終わっています。")
                 .arg(name)
                 .arg(recorded)
                 .arg(used));
    }

    static QString hex(quint32 v)
    {
        return QStringLiteral("%1").arg(v, 8, 16, QLatin1Char('0')).toUpper();
    }

    Produced stored(qint64 at, qint64 length, const QString &cut)
    {
        ZipCrc32 crc;
        for (qint64 done = 0; done < length;) {
            const qint64 piece = std::min(Window, length - done);
            crc.update(m_in.at(at + done, piece, cut), std::size_t(piece));
            done += piece;
        }
        return {crc.value(), quint64(length)};
    }

    // Held whole: libdeflate checks that the stream ends exactly where the data does.
    Produced inflateWhole(const TCentralDirectoryFile &c, qint64 at, const QString &name,
                          const QString &cut)
    {
        if (!m_decompressor)
            m_decompressor = libdeflate_alloc_decompressor();
        const char *data = m_in.at(at, qint64(c.compressedSize), cut);
        // One byte more than recorded shows an entry that inflates to more.
        m_out.resize(std::size_t(c.uncompressedSize) + 1);
        std::size_t used = 0;
        std::size_t produced = 0;
        const libdeflate_result r =
            libdeflate_deflate_decompress_ex(m_decompressor, data, std::size_t(c.compressedSize),
                                             m_out.data(), m_out.size(), &used, &produced);
        if (r == LIBDEFLATE_INSUFFICIENT_SPACE)
            return inflateStream(at, qint64(c.compressedSize), name, cut);
        if (r != LIBDEFLATE_SUCCESS)
            fail(QStringLiteral("「%1」: 圧縮データが壊れています。").arg(name));
        if (used != c.compressedSize)
            endsEarly(name, qint64(c.compressedSize), qint64(used));
        return {ZipCrc32::of(m_out.data(), produced), produced};
    }

    Produced inflateStream(qint64 at, qint64 length, const QString &name, const QString &cut)
    {
        if (!m_zlibReady) {
            if (inflateInit2(&m_zlib, -MAX_WBITS) != Z_OK)
                fail(QStringLiteral("展開の準備ができません。"));
            m_zlibReady = true;
        } else {
            inflateReset(&m_zlib);
        }
        m_out.resize(Window);
        ZipCrc32 crc;
        quint64 produced = 0;
        qint64 done = 0;
        int rc = Z_OK;
        while (rc != Z_STREAM_END) {
            const qint64 piece = std::min(Window, length - done);
            if (piece <= 0)
                fail(cut);
            m_zlib.next_in =
                reinterpret_cast<Bytef *>(const_cast<char *>(m_in.at(at + done, piece, cut)));
            m_zlib.avail_in = uInt(piece);
            do {
                m_zlib.next_out = reinterpret_cast<Bytef *>(m_out.data());
                m_zlib.avail_out = uInt(m_out.size());
                rc = inflate(&m_zlib, Z_NO_FLUSH);
                if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
                    fail(QStringLiteral("「%1」: 圧縮データが壊れています（%2）。")
                             .arg(name, QString::fromUtf8(m_zlib.msg ? m_zlib.msg : "zlib")));
                const std::size_t n = m_out.size() - m_zlib.avail_out;
                crc.update(m_out.data(), n);
                produced += n;
            } while (rc != Z_STREAM_END && m_zlib.avail_out == 0);
            done += piece - qint64(m_zlib.avail_in);
        }
        if (done != length)
            endsEarly(name, length, done);
        return {crc.value(), produced};
    }

    ArchiveReader &m_in;
    libdeflate_decompressor *m_decompressor = nullptr;
    z_stream m_zlib{};
    bool m_zlibReady = false;
    std::vector<char> m_out;
};

void testZip(ArchiveReader &in)
{
    const Directory dir = readEnd(in);
    std::vector<Entry> entries = readDirectory(in, dir);
    // In file order: one pass from start to end.
    std::stable_sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        return a.record.localHeaderOffset < b.record.localHeaderOffset;
    });
    ZipChecker checker(in);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const TCentralDirectoryFile &c = entries[i].record;
        const QString name = entryName(c.name);
        if (c.localHeaderOffset >= dir.offset)
            fail(QStringLiteral("「%1」: ローカルヘッダの位置 %2 が中央ディレクトリの後ろを"
                                "指しています。")
                     .arg(name)
                     .arg(c.localHeaderOffset));
        // An entry's data ends before the next entry (or the directory) begins.
        const qint64 next = i + 1 < entries.size() ? qint64(entries[i + 1].record.localHeaderOffset)
                                                   : qint64(dir.offset);
        const qint64 dataAt = checkLocalHeader(in, c, name);
        checker.check(c, dataAt, next);
    }
}

} // namespace

QString testArchive(const QString &path, ArchiveKind kind, const ArchiveTestProgress &progress,
                    const QString &password)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return kArchiveTestFailed + QStringLiteral("アーカイブを開けません: ") +
               platform::systemErrorText(errno);
    struct Closer
    {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0)
        return kArchiveTestFailed + platform::systemErrorText(errno);
    if (kind == ArchiveKind::SevenZip) {
        const QString reason = testSevenZipArchive(fd, st.st_size, password, progress);
        return reason.isEmpty() ? QString() : kArchiveTestFailed + reason;
    }
    try {
        ArchiveReader in(fd, st.st_size, progress);
        testZip(in);
        in.finish();
    } catch (const Failure &f) {
        return kArchiveTestFailed + f.text;
    } catch (const std::bad_alloc &) {
        return kArchiveTestFailed + QStringLiteral("メモリが足りません。");
    }
    return {};
}

} // namespace norvex::archivers
