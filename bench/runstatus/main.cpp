// norvex-status-bench: what the run status record costs the archive step.
//
//   norvex-status-bench [--rounds N] WORK-FOLDER SOURCE...
//
// Packs the sources into WORK-FOLDER/bench.zip the way the service's archive step does
// (ZIP, maximum level), N times (default 5) in each of three modes, taking turns: without
// status updates; with them (the sources counted for the totals on an idle-priority
// thread, the writer's hooks counting files and bytes, the record in WORK-FOLDER written as
// a run writes it: the stage at the start, progress at most once a second, the end
// durably); and with them but without the count walk. Prints the median wall and CPU time
// of each mode, their ratios to "off", the count walk alone and the number of writes.
#include "archivers/FileErrors.h"
#include "archivers/QuellZip.h"
#include "platform/MountTable.h"
#include "service/CompressionProgress.h"
#include "service/RunStatusStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

using namespace norvex;

namespace {

int usage()
{
    std::fprintf(stderr, "usage: norvex-status-bench [--rounds N] WORK-FOLDER SOURCE...\n");
    return 2;
}

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

enum class Mode { Off, On, NoTotals };

void pack(const QString &archive, const QStringList &sources, service::RunStatusStore *store,
          Mode mode)
{
    const service::JobKey job{1, QStringLiteral("bench")};
    const platform::MountTable mounts = platform::MountTable::current();
    if (mode != Mode::Off)
        store->update(
            job, [](shared::JobStatus &s) { s.running.emplace(); },
            service::RunStatusStore::Write::Now);
    {
        service::CompressionProgress progress([&](const service::CompressionFigures &f) {
            store->update(
                job,
                [&f](shared::JobStatus &s) {
                    s.running->filesDone = f.filesDone;
                    s.running->filesTotal = f.filesTotal;
                    s.running->bytesDone = f.bytesDone;
                    s.running->bytesTotal = f.bytesTotal;
                },
                service::RunStatusStore::Write::Throttled);
        });
        archivers::TQuellZip zip;
        zip.setMountTable(&mounts);
        if (mode != Mode::Off) {
            if (mode == Mode::On)
                progress.countInBackground(sources, &mounts);
            progress.attach(zip);
        }
        zip.Close();
        {
            QFile file(archive);
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
                throw archivers::EFOpenError(archive);
            zip.WriteEmptyArchive(file);
        }
        zip.Open(archive);
        zip.AddPaths(sources, QString(), true);
        zip.Close();
    }
    if (mode != Mode::Off)
        store->update(
            job, [](shared::JobStatus &s) { s.running.reset(); },
            service::RunStatusStore::Write::Durable);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    int rounds = 5;
    if (args.size() >= 2 && args.first() == QLatin1String("--rounds")) {
        args.takeFirst();
        bool ok = false;
        rounds = args.takeFirst().toInt(&ok);
        if (!ok || rounds < 1)
            return usage();
    }
    if (args.size() < 2)
        return usage();
    const QString work = QDir(args.takeFirst()).absolutePath() + QLatin1Char('/');
    QDir().mkpath(work);
    const QString archive = work + QStringLiteral("bench.zip");
    shared::SystemClock clock;
    service::RunStatusStore store(work, clock);
    store.start(QCoreApplication::applicationPid());

    // Wall and CPU seconds of each round, per mode.
    std::vector<double> wall[3];
    std::vector<double> cpu[3];
    try {
        pack(archive, args, &store, Mode::Off); // warms the page cache
        const Mode order[3] = {Mode::Off, Mode::On, Mode::NoTotals};
        for (int i = 0; i < rounds; ++i) {
            for (int k = 0; k < 3; ++k) {
                const Mode mode = order[(i + k) % 3]; // each mode in each position in turn
                QElapsedTimer t;
                const double c0 = cpuSeconds();
                t.start();
                pack(archive, args, &store, mode);
                wall[int(mode)].push_back(t.nsecsElapsed() / 1e9);
                cpu[int(mode)].push_back(cpuSeconds() - c0);
            }
        }
    } catch (const shared::Exception &e) {
        std::fprintf(stderr, "norvex-status-bench: %s : %s\n", qPrintable(e.className()), e.what());
        return 1;
    }
    QElapsedTimer t;
    t.start();
    const double c0 = cpuSeconds();
    const std::atomic<bool> stop{false};
    const platform::MountTable mounts = platform::MountTable::current();
    const service::CompressionFigures total = service::countSources(args, &mounts, stop);
    const double walk = t.nsecsElapsed() / 1e9;
    const double walkCpu = cpuSeconds() - c0;

    std::printf("files=%lld bytes=%lld rounds=%d\n", total.filesTotal, total.bytesTotal, rounds);
    const char *names[3] = {"status off", "status on", "on, no totals"};
    for (int m = 0; m < 3; ++m) {
        std::printf("%-14s median wall %.3f s, CPU %.3f s (wall:", names[m], median(wall[m]),
                    median(cpu[m]));
        for (double x : wall[m])
            std::printf(" %.3f", x);
        std::printf(")\n");
    }
    for (int m = 1; m < 3; ++m)
        std::printf("%s / off: wall %+.2f %%, CPU %+.2f %%\n", names[m],
                    (median(wall[m]) / median(wall[0]) - 1) * 100,
                    (median(cpu[m]) / median(cpu[0]) - 1) * 100);
    std::printf("count walk alone: wall %.3f s, CPU %.3f s; record writes: %d in %d runs with "
                "status\n",
                walk, walkCpu, store.writeCount(), 2 * rounds);
    return 0;
}
