// norvex-verify: tests an archive the way the backup run does before the transfer, for
// benchmarks against compression and the peer tools' own tests.
//
//   norvex-verify [-p password] ARCHIVE.zip|ARCHIVE.7z
//
// Prints nothing and exits 0 when the archive is intact; else prints why and exits 1.
#include "archivers/ArchiveTest.h"

#include <cstdio>
#include <cstring>

using namespace norvex::archivers;

int main(int argc, char **argv)
{
    int first = 1;
    QString password;
    if (argc > 2 && std::strcmp(argv[1], "-p") == 0) {
        password = QString::fromLocal8Bit(argv[2]);
        first = 3;
    }
    if (argc - first != 1) {
        std::fprintf(stderr, "usage: norvex-verify [-p password] ARCHIVE.zip|ARCHIVE.7z\n");
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[first]);
    const ArchiveKind kind = path.endsWith(QStringLiteral(".7z"), Qt::CaseInsensitive)
                                 ? ArchiveKind::SevenZip
                                 : ArchiveKind::Zip;
    const QString result = testArchive(path, kind, {}, password);
    if (result.isEmpty())
        return 0;
    std::fprintf(stderr, "%s\n", qPrintable(result));
    return 1;
}
