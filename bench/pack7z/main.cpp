// pack7z [-p password] archive.7z source...
// Packs the sources into a 7z archive through TSevenZip with the settings the backup
// service uses: folders with their sub-folders, FAST, not solid.
#include "archivers/SevenZip.h"

#include <QFileInfo>
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
    if (argc - first < 1) {
        std::fprintf(stderr, "usage: pack7z [-p password] archive.7z source...\n");
        return 2;
    }
    try {
        TSevenZip zip;
        zip.setAddOptions(AddOptsEnum::AddRecurseDirs);
        zip.setLZMACompressStrength(TCompressStrength::FAST);
        if (!password.isEmpty())
            zip.setPassword(password);
        zip.FileList().clear();
        zip.setSZFileName(QString::fromLocal8Bit(argv[first]));
        for (int i = first + 1; i < argc; ++i) {
            const QString source = QString::fromLocal8Bit(argv[i]);
            zip.FileList().append(QFileInfo(source).isDir() ? source + QStringLiteral("/*.*")
                                                            : source);
        }
        const int hr = zip.BuildArchive();
        if (hr != 0) {
            std::fprintf(stderr, "pack7z: 0x%08X %s\n", unsigned(hr),
                         qPrintable(zip.ErrorMessage()));
            return 1;
        }
    } catch (const norvex::shared::Exception &e) {
        std::fprintf(stderr, "pack7z: %s : %s\n", qPrintable(e.className()), e.what());
        return 1;
    }
    return 0;
}
