// norvex-restore [-p password] ARCHIVE TARGET
// Restores every entry of a stored archive into TARGET the way the restore dialog does
// (RestoreArchive: checked files, modes, times, links), for benchmarks against the peer
// tools. Exit 1 when anything failed or was skipped.
#include "restore/Restore.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstring>

using namespace norvex::restore;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int first = 1;
    QString password;
    if (argc > 2 && std::strcmp(argv[1], "-p") == 0) {
        password = QString::fromLocal8Bit(argv[2]);
        first = 3;
    }
    if (argc - first != 2) {
        std::fprintf(stderr, "usage: norvex-restore [-p password] ARCHIVE TARGET\n");
        return 2;
    }
    const QString archive = QString::fromLocal8Bit(argv[first]);
    RestoreArchive reader;
    if (!reader.open(archive, kindOf(archive), password)) {
        std::fprintf(stderr, "norvex-restore: %s\n", qPrintable(reader.errorText()));
        return 1;
    }
    RestoreOptions options;
    options.target = QString::fromLocal8Bit(argv[first + 1]);
    const RestoreSummary summary = reader.restore(options);
    if (!summary.error.isEmpty())
        std::fprintf(stderr, "norvex-restore: %s\n", qPrintable(summary.error));
    for (const auto &item : summary.failed)
        std::fprintf(stderr, "failed: %s: %s\n", qPrintable(displayPath(item.path)),
                     qPrintable(item.reason));
    for (const auto &item : summary.skipped)
        std::fprintf(stderr, "skipped: %s: %s\n", qPrintable(displayPath(item.path)),
                     qPrintable(item.reason));
    return summary.succeeded() && summary.skipped.isEmpty() ? 0 : 1;
}
