// Beyond the classic ZIP limits: an entry larger than 4 GiB, more than 65,535 entries,
// offsets beyond 4 GiB; read back by unzip and Python's zipfile, with the writer's peak
// memory measured in a child process.
#include "ZipTestTools.h"
#include "archivers/QuellZip.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdio>
#include <cstring>

using namespace norvex::archivers;
using namespace ziptest;

namespace {

constexpr qint64 BigSize = (qint64(1) << 32) + (qint64(50) << 20) + 12345; // over 4 GiB
constexpr int SmallFiles = 100000;

QByteArray noise(int size, quint32 seed)
{
    QByteArray out(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        out[i] = char(seed >> 24);
    }
    return out;
}

QByteArray smallContent(int i)
{
    return "file " + QByteArray::number(i) + '\n';
}

// The writer's peak resident memory: VmHWM of this process image (a fresh one after
// exec, unlike the rusage maximum, which also counts the forked copy of the parent).
long peakOfThisProcess()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

// The writer's side, run in a fresh process (this executable with --pack): the archive
// step's sequence, then its peak memory on standard output.
int packMain(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(2);
    const auto type = TZipCompressionType(args.takeFirst().toInt());
    const QString archive = args.takeFirst();
    try {
        TQuellZip zip;
        zip.setCompressionType(type);
        zip.Close();
        QFile file(archive);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 1;
        zip.WriteEmptyArchive(file);
        file.close();
        zip.Open(archive);
        zip.AddPaths(args, QString(), true);
        zip.Close();
    } catch (...) {
        return 1;
    }
    std::printf("peak_kib=%ld\n", peakOfThisProcess());
    return 0;
}

// Packs in a child process, run under prlimit --nofile=N when openFiles is given; returns
// its peak resident memory in KiB, -1 when it failed.
long packInChild(const QString &archive, const QStringList &sources, TZipCompressionType type,
                 int openFiles = 0)
{
    QStringList arguments =
        QStringList{QStringLiteral("--pack"), QString::number(int(type)), archive} + sources;
    QString program = QCoreApplication::applicationFilePath();
    if (openFiles > 0) {
        arguments.prepend(program);
        arguments.prepend(QStringLiteral("--nofile=%1").arg(openFiles));
        program = QStringLiteral("prlimit");
    }
    QProcess child;
    child.start(program, arguments);
    if (!child.waitForStarted() || !child.waitForFinished(900000) ||
        child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        return -1;
    const QByteArray out = child.readAllStandardOutput();
    const qsizetype at = out.indexOf("peak_kib=");
    return at < 0 ? -1 : out.mid(at + 9).trimmed().toLong();
}

// AddressSanitizer's shadow memory and quarantine are no measure of the writer's.
#if defined(__SANITIZE_ADDRESS__)
constexpr long PeakLimitKiB = 0;
#else
constexpr long PeakLimitKiB = 100 * 1024;
#endif

void checkPeak(long peakKiB)
{
    qInfo("writer peak memory: %ld KiB", peakKiB);
    if (PeakLimitKiB == 0)
        qInfo("peak memory not checked in a sanitizer build");
    else
        QVERIFY2(peakKiB < PeakLimitKiB, qPrintable(QString::number(peakKiB)));
}

} // namespace

class ZipLimitsTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_big;
    QByteArray m_bigHash;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // Sparse: data around the start, across the 4 GiB line and at the end; holes
        // (zeros) elsewhere.
        m_big = m_dir.filePath(QStringLiteral("big/disk.img"));
        QVERIFY(QDir().mkpath(m_dir.filePath(QStringLiteral("big"))));
        QFile big(m_big);
        QVERIFY(big.open(QIODevice::WriteOnly));
        for (qint64 at : {qint64(0), (qint64(1) << 32) - 300000, BigSize - 200000}) {
            QVERIFY(big.seek(at));
            QVERIFY(big.write(noise(at == 0 ? 1000000 : 200000 + int(at % 7), quint32(at))) > 0);
        }
        QVERIFY(big.resize(BigSize));
        big.close();
        m_bigHash = sha256OfFile(m_big);

        const QString many = m_dir.filePath(QStringLiteral("many"));
        for (int i = 0; i < SmallFiles; ++i) {
            const QString folder = many + QStringLiteral("/d%1").arg(i % 100);
            if (i < 100)
                QVERIFY(QDir().mkpath(folder));
            QFile f(folder + QStringLiteral("/f%1").arg(i));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(smallContent(i));
        }
    }

    void largeFileAndManyEntriesAtTheServicesLevel()
    {
        const QString archive = m_dir.filePath(QStringLiteral("limits.zip"));
        const QString many = m_dir.filePath(QStringLiteral("many"));
        const long peakKiB = packInChild(archive, {m_big, many}, TZipCompressionType::ctMaximum);
        QVERIFY2(peakKiB > 0, "the writer failed");
        checkPeak(peakKiB);

        const PeerResult t = runPeer(QStringLiteral("unzip"), {QStringLiteral("-tq"), archive});
        QVERIFY2(t.exitCode == 0, qPrintable(t.output.right(2000)));
        const Listing listing = pythonListing(archive);
        QVERIFY2(listing.ok, qPrintable(listing.error));
        const int folders = ancestorEntries(m_big).size() + 1 /* many/ */ + 100;
        QCOMPARE(listing.entries.size(), 1 + folders + SmallFiles);

        const QJsonObject big = listing.entry(stored(m_big));
        QCOMPARE(qint64(big.value(QLatin1String("size")).toDouble()), BigSize);
        QCOMPARE(qint64(big.value(QLatin1String("read")).toDouble()), BigSize);
        QCOMPARE(big.value(QLatin1String("sha256")).toString().toLatin1(), m_bigHash);
        QCOMPARE(big.value(QLatin1String("extractVersion")).toInt(), 45);

        int checked = 0;
        for (const QJsonObject &e : listing.entries) {
            const QString name = e.value(QLatin1String("name")).toString();
            const qsizetype f = name.lastIndexOf(QLatin1String("/f"));
            if (!name.startsWith(stored(many)) || f < 0)
                continue;
            const int i = name.mid(f + 2).toInt();
            QCOMPARE(e.value(QLatin1String("sha256")).toString().toLatin1(),
                     sha256Hex(smallContent(i)));
            QCOMPARE(e.value(QLatin1String("extractVersion")).toInt(), 20);
            ++checked;
        }
        QCOMPARE(checked, SmallFiles);
        QFile::remove(archive);
    }

    // Source files are opened when they are read and closed right after: a folder of many
    // small files fits a low open-file limit, whatever the length of the queue.
    void manyFilesUnderALowOpenFileLimit()
    {
        const QString archive = m_dir.filePath(QStringLiteral("nofile.zip"));
        const QString many = m_dir.filePath(QStringLiteral("many"));
        const long peakKiB =
            packInChild(archive, {many}, TZipCompressionType::ctMaximum, /*openFiles=*/256);
        QVERIFY2(peakKiB > 0, "the writer failed under prlimit --nofile=256");
        const PeerResult t = runPeer(QStringLiteral("unzip"), {QStringLiteral("-tq"), archive});
        QVERIFY2(t.exitCode == 0, qPrintable(t.output.right(2000)));
        const PeerResult list = runPeer(QStringLiteral("bsdtar"), {QStringLiteral("-tf"), archive});
        QCOMPARE(list.exitCode, 0);
        const int folders = ancestorEntries(many).size() + 1 /* many/ */ + 100;
        QCOMPARE(list.output.count(QLatin1Char('\n')), folders + SmallFiles);
        QFile::remove(archive);
    }

    void offsetsBeyondFourGiB()
    {
        // Stored blocks keep the archive larger than 4 GiB, so what follows the large
        // entry, and the directory, lie beyond the 32-bit offsets.
        const QString archive = m_dir.filePath(QStringLiteral("offsets.zip"));
        const QString after = m_dir.filePath(QStringLiteral("after"));
        QVERIFY(QDir().mkpath(after));
        for (int i = 0; i < 3; ++i)
            writeFile(after + QStringLiteral("/a%1.txt").arg(i), noise(5000 * (i + 1), i));
        const long peakKiB = packInChild(archive, {m_big, after}, TZipCompressionType::ctNone);
        QVERIFY2(peakKiB > 0, "the writer failed");
        checkPeak(peakKiB);
        QVERIFY(QFileInfo(archive).size() > (qint64(1) << 32));

        const PeerResult t = runPeer(QStringLiteral("unzip"), {QStringLiteral("-tq"), archive});
        QVERIFY2(t.exitCode == 0, qPrintable(t.output.right(2000)));
        const Listing listing = pythonListing(archive);
        QVERIFY2(listing.ok, qPrintable(listing.error));
        QCOMPARE(listing.entry(stored(m_big)).value(QLatin1String("sha256")).toString().toLatin1(),
                 m_bigHash);
        for (int i = 0; i < 3; ++i) {
            const QJsonObject e = listing.entry(stored(after + QStringLiteral("/a%1.txt").arg(i)));
            QVERIFY(qint64(e.value(QLatin1String("offset")).toDouble()) > (qint64(1) << 32));
            QCOMPARE(e.value(QLatin1String("extractVersion")).toInt(), 45);
            QCOMPARE(e.value(QLatin1String("sha256")).toString().toLatin1(),
                     sha256Hex(noise(5000 * (i + 1), i)));
        }
        QFile::remove(archive);
    }
};

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--pack") == 0)
        return packMain(argc, argv);
    QCoreApplication app(argc, argv);
    ZipLimitsTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "ZipLimitsTest.moc"
