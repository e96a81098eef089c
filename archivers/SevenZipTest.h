#pragma once

#include "archivers/ArchiveTest.h"

namespace norvex::archivers {

// The 7z half of testArchive(): the engine opens the archive and extracts every item in
// test mode. Empty when the engine reports every item intact; else the reason (without
// kArchiveTestFailed).
QString testSevenZipArchive(const QString &path, const QString &password,
                            const ArchiveTestProgress &progress);

} // namespace norvex::archivers
