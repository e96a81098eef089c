// The archive step's progress: the count walk finds what the ZIP writer stores, and the
// writer's hooks reach exactly the totals, so a finished run never shows 99 % or 101 %.
#include "service/CompressionProgress.h"
#include "archivers/ExcludeTree.h"
#include "archivers/QuellZip.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace norvex;

namespace {

bool put(const QString &path, qint64 size)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(QByteArray(size, 'x')) == size;
}

} // namespace

class CompressionProgressTest : public QObject
{
    Q_OBJECT

private slots:
    void countsWhatTheWriterStores()
    {
        QTemporaryDir dir;
        const QString root = dir.path() + QStringLiteral("/src");
        // Small, empty, large (chunked by the writer), nested, a link inside (stored as a
        // link, not followed), a FIFO (skipped), a source that is a link (followed).
        QVERIFY(put(root + QStringLiteral("/a.txt"), 10));
        QVERIFY(put(root + QStringLiteral("/empty"), 0));
        QVERIFY(put(root + QStringLiteral("/deep/er/big.bin"), 5 << 20));
        QVERIFY(put(dir.path() + QStringLiteral("/outside/o.txt"), 7));
        QVERIFY(put(dir.path() + QStringLiteral("/single.txt"), 3));
        QCOMPARE(::symlink(QFile::encodeName(dir.path() + QStringLiteral("/outside")).constData(),
                           QFile::encodeName(root + QStringLiteral("/link")).constData()),
                 0);
        QCOMPARE(::mkfifo(QFile::encodeName(root + QStringLiteral("/fifo")).constData(), 0600), 0);
        const QString linkedSource = dir.path() + QStringLiteral("/via-link");
        QCOMPARE(
            ::symlink(QFile::encodeName(dir.path() + QStringLiteral("/single.txt")).constData(),
                      QFile::encodeName(linkedSource).constData()),
            0);
        const QStringList sources{root, linkedSource, dir.path() + QStringLiteral("/missing")};

        const std::atomic<bool> stop{false};
        const service::CompressionFigures counted = service::countSources(sources, nullptr, stop);
        QCOMPARE(counted.filesTotal, qint64(5)); // a.txt, empty, big.bin, link, via-link
        QCOMPARE(counted.bytesTotal, qint64(10 + (5 << 20) + 3));

        QList<service::CompressionFigures> reports;
        service::CompressionFigures last;
        {
            service::CompressionProgress progress(
                [&](const service::CompressionFigures &f) { reports << f; }, 0);
            archivers::TQuellZip zip;
            const QString archive = dir.path() + QStringLiteral("/a.zip");
            progress.countInBackground(sources, nullptr);
            progress.attach(zip);
            zip.Close();
            {
                QFile file(archive);
                QVERIFY(file.open(QIODevice::WriteOnly));
                zip.WriteEmptyArchive(file);
            }
            zip.Open(archive);
            zip.AddPaths(sources, QString(), true);
            zip.Close();
            QTRY_VERIFY_WITH_TIMEOUT(progress.figures().filesTotal >= 0, 30000);
            last = progress.figures();
        }
        QCOMPARE(last.filesDone, counted.filesTotal);
        QCOMPARE(last.bytesDone, counted.bytesTotal);
        QCOMPARE(last.filesTotal, counted.filesTotal);
        QCOMPARE(last.bytesTotal, counted.bytesTotal);
        // Every report is a step forward, never past the end.
        QVERIFY(reports.size() >= 5);
        for (qsizetype i = 1; i < reports.size(); ++i) {
            QVERIFY(reports[i].bytesDone >= reports[i - 1].bytesDone);
            QVERIFY(reports[i].filesDone >= reports[i - 1].filesDone);
            QVERIFY(reports[i].bytesDone <= counted.bytesTotal);
        }
    }

    // The count leaves out what the writer leaves out, and does not enter an excluded
    // folder: the writer's totals and the count agree.
    void countsWithoutTheExcludedItems()
    {
        QTemporaryDir dir;
        const excludetree::Removal removal{dir.path() + QStringLiteral("/ex")};
        const excludetree::Tree tree = excludetree::make(removal.root);
        const shared::ExcludePatterns patterns(tree.patterns);
        const std::atomic<bool> stop{false};
        const service::CompressionFigures counted =
            service::countSources(tree.sources, nullptr, stop, &patterns);
        QCOMPARE(counted.filesTotal, tree.keptFiles);
        QCOMPARE(counted.bytesTotal, tree.keptFiles); // one byte each
    }

    void sizesOnlyTheFirstThousandsOfFiles()
    {
        // Past 4096 files the sizes cost more than they are worth: the count goes on.
        QTemporaryDir dir;
        for (int i = 0; i < 4100; ++i)
            QVERIFY(put(dir.path() + QStringLiteral("/d%1/%2").arg(i % 7).arg(i), 2));
        const std::atomic<bool> stop{false};
        const service::CompressionFigures f = service::countSources({dir.path()}, nullptr, stop);
        QCOMPARE(f.filesTotal, qint64(4100));
        QCOMPARE(f.bytesTotal, qint64(-1));
    }

    void aStoppedWalkEndsEarly()
    {
        QTemporaryDir dir;
        for (int i = 0; i < 50; ++i)
            QVERIFY(put(dir.path() + QStringLiteral("/d/%1").arg(i), 1));
        const std::atomic<bool> stop{true};
        QVERIFY(service::countSources({dir.path()}, nullptr, stop).filesTotal < 50);
    }
};

QTEST_GUILESS_MAIN(CompressionProgressTest)
#include "CompressionProgressTest.moc"
