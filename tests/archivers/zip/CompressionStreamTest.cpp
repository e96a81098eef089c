// The deflate stream and the CRC-32 of the ZIP writer, against zlib itself.
#include "archivers/CompressionStream.h"
#include "archivers/FileErrors.h"
#include "archivers/ZipCrc32.h"
#include "archivers/ZipDeflate.h"
#include "archivers/ZipOutput.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QtTest>
#include <zlib.h>

using namespace norvex::archivers;

namespace {

QByteArray sample(int size, bool compressible)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator rng(size);
    for (int i = 0; i < size; ++i)
        data[i] = compressible ? "abcdefgh  \n"[rng.bounded(11)] : char(rng.generate());
    return data;
}

// What zlib makes of the data in zlib format with the same parameters, fed in pieces of
// piece bytes into a 64 KiB output buffer (stored blocks of level 0 follow the buffer).
QByteArray zlibStreamed(const QByteArray &data, int level, int piece)
{
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
    QByteArray out;
    QByteArray buffer(65536, Qt::Uninitialized);
    z.next_out = reinterpret_cast<Bytef *>(buffer.data());
    z.avail_out = uInt(buffer.size());
    auto drain = [&](bool always) {
        if (always || z.avail_out == 0) {
            out.append(buffer.constData(), buffer.size() - int(z.avail_out));
            z.next_out = reinterpret_cast<Bytef *>(buffer.data());
            z.avail_out = uInt(buffer.size());
        }
    };
    for (int at = 0; at < data.size(); at += piece) {
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()) + at);
        z.avail_in = uInt(std::min(piece, int(data.size()) - at));
        while (z.avail_in > 0) {
            deflate(&z, Z_NO_FLUSH);
            drain(false);
        }
    }
    while (deflate(&z, Z_FINISH) != Z_STREAM_END)
        drain(false);
    drain(true);
    deflateEnd(&z);
    return out;
}

// The same in one call with an output buffer large enough for everything.
QByteArray zlibFormat(const QByteArray &data, int level)
{
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&z, uLong(data.size()))) + 64, Qt::Uninitialized);
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.truncate(int(z.total_out));
    deflateEnd(&z);
    return out;
}

QByteArray inflateRaw(const QByteArray &data, int expected)
{
    z_stream z{};
    inflateInit2(&z, -15);
    QByteArray out(expected + 1, Qt::Uninitialized);
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = uInt(out.size());
    const int r = inflate(&z, Z_FINISH);
    out.truncate(int(z.total_out));
    inflateEnd(&z);
    return r == Z_STREAM_END ? out : QByteArray("inflate failed");
}

} // namespace

class CompressionStreamTest : public QObject
{
    Q_OBJECT

private slots:
    // Chunks compressed on their own at the maximum level join into one deflate stream
    // that zlib inflates to the input: whatever the bits left in a chunk's last byte
    // (many lengths), stored blocks (random data), a chunk of one byte.
    void maximumLevelChunksJoinIntoOneStream_data()
    {
        QTest::addColumn<int>("kind"); // 0 text, 1 random, 2 zeros, 3 all three in turn
        QTest::newRow("text") << 0;
        QTest::newRow("random") << 1;
        QTest::newRow("zeros") << 2;
        QTest::newRow("mixed") << 3;
    }
    void maximumLevelChunksJoinIntoOneStream()
    {
        QFETCH(int, kind);
        QRandomGenerator rng(quint32(kind) + 11);
        ZipDeflateTools tools;
        QByteArray input;
        std::vector<char> stream;
        const int chunks = 48;
        for (int i = 0; i < chunks; ++i) {
            const int size = i == 0 ? 1 : int(rng.bounded(1, 40000)) + (i == 7 ? (1 << 20) : 0);
            const int what = kind == 3 ? i % 3 : kind;
            const QByteArray data = what == 2 ? QByteArray(size, '\0') : sample(size, what == 0);
            ZipChunk chunk;
            chunk.input.assign(data.begin(), data.end());
            chunk.length = data.size();
            chunk.level = TCompressionLevel::clMax;
            chunk.last = i == chunks - 1;
            deflateChunk(chunk, tools);
            QCOMPARE(chunk.crc32, quint32(crc32(0, reinterpret_cast<const Bytef *>(data.data()),
                                                uInt(data.size()))));
            stream.insert(stream.end(), chunk.output.begin(),
                          chunk.output.begin() + chunk.outputLength);
            input += data;
        }
        QByteArray inflated(input.size() + 1, '\0');
        z_stream z{};
        QCOMPARE(inflateInit2(&z, -15), Z_OK);
        z.next_in = reinterpret_cast<Bytef *>(stream.data());
        z.avail_in = uInt(stream.size());
        z.next_out = reinterpret_cast<Bytef *>(inflated.data());
        z.avail_out = uInt(inflated.size());
        const int r = inflate(&z, Z_FINISH);
        inflateEnd(&z);
        QCOMPARE(r, Z_STREAM_END);
        QCOMPARE(z.avail_in, 0u);
        inflated.truncate(qsizetype(z.total_out));
        QVERIFY(inflated == input);
    }

    void levelsMapToZlib()
    {
        QCOMPARE(zlibLevel(TCompressionLevel::clNone), 0);
        QCOMPARE(zlibLevel(TCompressionLevel::clFastest), 1);
        QCOMPARE(zlibLevel(TCompressionLevel::clDefault), -1);
        QCOMPARE(zlibLevel(TCompressionLevel::clMax), 9);
    }

    void writesZlibOutputWithoutHeaderAndTrailer_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("compressible");
        QTest::addColumn<int>("level");
        QTest::addColumn<int>("writes");
        for (int level : {0, 1, 2, 3}) {
            const char *names[] = {"none", "fastest", "default", "max"};
            for (int size : {0, 1, 5, 1000, 65536 * 3 + 7, 2000000}) {
                QTest::addRow("%s %d text", names[level], size) << size << true << level << 1;
                QTest::addRow("%s %d noise", names[level], size) << size << false << level << 1;
            }
            QTest::addRow("%s in pieces", names[level]) << 300001 << false << level << 7;
        }
    }

    void writesZlibOutputWithoutHeaderAndTrailer()
    {
        QFETCH(int, size);
        QFETCH(bool, compressible);
        QFETCH(int, level);
        QFETCH(int, writes);
        const QByteArray data = sample(size, compressible);
        QBuffer device;
        QVERIFY(device.open(QIODevice::ReadWrite));
        device.write("prefix");
        qint64 produced = 0;
        {
            ZipOutput out(device, 4096);
            TCompressionStream stream(TCompressionLevel(level), out);
            const int piece = size / writes + 1;
            for (int at = 0; at < size; at += piece)
                stream.Write(data.constData() + at, std::min(piece, size - at));
            QCOMPARE(stream.Seek(0, TSeekOrigin::soCurrent), qint64(size));
            stream.finish();
            produced = stream.produced();
            out.flush();
        }
        const int zlevel = zlibLevel(TCompressionLevel(level));
        const QByteArray expected = zlibStreamed(data, zlevel, size / writes + 1);
        // Above level 0 the output does not depend on how the input was split.
        if (zlevel != 0)
            QVERIFY(expected == zlibFormat(data, zlevel));
        const QByteArray raw = device.data().mid(6);
        QCOMPARE(raw.size(), expected.size() - 6);
        QCOMPARE(produced, qint64(raw.size()));
        QVERIFY(raw == expected.mid(2, expected.size() - 6));
        QVERIFY(inflateRaw(raw, size) == data);
    }

    void reusedDeflaterGivesTheSameBytes()
    {
        ZlibDeflater shared;
        for (int round = 0; round < 3; ++round) {
            const QByteArray data = sample(50000 + round * 777, round != 1);
            QBuffer device;
            QVERIFY(device.open(QIODevice::ReadWrite));
            {
                ZipOutput out(device);
                TCompressionStream stream(TCompressionLevel::clMax, out, &shared);
                stream.Write(data.constData(), data.size());
                stream.finish();
                out.flush();
            }
            const QByteArray expected = zlibFormat(data, 9);
            QVERIFY(device.data() == expected.mid(2, expected.size() - 6));
        }
    }

    void readingAndSeekingAreRefused()
    {
        QBuffer device;
        QVERIFY(device.open(QIODevice::ReadWrite));
        ZipOutput out(device);
        TCompressionStream stream(TCompressionLevel::clDefault, out);
        stream.Write("abc", 3);
        char c;
        try {
            stream.Read(&c, 1);
            QFAIL("Read did not raise");
        } catch (const ECompressionError &e) {
            QCOMPARE(e.message(), QStringLiteral("不正なストリームオペレーション"));
            QCOMPARE(e.className(), QStringLiteral("ECompressionError"));
        }
        QVERIFY_THROWS_EXCEPTION(ECompressionError, stream.Seek(1, TSeekOrigin::soCurrent));
        QVERIFY_THROWS_EXCEPTION(ECompressionError, stream.Seek(0, TSeekOrigin::soBeginning));
        QCOMPARE(stream.Seek(0, TSeekOrigin::soCurrent), qint64(3));
    }

    void progressReportsInputConsumed()
    {
        const QByteArray data = sample(3000000, false);
        QBuffer device;
        QVERIFY(device.open(QIODevice::ReadWrite));
        ZipOutput out(device);
        TCompressionStream stream(TCompressionLevel::clFastest, out);
        QList<qint64> seen;
        stream.OnProgress = [&](qint64 consumed) { seen.append(consumed); };
        stream.Write(data.constData(), data.size());
        stream.finish();
        QVERIFY(seen.size() >= 40); // one per full 64 KiB output buffer
        for (int i = 1; i < seen.size(); ++i)
            QVERIFY(seen[i] >= seen[i - 1]);
        QVERIFY(seen.last() <= data.size());
    }

    void crcMatchesTheStandardCrc32()
    {
        const QByteArray data = sample(100000, false);
        for (int offset : {0, 1, 3, 7})
            for (int length : {0, 1, 7, 8, 9, 63, 4096, 99990}) {
                const auto *p = reinterpret_cast<const Bytef *>(data.constData() + offset);
                QCOMPARE(ZipCrc32::of(p, std::size_t(length)), quint32(crc32(0, p, uInt(length))));
            }
        // Fed in pieces, the same value.
        ZipCrc32 crc;
        for (int at = 0; at < data.size(); at += 777)
            crc.update(data.constData() + at, std::size_t(std::min(777, int(data.size()) - at)));
        QCOMPARE(crc.value(), quint32(crc32(0, reinterpret_cast<const Bytef *>(data.constData()),
                                            uInt(data.size()))));
        QCOMPARE(ZipCrc32::of("123456789", 9), 0xCBF43926u);
    }
};

QTEST_GUILESS_MAIN(CompressionStreamTest)
#include "CompressionStreamTest.moc"
