// testArchive() against archives of every writer we meet (ours, Info-ZIP, the 7-Zip
// command line) and against archives damaged the ways disks and transfers damage them.
#include "archivers/ArchiveTest.h"
#include "archivers/QuellZip.h"
#include "archivers/SevenZip.h"
#include "archivers/ZipRecords.h"

#include "archivers/zip/ZipTestTools.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

using namespace norvex::archivers;
using ziptest::runPeer;

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString &path, const QByteArray &data)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(data), data.size());
}

QByteArray noise(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    random.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

// The offset of the header (signature, where its name length and its name are) of the
// entry whose stored name ends with name.
qint64 headerOf(const QByteArray &zip, const char *signature, int lengthAt, int nameAt,
                const QByteArray &name)
{
    for (qint64 at = zip.indexOf(signature); at >= 0; at = zip.indexOf(signature, at + 1)) {
        if (zip.mid(at + nameAt, getLe16(zip.constData() + at + lengthAt)).endsWith(name))
            return at;
    }
    return -1;
}

qint64 localHeaderOf(const QByteArray &zip, const QByteArray &name)
{
    return headerOf(zip, "PK\x03\x04", 26, 30, name);
}

qint64 centralHeaderOf(const QByteArray &zip, const QByteArray &name)
{
    return headerOf(zip, "PK\x01\x02", 28, 46, name);
}

qint64 dataOf(const QByteArray &zip, const QByteArray &name)
{
    const qint64 at = localHeaderOf(zip, name);
    return at < 0
               ? -1
               : at + 30 + getLe16(zip.constData() + at + 26) + getLe16(zip.constData() + at + 28);
}

} // namespace

class ArchiveVerifyTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_tree;

    QString path(const QString &name) const { return m_dir.filePath(name); }

    // A zip of the sample tree by our writer; zip64 lowers the limits so that the ZIP64
    // records are written for a small archive.
    QString ourZip(const QString &name, bool zip64 = false)
    {
        const ZipLimits saved = zipLimits();
        if (zip64) {
            zipLimits().max32 = 3000;
            zipLimits().max16 = 4;
        }
        ziptest::packLikeService(path(name), {m_tree});
        zipLimits() = saved;
        return path(name);
    }

    // A copy of good under name, damaged.
    QString damagedCopy(const QByteArray &good, const QString &name,
                        const std::function<void(QByteArray &)> &damage)
    {
        QByteArray bytes = good;
        damage(bytes);
        writeAll(path(name), bytes);
        return path(name);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_tree = path(QStringLiteral("tree"));
        QVERIFY(QDir().mkpath(m_tree + QStringLiteral("/sub/deeper")));
        ziptest::writeFile(m_tree + QStringLiteral("/a.txt"),
                           QByteArray("hello, archive test\n").repeated(2000));
        // Incompressible: deflate stores it, so a flipped byte inflates and only the CRC
        // tells.
        ziptest::writeFile(m_tree + QStringLiteral("/sub/noise.bin"), noise(300000, 7));
        ziptest::writeFile(m_tree + QStringLiteral("/sub/empty"), QByteArray());
        ziptest::writeFile(m_tree + QStringLiteral("/sub/deeper/日本語.txt"),
                           QByteArray("データ").repeated(5000));
        // Larger than what is inflated whole: the streamed path.
        QByteArray big = noise(6 << 20, 11) + QByteArray(6 << 20, 'x');
        ziptest::writeFile(m_tree + QStringLiteral("/sub/big.bin"), big);
    }

    void passesArchivesOfEveryWriter_data()
    {
        QTest::addColumn<QString>("archive");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("password");

        QTest::newRow("our zip") << ourZip(QStringLiteral("ours.zip")) << int(ArchiveKind::Zip)
                                 << QString();
        QTest::newRow("our zip, ZIP64 records")
            << ourZip(QStringLiteral("ours64.zip"), true) << int(ArchiveKind::Zip) << QString();

        const QString empty = path(QStringLiteral("empty.zip"));
        {
            QFile file(empty);
            QVERIFY(file.open(QIODevice::WriteOnly));
            TQuellZip().WriteEmptyArchive(file);
        }
        QTest::newRow("empty zip") << empty << int(ArchiveKind::Zip) << QString();

        const QString infoZip = path(QStringLiteral("infozip.zip"));
        QCOMPARE(runPeer(QStringLiteral("zip"), {QStringLiteral("-qr"), infoZip, m_tree}).exitCode,
                 0);
        QTest::newRow("Info-ZIP zip") << infoZip << int(ArchiveKind::Zip) << QString();
        const QString infoZip64 = path(QStringLiteral("infozip64.zip"));
        QCOMPARE(runPeer(QStringLiteral("zip"),
                         {QStringLiteral("-qr"), QStringLiteral("-fz"), infoZip64, m_tree})
                     .exitCode,
                 0);
        QTest::newRow("Info-ZIP zip -fz (ZIP64)")
            << infoZip64 << int(ArchiveKind::Zip) << QString();
        const QString stored = path(QStringLiteral("stored.zip"));
        QCOMPARE(runPeer(QStringLiteral("zip"), {QStringLiteral("-qr0"), stored, m_tree}).exitCode,
                 0);
        QTest::newRow("Info-ZIP zip -0 (stored)") << stored << int(ArchiveKind::Zip) << QString();

        const QString cli7z = path(QStringLiteral("cli.7z"));
        QCOMPARE(runPeer(QStringLiteral("7z"), {QStringLiteral("a"), QStringLiteral("-bd"),
                                                QStringLiteral("-mx1"), cli7z, m_tree})
                     .exitCode,
                 0);
        QTest::newRow("7z command line") << cli7z << int(ArchiveKind::SevenZip) << QString();

        const QString ours7z = path(QStringLiteral("ours.7z"));
        const QString secret = QStringLiteral("pässwörd日本");
        {
            TSevenZip seven;
            seven.setSZFileName(ours7z);
            seven.setPassword(secret);
            seven.setAddOptions(AddOptsEnum::AddRecurseDirs | AddOptsEnum::AddEncryptFilename);
            seven.setLZMACompressStrength(TCompressStrength::FAST);
            seven.FileList() << m_tree + QStringLiteral("/*.*");
            QCOMPARE(seven.BuildArchive(), 0);
        }
        QTest::newRow("our 7z, password, encrypted names")
            << ours7z << int(ArchiveKind::SevenZip) << secret;
    }

    void passesArchivesOfEveryWriter()
    {
        QFETCH(QString, archive);
        QFETCH(int, kind);
        QFETCH(QString, password);
        const qint64 size = QFileInfo(archive).size();
        QList<qint64> reported;
        bool otherThread = false;
        const QString result = testArchive(
            archive, ArchiveKind(kind),
            [&](qint64 done, qint64 total) {
                otherThread |= QThread::currentThread() != thread();
                QCOMPARE(total, size);
                reported << done;
            },
            password);
        QVERIFY2(result.isEmpty(), qPrintable(result));
        QVERIFY(!otherThread);
        QVERIFY(!reported.isEmpty());
        QCOMPARE(reported.last(), size);
        QVERIFY(std::is_sorted(reported.begin(), reported.end()));
    }

    // Each row damages a good archive one way; the text must name what a person needs.
    void findsTheFault_data()
    {
        QTest::addColumn<QString>("archive");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QStringList>("expected"); // parts of the text

        const QByteArray good = readAll(ourZip(QStringLiteral("good.zip")));
        QVERIFY(!good.isEmpty());
        auto damaged = [&](const char *name, const std::function<void(QByteArray &)> &damage) {
            return damagedCopy(good, QString::fromUtf8(name) + QStringLiteral(".zip"), damage);
        };

        QTest::newRow("flipped data byte")
            << damaged("flipped",
                       [](QByteArray &z) {
                           const qint64 at = dataOf(z, "noise.bin");
                           QVERIFY(at > 0);
                           z[at + 150000] = char(z[at + 150000] ^ 0x20);
                       })
            << int(ArchiveKind::Zip) << QString()
            << QStringList{QStringLiteral("「"), QStringLiteral("noise.bin」"),
                           QStringLiteral("CRC-32")};
        QTest::newRow("flipped byte in the big entry") << damaged("flippedbig", [](QByteArray &z) {
            const qint64 at = dataOf(z, "big.bin");
            QVERIFY(at > 0);
            z[at + (3 << 20)] = char(z[at + (3 << 20)] ^ 0x01);
        }) << int(ArchiveKind::Zip) << QString() << QStringList{QStringLiteral("big.bin」")};
        QTest::newRow("truncated")
            << damaged("truncated", [](QByteArray &z) { z.truncate(z.size() / 2); })
            << int(ArchiveKind::Zip) << QString()
            << QStringList{QStringLiteral("終端レコードが見つかりません")};
        QTest::newRow("last byte missing")
            << damaged("short", [](QByteArray &z) { z.chop(1); }) << int(ArchiveKind::Zip)
            << QString() << QStringList{QStringLiteral("終端レコード")};
        QTest::newRow("wrong size in the directory")
            << damaged("dirsize",
                       [](QByteArray &z) {
                           const qint64 at = centralHeaderOf(z, "a.txt");
                           QVERIFY(at > 0);
                           putLe32(z.data() + at + 24, getLe32(z.constData() + at + 24) - 1);
                       })
            << int(ArchiveKind::Zip) << QString()
            << QStringList{QStringLiteral("a.txt」"), QStringLiteral("サイズ")};
        QTest::newRow("wrong size in both headers")
            << damaged(
                   "bothsizes",
                   [](QByteArray &z) {
                       for (const auto &[at, field] : {std::pair{centralHeaderOf(z, "a.txt"), 24},
                                                       std::pair{localHeaderOf(z, "a.txt"), 22}}) {
                           QVERIFY(at > 0);
                           putLe32(z.data() + at + field, getLe32(z.constData() + at + field) - 1);
                       }
                   })
            << int(ArchiveKind::Zip) << QString()
            << QStringList{QStringLiteral("a.txt」"), QStringLiteral("展開したサイズ")};
        QTest::newRow("wrong CRC in both headers")
            << damaged("bothcrc",
                       [](QByteArray &z) {
                           for (const auto &[at, field] :
                                {std::pair{centralHeaderOf(z, "日本語.txt"), 16},
                                 std::pair{localHeaderOf(z, "日本語.txt"), 14}}) {
                               QVERIFY(at > 0);
                               putLe32(z.data() + at + field,
                                       getLe32(z.constData() + at + field) ^ 1);
                           }
                       })
            << int(ArchiveKind::Zip) << QString()
            << QStringList{QStringLiteral("日本語.txt」"), QStringLiteral("CRC-32")};
        QTest::newRow("local header gone")
            << damaged("nolocal",
                       [](QByteArray &z) {
                           const qint64 at = localHeaderOf(z, "a.txt");
                           QVERIFY(at >= 0);
                           z[at] = 'X';
                       })
            << int(ArchiveKind::Zip) << QString()
            << QStringList{QStringLiteral("a.txt」"), QStringLiteral("ローカルヘッダ")};
        QTest::newRow("entry count")
            << damaged("count",
                       [](QByteArray &z) {
                           const qint64 end = z.lastIndexOf("PK\x05\x06");
                           putLe16(z.data() + end + 10, getLe16(z.constData() + end + 10) + 1);
                       })
            << int(ArchiveKind::Zip) << QString() << QStringList{QStringLiteral("エントリ数")};

        const QByteArray good64 = readAll(ourZip(QStringLiteral("good64.zip"), true));
        auto damaged64 = [&](const char *name, const std::function<void(QByteArray &)> &damage) {
            return damagedCopy(good64, QString::fromUtf8(name) + QStringLiteral(".zip"), damage);
        };
        QTest::newRow("ZIP64 end record signature") << damaged64("zip64sig", [](QByteArray &z) {
            const qint64 at = z.lastIndexOf("PK\x06\x06");
            QVERIFY(at > 0);
            z[at + 3] = 0;
        }) << int(ArchiveKind::Zip) << QString() << QStringList{QStringLiteral("ZIP64")};
        QTest::newRow("ZIP64 directory offset") << damaged64("zip64offset", [](QByteArray &z) {
            const qint64 at = z.lastIndexOf("PK\x06\x06");
            QVERIFY(at > 0);
            putLe64(z.data() + at + 48, getLe64(z.constData() + at + 48) + 7);
        }) << int(ArchiveKind::Zip) << QString() << QStringList{QStringLiteral("中央ディレクトリ")};
        QTest::newRow("ZIP64 locator gone")
            << damaged64("zip64locator",
                         [](QByteArray &z) {
                             const qint64 at = z.lastIndexOf("PK\x06\x07");
                             QVERIFY(at > 0);
                             z[at + 2] = 0;
                         })
            << int(ArchiveKind::Zip) << QString() << QStringList{QStringLiteral("ZIP64")};

        QTest::newRow("not an archive")
            << damaged("text", [](QByteArray &z) { z = QByteArray("just text\n").repeated(100); })
            << int(ArchiveKind::Zip) << QString() << QStringList{QStringLiteral("終端レコード")};
        QTest::newRow("missing file")
            << path(QStringLiteral("nothing-here.zip")) << int(ArchiveKind::Zip) << QString()
            << QStringList{QStringLiteral("開けません")};

        // 7z: the engine's verdict.
        const QString good7z = path(QStringLiteral("good.7z"));
        QCOMPARE(runPeer(QStringLiteral("7z"),
                         {QStringLiteral("a"), QStringLiteral("-bd"), QStringLiteral("-mx1"),
                          QStringLiteral("-ms=off"), good7z, m_tree + QStringLiteral("/a.txt"),
                          m_tree + QStringLiteral("/sub/noise.bin")})
                     .exitCode,
                 0);
        const QByteArray seven = readAll(good7z);
        auto damaged7z = [&](const char *name, const std::function<void(QByteArray &)> &damage) {
            return damagedCopy(seven, QString::fromUtf8(name) + QStringLiteral(".7z"), damage);
        };
        QTest::newRow("7z flipped data byte")
            << damaged7z("flipped",
                         [](QByteArray &z) {
                             // Behind the 32-byte start header the packed streams begin.
                             z[32 + 100] = char(z[32 + 100] ^ 0x10);
                         })
            << int(ArchiveKind::SevenZip) << QString() << QStringList{QStringLiteral("「")};
        QTest::newRow("7z truncated")
            << damaged7z("truncated", [](QByteArray &z) { z.truncate(z.size() - 40); })
            << int(ArchiveKind::SevenZip) << QString() << QStringList{QStringLiteral("7z")};

        const QString locked = path(QStringLiteral("locked.7z"));
        QCOMPARE(runPeer(QStringLiteral("7z"),
                         {QStringLiteral("a"), QStringLiteral("-bd"), QStringLiteral("-psecret"),
                          locked, m_tree + QStringLiteral("/a.txt")})
                     .exitCode,
                 0);
        QTest::newRow("7z wrong password")
            << locked << int(ArchiveKind::SevenZip) << QStringLiteral("wrong")
            << QStringList{QStringLiteral("a.txt」"), QStringLiteral("パスワード")};
    }

    void findsTheFault()
    {
        QFETCH(QString, archive);
        QFETCH(int, kind);
        QFETCH(QString, password);
        QFETCH(QStringList, expected);
        const QString result = testArchive(archive, ArchiveKind(kind), {}, password);
        QVERIFY2(result.startsWith(kArchiveTestFailed), qPrintable(result));
        for (const QString &part : expected)
            QVERIFY2(result.contains(part), qPrintable(result + QStringLiteral(" / ") + part));
        // A peer agrees that the archive is bad. unzip -t trusts the deflate stream's end
        // and passes a wrong size in the directory; Python's zipfile does not.
        if (!QFileInfo::exists(archive))
            return;
        if (ArchiveKind(kind) == ArchiveKind::Zip) {
            QVERIFY(ziptest::unzipTest(archive).exitCode != 0 ||
                    !ziptest::pythonListing(archive).ok);
        } else {
            const auto peer =
                runPeer(QStringLiteral("7z"),
                        {QStringLiteral("t"), QStringLiteral("-p") + password, archive});
            QVERIFY2(peer.exitCode != 0, qPrintable(peer.output));
        }
    }

    // Tests on several threads at once share nothing.
    void testsOnSeveralThreadsAtOnce()
    {
        const QString good = ourZip(QStringLiteral("parallel.zip"));
        QList<QThread *> threads;
        QStringList results(4);
        for (int i = 0; i < 4; ++i) {
            threads << QThread::create(
                [&, i] { results[i] = testArchive(good, ArchiveKind::Zip, {}); });
            threads.last()->start();
        }
        for (QThread *t : threads) {
            QVERIFY(t->wait(300000));
            delete t;
        }
        QCOMPARE(results, QStringList(4));
    }
};

QTEST_GUILESS_MAIN(ArchiveVerifyTest)
#include "ArchiveVerifyTest.moc"
