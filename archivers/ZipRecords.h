#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QtGlobal>
#include <ctime>

namespace norvex::archivers {

constexpr quint32 LocalFileSignature = 0x04034B50;
constexpr quint32 CentralFileSignature = 0x02014B50;
constexpr quint32 EndOfCentralDirSignature = 0x06054B50;
constexpr quint32 Zip64EndSignature = 0x06064B50;
constexpr quint32 Zip64LocatorSignature = 0x07064B50;
constexpr quint16 Zip64ExtraId = 0x0001;

constexpr int LocalFileHeaderSize = 30;
constexpr int CentralFileHeaderSize = 46;
constexpr int EndOfCentralDirSize = 22;
constexpr int Zip64EndSize = 56;
constexpr int Zip64LocatorSize = 20;

constexpr quint16 VersionNeeded = 20;
constexpr quint16 VersionNeededZip64 = 45;
constexpr quint16 VersionMadeByUnix =
    (3 << 8) | 20; // host byte 3: external attributes hold the mode
constexpr quint16 FlagEncrypted = 0x0001;
constexpr quint16 FlagUtf8 = 0x0800;
constexpr quint32 AttributeReadOnly = 0x01;
constexpr quint32 AttributeFolder = 0x10;

// A value at or above these limits does not fit the classic fields (the maximum itself is
// the marker that sends readers to the ZIP64 records). Tests lower them to exercise the
// ZIP64 paths with small archives.
struct ZipLimits
{
    quint64 max32 = 0xFFFFFFFFu;
    quint64 max16 = 0xFFFFu;
    // Files up to this size are deflated whole, ahead, into memory; larger ones are cut
    // into chunks deflated in parallel. The archive's bytes depend on these two only.
    qint64 memoryJob = 4 << 20;
    qint64 chunk = 1 << 20;
    // Deflating threads, the writer's included; 0: the CPUs this process may use.
    int workers = 0;
};
ZipLimits &zipLimits();

// One entry's central directory record, with 64-bit sizes and offset whether or not they
// are written as ZIP64. extra and comment never hold a ZIP64 field: that is made when the
// record is written.
struct TCentralDirectoryFile
{
    quint16 versionMadeBy = VersionMadeByUnix;
    quint16 versionNeeded = VersionNeeded;
    quint16 flags = 0;
    quint16 method = 0;
    quint16 time = 0;
    quint16 date = 0;
    quint32 crc32 = 0;
    quint64 compressedSize = 0;
    quint64 uncompressedSize = 0;
    quint32 diskStart = 0;
    quint16 internalAttributes = 0;
    quint32 externalAttributes = 0;
    quint64 localHeaderOffset = 0;
    QByteArray name;
    QByteArray extra;
    QByteArray comment;
};

// The fixed fields of a local header as read back.
struct TLocalFile
{
    quint16 versionNeeded = 0;
    quint16 flags = 0;
    quint16 method = 0;
    quint16 time = 0;
    quint16 date = 0;
    quint32 crc32 = 0;
    quint64 compressedSize = 0;
    quint64 uncompressedSize = 0;
    quint16 nameLength = 0;
    quint16 extraLength = 0;
};

// The end record with 64-bit counts; from the classic record or its ZIP64 form.
struct TEndOfCentralDir
{
    quint16 diskNumber = 0;
    quint16 centralDirDisk = 0;
    quint64 entriesOnDisk = 0;
    quint64 totalEntries = 0;
    quint64 centralDirSize = 0;
    quint64 centralDirOffset = 0;
    quint16 commentLength = 0;
};

// Little-endian field access.
inline void putLe16(char *p, quint16 v)
{
    p[0] = char(v);
    p[1] = char(v >> 8);
}
inline void putLe32(char *p, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = char(v >> (8 * i));
}
inline void putLe64(char *p, quint64 v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = char(v >> (8 * i));
}
inline quint16 getLe16(const char *p)
{
    return quint16(uchar(p[0]) | uchar(p[1]) << 8);
}
inline quint32 getLe32(const char *p)
{
    return quint32(uchar(p[0])) | quint32(uchar(p[1])) << 8 | quint32(uchar(p[2])) << 16 |
           quint32(uchar(p[3])) << 24;
}
inline quint64 getLe64(const char *p)
{
    return quint64(getLe32(p)) | quint64(getLe32(p + 4)) << 32;
}

// The local header with its name and, when zip64 is set, the ZIP64 field carrying both
// sizes (the classic size fields then hold the marker).
QByteArray localHeader(const TCentralDirectoryFile &record, bool zip64);
int localHeaderLength(const TCentralDirectoryFile &record, bool zip64);
// Appends the central record with a ZIP64 field for every value that does not fit.
void appendCentralHeader(QByteArray &out, const TCentralDirectoryFile &record);
bool centralNeedsZip64(const TCentralDirectoryFile &record);
// End records for count entries and the central directory's size and offset, to be
// written right behind it: the ZIP64 record and locator first when a value does not fit,
// then the classic record with its comment.
QByteArray endRecords(quint64 count, quint64 size, quint64 offset, const QByteArray &comment);

// Parses the fixed part of a central record at p (46 bytes); false without the signature.
bool parseCentralHeader(const char *p, TCentralDirectoryFile &record, int &nameLength,
                        int &extraLength, int &commentLength);
// Moves the ZIP64 field out of record.extra into the record's 64-bit values.
void applyZip64Extra(TCentralDirectoryFile &record);
bool parseLocalHeader(const char *p, TLocalFile &header);
bool parseEndOfCentralDir(const char *p, TEndOfCentralDir &end);

// MS-DOS date and time (local time, 2-second resolution) of a moment, clamped to the
// years 1980 to 2107 the format can hold.
void dosDateTime(std::time_t moment, quint16 &date, quint16 &time);
QDateTime fromDosDateTime(quint16 date, quint16 time);

bool hasHighBytes(const QByteArray &name);

} // namespace norvex::archivers
