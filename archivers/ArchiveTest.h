#pragma once

// The test of a new archive before it is sent: a ZIP archive has every entry read back,
// inflated and its CRC-32 and sizes compared with its directory; a 7z archive is tested by
// the 7-Zip engine (every item decoded, nothing written).
//
// testArchive() keeps nothing between calls and shares nothing between threads: several
// runs may test archives at once. It reads the file once from start to end with bounded
// memory (a few MiB whatever the archive's size), so the page cache it touches is the
// archive's alone. progress, when given, is called on the calling thread only, with the
// bytes of the archive read so far and the file's size, about once per MiB read and once
// at the end. A 7z archive needs the engine library (as writing it did)
// and, when it was written with a password, that password.

#include <QString>

#include <functional>

namespace norvex::archivers {

enum class ArchiveKind { Zip, SevenZip };

// Bytes of the archive read so far, of its size.
using ArchiveTestProgress = std::function<void(qint64 done, qint64 total)>;

// Empty when the archive at path is complete and every entry reads back as stored;
// otherwise what is wrong (the first bad entry and why), in Japanese, starting with
// kArchiveTestFailed.
QString testArchive(const QString &path, ArchiveKind kind, const ArchiveTestProgress &progress = {},
                    const QString &password = {});

inline const QString kArchiveTestFailed =
    QStringLiteral("アーカイブの検査で誤りが見つかりました。 ");

} // namespace norvex::archivers
