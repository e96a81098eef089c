// A file over 4 GiB through a ZIP archive (ZIP64 sizes and offsets) and back: the restored
// file has every byte, and the progress counts past 32 bits.

#include "TestFiles.h"
#include "archivers/QuellZip.h"
#include "restore/Restore.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QtTest>

using namespace norvex;

namespace {

constexpr qint64 kBlock = 1 << 20;
constexpr qint64 kBlocks = 4096 + 300; // 4 GiB + 300 MiB

// Compressible blocks that still differ: a lost, doubled or misplaced block shows.
QByteArray block(qint64 n)
{
    QByteArray b(kBlock, char('a' + n % 26));
    const QByteArray stamp = "block " + QByteArray::number(n) + '\n';
    for (qint64 at = 0; at + stamp.size() <= kBlock; at += 4096)
        b.replace(at, stamp.size(), stamp);
    return b;
}

} // namespace

class RestoreLargeTest : public QObject
{
    Q_OBJECT

private slots:
    void restoresAFileOverFourGiB()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString src = dir.filePath(QStringLiteral("src"));
        QVERIFY(QDir().mkpath(src));
        const QString big = src + QStringLiteral("/disk image.img");
        {
            QFile f(big);
            QVERIFY(f.open(QIODevice::WriteOnly));
            for (qint64 n = 0; n < kBlocks; ++n)
                QCOMPARE(f.write(block(n)), kBlock);
        }
        const QByteArray want = norvex::tests::fileHash(big);
        const QString archive = dir.filePath(QStringLiteral("Norvex-big.zip"));
        {
            archivers::TQuellZip zip;
            zip.setCompressionType(archivers::TZipCompressionType::ctFast);
            zip.Close();
            QFile file(archive);
            QVERIFY(file.open(QIODevice::WriteOnly));
            zip.WriteEmptyArchive(file);
            file.close();
            zip.Open(archive);
            zip.AddPaths({src}, QString(), true);
            zip.Close();
        }
        QVERIFY(QFile::remove(big));

        restore::RestoreArchive reader;
        QVERIFY2(reader.open(archive, restore::ArchiveKind::Zip), qPrintable(reader.errorText()));
        restore::RestoreOptions options;
        options.target = dir.filePath(QStringLiteral("target"));
        quint64 total = 0, done = 0;
        const restore::RestoreSummary s = reader.restore(options, [&](const auto &p) {
            total = p.bytesTotal;
            done = p.bytesDone;
            return true;
        });
        QVERIFY2(s.succeeded(), qPrintable(s.error));
        QCOMPARE(total, quint64(kBlocks * kBlock));
        QCOMPARE(done, total);
        const QString restored = options.target + big;
        QCOMPARE(QFileInfo(restored).size(), kBlocks * kBlock);
        QCOMPARE(norvex::tests::fileHash(restored), want);
    }
};

QTEST_GUILESS_MAIN(RestoreLargeTest)
#include "RestoreLargeTest.moc"
