#include "archivers/ZipRecords.h"

#include <QDate>
#include <QTime>
#include <cstring>

namespace norvex::archivers {

ZipLimits &zipLimits()
{
    static ZipLimits limits;
    return limits;
}

static quint32 field32(quint64 value)
{
    return value >= zipLimits().max32 ? 0xFFFFFFFFu : quint32(value);
}

int localHeaderLength(const TCentralDirectoryFile &record, bool zip64)
{
    return LocalFileHeaderSize + int(record.name.size()) + (zip64 ? 20 : 0);
}

QByteArray localHeader(const TCentralDirectoryFile &record, bool zip64)
{
    QByteArray out(localHeaderLength(record, zip64), Qt::Uninitialized);
    char *p = out.data();
    putLe32(p, LocalFileSignature);
    putLe16(p + 4, record.versionNeeded);
    putLe16(p + 6, record.flags);
    putLe16(p + 8, record.method);
    putLe16(p + 10, record.time);
    putLe16(p + 12, record.date);
    putLe32(p + 14, record.crc32);
    putLe32(p + 18, zip64 ? 0xFFFFFFFFu : quint32(record.compressedSize));
    putLe32(p + 22, zip64 ? 0xFFFFFFFFu : quint32(record.uncompressedSize));
    putLe16(p + 26, quint16(record.name.size()));
    putLe16(p + 28, zip64 ? 20 : 0);
    std::memcpy(p + LocalFileHeaderSize, record.name.constData(), record.name.size());
    if (zip64) {
        char *x = p + LocalFileHeaderSize + record.name.size();
        putLe16(x, Zip64ExtraId);
        putLe16(x + 2, 16);
        putLe64(x + 4, record.uncompressedSize);
        putLe64(x + 12, record.compressedSize);
    }
    return out;
}

bool centralNeedsZip64(const TCentralDirectoryFile &record)
{
    const quint64 max = zipLimits().max32;
    return record.uncompressedSize >= max || record.compressedSize >= max ||
           record.localHeaderOffset >= max;
}

void appendCentralHeader(QByteArray &out, const TCentralDirectoryFile &record)
{
    // The ZIP64 field holds only the values whose classic field carries the marker, in
    // this order.
    char zip64[28];
    int zip64Length = 0;
    const quint64 max = zipLimits().max32;
    for (quint64 value :
         {record.uncompressedSize, record.compressedSize, record.localHeaderOffset}) {
        if (value >= max) {
            putLe64(zip64 + 4 + zip64Length, value);
            zip64Length += 8;
        }
    }
    const int extraLength = int(record.extra.size()) + (zip64Length ? 4 + zip64Length : 0);
    const qsizetype at = out.size();
    out.resize(at + CentralFileHeaderSize + record.name.size() + extraLength +
               record.comment.size());
    char *p = out.data() + at;
    putLe32(p, CentralFileSignature);
    putLe16(p + 4, record.versionMadeBy);
    putLe16(p + 6, record.versionNeeded);
    putLe16(p + 8, record.flags);
    putLe16(p + 10, record.method);
    putLe16(p + 12, record.time);
    putLe16(p + 14, record.date);
    putLe32(p + 16, record.crc32);
    putLe32(p + 20, field32(record.compressedSize));
    putLe32(p + 24, field32(record.uncompressedSize));
    putLe16(p + 28, quint16(record.name.size()));
    putLe16(p + 30, quint16(extraLength));
    putLe16(p + 32, quint16(record.comment.size()));
    putLe16(p + 34, quint16(record.diskStart));
    putLe16(p + 36, record.internalAttributes);
    putLe32(p + 38, record.externalAttributes);
    putLe32(p + 42, field32(record.localHeaderOffset));
    p += CentralFileHeaderSize;
    std::memcpy(p, record.name.constData(), record.name.size());
    p += record.name.size();
    if (zip64Length) {
        putLe16(zip64, Zip64ExtraId);
        putLe16(zip64 + 2, quint16(zip64Length));
        std::memcpy(p, zip64, 4 + zip64Length);
        p += 4 + zip64Length;
    }
    std::memcpy(p, record.extra.constData(), record.extra.size());
    p += record.extra.size();
    std::memcpy(p, record.comment.constData(), record.comment.size());
}

QByteArray endRecords(quint64 count, quint64 size, quint64 offset, const QByteArray &comment)
{
    const ZipLimits &limits = zipLimits();
    const bool zip64 = count >= limits.max16 || size >= limits.max32 || offset >= limits.max32;
    QByteArray out;
    if (zip64) {
        out.resize(Zip64EndSize + Zip64LocatorSize);
        char *p = out.data();
        putLe32(p, Zip64EndSignature);
        putLe64(p + 4, Zip64EndSize - 12); // size of the rest of the record
        putLe16(p + 12, VersionMadeByUnix);
        putLe16(p + 14, VersionNeededZip64);
        putLe32(p + 16, 0); // this disk
        putLe32(p + 20, 0); // disk with the central directory
        putLe64(p + 24, count);
        putLe64(p + 32, count);
        putLe64(p + 40, size);
        putLe64(p + 48, offset);
        p += Zip64EndSize;
        putLe32(p, Zip64LocatorSignature);
        putLe32(p + 4, 0);
        putLe64(p + 8, offset + size); // the ZIP64 end record follows the directory
        putLe32(p + 16, 1);            // total disks
    }
    const qsizetype at = out.size();
    out.resize(at + EndOfCentralDirSize + comment.size());
    char *p = out.data() + at;
    const quint16 count16 = count >= limits.max16 ? 0xFFFF : quint16(count);
    putLe32(p, EndOfCentralDirSignature);
    putLe16(p + 4, 0);
    putLe16(p + 6, 0);
    putLe16(p + 8, count16);
    putLe16(p + 10, count16);
    putLe32(p + 12, field32(size));
    putLe32(p + 16, field32(offset));
    putLe16(p + 20, quint16(comment.size()));
    std::memcpy(p + EndOfCentralDirSize, comment.constData(), comment.size());
    return out;
}

bool parseCentralHeader(const char *p, TCentralDirectoryFile &record, int &nameLength,
                        int &extraLength, int &commentLength)
{
    if (getLe32(p) != CentralFileSignature)
        return false;
    record.versionMadeBy = getLe16(p + 4);
    record.versionNeeded = getLe16(p + 6);
    record.flags = getLe16(p + 8);
    record.method = getLe16(p + 10);
    record.time = getLe16(p + 12);
    record.date = getLe16(p + 14);
    record.crc32 = getLe32(p + 16);
    record.compressedSize = getLe32(p + 20);
    record.uncompressedSize = getLe32(p + 24);
    nameLength = getLe16(p + 28);
    extraLength = getLe16(p + 30);
    commentLength = getLe16(p + 32);
    record.diskStart = getLe16(p + 34);
    record.internalAttributes = getLe16(p + 36);
    record.externalAttributes = getLe32(p + 38);
    record.localHeaderOffset = getLe32(p + 42);
    return true;
}

void applyZip64Extra(TCentralDirectoryFile &record)
{
    const QByteArray extra = record.extra;
    if (extra.size() < 4)
        return;
    QByteArray kept;
    const char *p = extra.constData();
    const qsizetype size = extra.size();
    qsizetype at = 0;
    while (at + 4 <= size) {
        const quint16 id = getLe16(p + at);
        const qsizetype length = getLe16(p + at + 2);
        if (at + 4 + length > size)
            break;
        if (id == Zip64ExtraId) {
            const char *v = p + at + 4;
            qsizetype left = length;
            for (quint64 *field :
                 {&record.uncompressedSize, &record.compressedSize, &record.localHeaderOffset}) {
                if (*field == 0xFFFFFFFFu && left >= 8) {
                    *field = getLe64(v);
                    v += 8;
                    left -= 8;
                }
            }
        } else {
            kept.append(p + at, 4 + length);
        }
        at += 4 + length;
    }
    // Whatever does not parse as fields is kept as it was.
    kept.append(p + at, size - at);
    record.extra = kept;
}

bool parseLocalHeader(const char *p, TLocalFile &header)
{
    if (getLe32(p) != LocalFileSignature)
        return false;
    header.versionNeeded = getLe16(p + 4);
    header.flags = getLe16(p + 6);
    header.method = getLe16(p + 8);
    header.time = getLe16(p + 10);
    header.date = getLe16(p + 12);
    header.crc32 = getLe32(p + 14);
    header.compressedSize = getLe32(p + 18);
    header.uncompressedSize = getLe32(p + 22);
    header.nameLength = getLe16(p + 26);
    header.extraLength = getLe16(p + 28);
    return true;
}

bool parseEndOfCentralDir(const char *p, TEndOfCentralDir &end)
{
    if (getLe32(p) != EndOfCentralDirSignature)
        return false;
    end.diskNumber = getLe16(p + 4);
    end.centralDirDisk = getLe16(p + 6);
    end.entriesOnDisk = getLe16(p + 8);
    end.totalEntries = getLe16(p + 10);
    end.centralDirSize = getLe32(p + 12);
    end.centralDirOffset = getLe32(p + 16);
    end.commentLength = getLe16(p + 20);
    return true;
}

void dosDateTime(std::time_t moment, quint16 &date, quint16 &time)
{
    std::tm t{};
    if (!localtime_r(&moment, &t) || t.tm_year < 80) {
        date = (1 << 5) | 1; // 1980-01-01 00:00:00
        time = 0;
        return;
    }
    if (t.tm_year > 207) {
        date = quint16((127 << 9) | (12 << 5) | 31);
        time = quint16((23 << 11) | (59 << 5) | 29);
        return;
    }
    date = quint16(((t.tm_year - 80) << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday);
    time = quint16((t.tm_hour << 11) | (t.tm_min << 5) | (std::min(t.tm_sec, 59) / 2));
}

QDateTime fromDosDateTime(quint16 date, quint16 time)
{
    const QDate d(1980 + (date >> 9), (date >> 5) & 0x0F, date & 0x1F);
    const QTime t((time >> 11) & 0x1F, (time >> 5) & 0x3F, (time & 0x1F) * 2);
    return QDateTime(d, t);
}

bool hasHighBytes(const QByteArray &name)
{
    for (char c : name)
        if (uchar(c) > 0x7F)
            return true;
    return false;
}

} // namespace norvex::archivers
