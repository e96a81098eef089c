#include "archivers/ArchiveTest.h"

namespace norvex::archivers {

QString testArchive(const QString &, ArchiveKind, const ArchiveTestProgress &)
{
    return {}; // placeholder until the reader lands
}

} // namespace norvex::archivers
