// norvex-pack: packs paths into an archive the way the backup service's archive step
// does, for benchmarks against the peer tools.
//
//   norvex-pack [--level maximum|normal|fast|none] [--workers N] [--stats] ARCHIVE SOURCE...
//
// ZIP: the archive file is created anew, the empty end record written into it, then the
// writer (defaults: maximum level) opens it, adds the sources with sub-folders and closes
// it. --level changes CompressionType (the service keeps the default); --workers sets the
// number of deflating threads (default: the CPUs the process may use). --stats prints
// wall time, CPU time and peak memory on standard error. The 7z path has its own tool
// (bench/pack7z).
#include "archivers/FileErrors.h"
#include "archivers/QuellZip.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <cstdio>
#include <sys/resource.h>

using namespace norvex::archivers;

static int usage()
{
    std::fprintf(stderr, "usage: norvex-pack [--level maximum|normal|fast|none] [--workers N] "
                         "[--stats] ARCHIVE SOURCE...\n");
    return 2;
}

static double seconds(const timeval &t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    bool stats = false;
    bool levelGiven = false;
    TZipCompressionType level = TZipCompressionType::ctMaximum;
    while (!args.isEmpty() && args.first().startsWith(QLatin1String("--"))) {
        const QString option = args.takeFirst();
        if (option == QLatin1String("--stats")) {
            stats = true;
        } else if (option == QLatin1String("--workers") && !args.isEmpty()) {
            bool ok = false;
            zipLimits().workers = args.takeFirst().toInt(&ok);
            if (!ok || zipLimits().workers < 1)
                return usage();
        } else if (option == QLatin1String("--level") && !args.isEmpty()) {
            const QString name = args.takeFirst();
            levelGiven = true;
            if (name == QLatin1String("maximum"))
                level = TZipCompressionType::ctMaximum;
            else if (name == QLatin1String("normal"))
                level = TZipCompressionType::ctNormal;
            else if (name == QLatin1String("fast"))
                level = TZipCompressionType::ctFast;
            else if (name == QLatin1String("none"))
                level = TZipCompressionType::ctNone;
            else
                return usage();
        } else {
            return usage();
        }
    }
    if (args.size() < 1)
        return usage();
    const QString archive = args.takeFirst();

    QElapsedTimer wall;
    wall.start();
    try {
        TQuellZip zip;
        if (levelGiven)
            zip.setCompressionType(level);
        zip.Close();
        {
            QFile file(archive);
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
                throw EFOpenError(archive);
            zip.WriteEmptyArchive(file);
        }
        zip.Open(archive);
        zip.AddPaths(args, QString(), true);
        zip.Close();
    } catch (const norvex::shared::Exception &e) {
        std::fprintf(stderr, "norvex-pack: %s : %s\n", qPrintable(e.className()), e.what());
        return 1;
    }
    if (stats) {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        std::fprintf(stderr, "wall_s=%.3f cpu_s=%.3f maxrss_kb=%ld\n", wall.elapsed() / 1000.0,
                     seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_maxrss);
    }
    return 0;
}
