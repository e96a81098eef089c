#pragma once

// The test of a new archive before it is sent: a ZIP archive has every entry read back,
// inflated and its CRC-32 compared; a 7z archive is tested by the 7-Zip engine.

#include <QString>

#include <functional>

namespace norvex::archivers {

enum class ArchiveKind { Zip, SevenZip };

// Bytes of the archive read so far, of its size.
using ArchiveTestProgress = std::function<void(qint64 done, qint64 total)>;

// Empty when the archive at path is complete and every entry reads back as stored;
// otherwise what is wrong (the first bad entry and why), in Japanese.
QString testArchive(const QString &path, ArchiveKind kind,
                    const ArchiveTestProgress &progress = {});

} // namespace norvex::archivers
