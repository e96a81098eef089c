#pragma once

#include "archivers/ArchiveTest.h"

namespace norvex::archivers {

// The 7z half of testArchive() on the open archive fd of size bytes: the engine opens the
// archive and extracts every item in test mode. Empty when the engine reports every item
// intact; else the reason (without kArchiveTestFailed). fd stays the caller's.
QString testSevenZipArchive(int fd, qint64 size, const QString &password,
                            const ArchiveTestProgress &progress);

} // namespace norvex::archivers
