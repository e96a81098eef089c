// norvex-status-bench: what the run status record costs the archive step.
//
//   norvex-status-bench [--rounds N] WORK-FOLDER SOURCE...
//
// Packs the sources into WORK-FOLDER/bench.zip the way the service's archive step does
// (ZIP, maximum level), N times (default 5) without status updates and N times with them,
// alternately: with them, the sources are counted for the totals on an idle-priority
// thread, the writer's hooks count files and bytes, and the record in WORK-FOLDER is
// written as a run writes it (the stage at the start, progress at most once a second, the
// end durably). Prints the median wall time of each, their ratio, the time of the count
// walk alone and the number of record writes.
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
#include <vector>

using namespace norvex;

namespace {

int usage()
{
    std::fprintf(stderr, "usage: norvex-status-bench [--rounds N] WORK-FOLDER SOURCE...\n");
    return 2;
}

void pack(const QString &archive, const QStringList &sources, service::RunStatusStore *store)
{
    const service::JobKey job{1, QStringLiteral("bench")};
    const platform::MountTable mounts = platform::MountTable::current();
    if (store)
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
        if (store) {
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
    if (store)
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

    std::vector<double> off;
    std::vector<double> on;
    try {
        pack(archive, args, nullptr); // warms the page cache
        for (int i = 0; i < rounds; ++i) {
            for (const bool withStatus : {i % 2 == 0, i % 2 != 0}) {
                QElapsedTimer t;
                t.start();
                pack(archive, args, withStatus ? &store : nullptr);
                (withStatus ? on : off).push_back(t.nsecsElapsed() / 1e9);
            }
        }
    } catch (const shared::Exception &e) {
        std::fprintf(stderr, "norvex-status-bench: %s : %s\n", qPrintable(e.className()), e.what());
        return 1;
    }
    QElapsedTimer t;
    t.start();
    const std::atomic<bool> stop{false};
    const platform::MountTable mounts = platform::MountTable::current();
    const service::CompressionFigures total = service::countSources(args, &mounts, stop);
    const double walk = t.nsecsElapsed() / 1e9;

    const double a = median(off);
    const double b = median(on);
    std::printf("files=%lld bytes=%lld rounds=%d\n", total.filesTotal, total.bytesTotal, rounds);
    std::printf("status off: median wall %.3f s (", a);
    for (double x : off)
        std::printf(" %.3f", x);
    std::printf(" )\nstatus on:  median wall %.3f s (", b);
    for (double x : on)
        std::printf(" %.3f", x);
    std::printf(" )\nratio on/off: %.4f (%+.2f %%)\n", b / a, (b / a - 1) * 100);
    std::printf("count walk alone: %.3f s; record writes: %d (%.1f per run with status)\n", walk,
                store.writeCount(), double(store.writeCount()) / rounds);
    return 0;
}
