#pragma once

// Reads a stored archive (ZIP or 7z) through the 7-Zip engine, for restores: the list of
// items with their names as Linux bytes, types, sizes, modes and times, and the data of
// chosen items, each checked by the engine (CRC for ZIP and 7z, with the password for an
// encrypted 7z archive).
//
// The engine reads ZIP too, so one reader serves both formats; it needs the engine library
// as writing a 7z archive does. A reader keeps the archive file open from open() to its
// destruction; one reader is used by one thread at a time.

#include "archivers/ArchiveTest.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

namespace norvex::archivers {

struct ArchiveItem
{
    enum class Type { File, Folder, Link };

    quint32 index = 0;
    // The name's bytes as the file had them, '/'-separated, without a trailing '/'. As
    // stored: may be absolute or hold ".." in a hostile archive.
    QByteArray path;
    Type type = Type::File;
    quint64 size = 0;
    // Modification time in ns since 1970 (UTC); false when the archive holds none.
    bool hasTime = false;
    qint64 mtimeNs = 0;
    // Permission bits (07777); false when the archive holds no Unix mode.
    bool hasMode = false;
    quint32 mode = 0;
    bool encrypted = false;
};

// What the engine said about one extracted item.
struct ItemVerdict
{
    bool ok = true;
    // The data did not decode with the password given (wrong password, or the data error
    // an AES stream shows with a wrong key).
    bool wrongPassword = false;
    // Why not ok, in Japanese.
    QString text;
};

// Receives the items extract() decodes, one at a time and in archive order (the engine
// may call from one of its threads, never from two at once).
class ArchiveSink
{
public:
    virtual ~ArchiveSink() = default;
    // Whether the item's data is wanted; false leaves it undecoded where the format allows.
    virtual bool begin(const ArchiveItem &item) = 0;
    // Data of the item begun; false stops the whole extract (the sink keeps why).
    virtual bool write(const char *data, std::size_t size) = 0;
    // The end of a wanted item, with the engine's check. Also called, without begin(), for
    // an item the engine found damaged before it decoded any of it.
    virtual void end(const ArchiveItem &item, const ItemVerdict &verdict) = 0;
    // Bytes of the archive decoded so far, of the total; false cancels.
    virtual bool progress(quint64 done, quint64 total) = 0;
};

class ArchiveReader
{
public:
    ArchiveReader();
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader &) = delete;
    ArchiveReader &operator=(const ArchiveReader &) = delete;

    // Opens the archive and reads its item list. False with errorText() when the engine
    // cannot be loaded, the file cannot be read or is not an archive of that kind.
    bool open(const QString &path, ArchiveKind kind, const QString &password = {});
    const QList<ArchiveItem> &items() const { return m_items; }
    // Whether any item is encrypted (a 7z archive written with a password).
    bool encrypted() const;

    enum class Stop { Completed, Cancelled, SinkFailed, EngineFailed };
    // Decodes the items at the given positions of items() into sink. EngineFailed with
    // errorText() when the engine gave up (a truncated archive, for example).
    Stop extract(const QList<quint32> &indices, ArchiveSink &sink);

    const QString &errorText() const { return m_error; }

private:
    struct Engine;
    std::unique_ptr<Engine> m_engine;
    QList<ArchiveItem> m_items;
    QString m_error;
};

} // namespace norvex::archivers
