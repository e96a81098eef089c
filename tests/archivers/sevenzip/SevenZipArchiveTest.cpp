#include "SevenZipTestTools.h"
#include "archivers/ExcludeTree.h"
#include "archivers/SevenZip.h"
#include "platform/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace norvex::archivers;
using namespace sevenziptest;

namespace {

void writeFile(const QString &path, const QByteArray &data, mode_t mode = 0644)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(f.write(data), data.size());
    f.close();
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode), 0);
}

QByteArray randomBytes(qsizetype n)
{
    QByteArray b(n, Qt::Uninitialized);
    QRandomGenerator rng(42);
    for (qsizetype i = 0; i < n; ++i)
        b[i] = char(rng.generate() & 0xFF);
    return b;
}

// Log-like lines: compressible, but not trivially.
QByteArray textBytes(qsizetype n)
{
    static const char *words[] = {"alpha",  "backup", "folder", "7z",   "archive",
                                  "worker", "error",  "ok",     "size", "日本語"};
    QRandomGenerator rng(7);
    QByteArray b;
    b.reserve(n + 64);
    while (b.size() < n) {
        b += QByteArray::number(rng.bounded(100000)) + ' ';
        for (int w = 0; w < 6; ++w)
            b += QByteArray(words[rng.bounded(10)]) + ' ';
        b += '\n';
    }
    b.truncate(n);
    return b;
}

mode_t modeOf(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return st.st_mode;
}

// The stored form of a full path: without the leading '/'.
QString stored(const QString &path)
{
    return path.mid(1);
}

} // namespace

class SevenZipArchiveTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    QString m_root; // canonical, so stored paths are predictable
    QString m_src;

    QString path(const QString &relative) const { return m_root + QLatin1Char('/') + relative; }

    // TSevenZip as the backup service sets it up.
    static void serviceSettings(TSevenZip &zip)
    {
        zip.setAddOptions(AddOptsEnum::AddRecurseDirs);
        zip.setLZMACompressStrength(TCompressStrength::FAST);
    }

    int build(const QString &archive, const QStringList &fileList, const QString &password = {})
    {
        TSevenZip zip;
        serviceSettings(zip);
        zip.setPassword(password);
        zip.setSZFileName(archive);
        zip.FileList() = fileList;
        return zip.BuildArchive();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(!sevenZipCli().isEmpty(), "the 7z command line (p7zip-full) is not installed");
        QVERIFY(m_tmp.isValid());
        m_root = QFileInfo(m_tmp.path()).canonicalFilePath();
        m_src = path(QStringLiteral("src"));
        writeFile(m_src + QStringLiteral("/a.txt"), "hello\n");
        writeFile(m_src + QStringLiteral("/run.sh"), "#!/bin/sh\necho run\n", 0755);
        writeFile(m_src + QStringLiteral("/secret"), "s3cr3t", 0600);
        writeFile(m_src + QStringLiteral("/readonly.txt"), "fixed", 0444);
        writeFile(m_src + QStringLiteral("/empty"), QByteArray());
        writeFile(m_src + QStringLiteral("/random.bin"), randomBytes(1500 * 1000), 0640);
        // Large enough for the engine to compress on several threads.
        writeFile(m_src + QStringLiteral("/text.log"), textBytes(20 * 1000 * 1000));
        // The engine picks its filters from the data: a ".so" that is no program gets none,
        // a program without an extension gets BCJ, as with the command line.
        writeFile(m_src + QStringLiteral("/lib.so"), textBytes(200000));
        QFile program(QStringLiteral("/usr/bin/true"));
        QVERIFY(program.open(QIODevice::ReadOnly));
        writeFile(m_src + QStringLiteral("/tool"), program.readAll(), 0755);
        writeFile(m_src + QStringLiteral("/日本語.txt"), "日本語\n");
        writeFile(m_src + QStringLiteral("/😀 smile ü.txt"), "non-BMP name\n");
        writeFile(m_src + QStringLiteral("/private/deep/note.cpp"), "int main() {}\n");
        QCOMPARE(::chmod(QFile::encodeName(m_src + QStringLiteral("/private")), 0700), 0);
        QVERIFY(QFile::link(QStringLiteral("a.txt"), m_src + QStringLiteral("/link")));
        QVERIFY(QFile::link(QStringLiteral(".."), m_src + QStringLiteral("/private/up")));
    }

    void archiveIsTheOneTheCommandLineWrites()
    {
        const QString ours = path(QStringLiteral("ours.7z"));
        QCOMPARE(build(ours, {m_src + QStringLiteral("/*.*")}), 0);
        VERIFY_7Z(run7z({QStringLiteral("t"), ours}), 0);
        // Same level, not solid, same paths, attribute words and UTF-16 names: the command
        // line, storing links as links, writes the very same bytes.
        const QString cli = path(QStringLiteral("cli.7z"));
        VERIFY_7Z(run7z({QStringLiteral("a"), QStringLiteral("-t7z"), QStringLiteral("-mx3"),
                         QStringLiteral("-ms=off"), QStringLiteral("-snl"), cli, stored(m_src)},
                        QStringLiteral("/")),
                  0);
        QFile a(ours), b(cli);
        QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        QVERIFY2(a.readAll() == b.readAll(), "archive differs from 7z a -mx3 -ms=off");
    }

    void extractionRestoresBytesModesAndLinks()
    {
        const QString archive = path(QStringLiteral("x.7z"));
        QCOMPARE(build(archive, {m_src + QStringLiteral("/*.*")}), 0);
        const QString out = path(QStringLiteral("x"));
        VERIFY_7Z(run7z({QStringLiteral("x"), QStringLiteral("-snld"), QStringLiteral("-o") + out,
                         archive}),
                  0);
        const QString restored = out + m_src;
        QDirIterator it(m_src,
                        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        int checked = 0;
        while (it.hasNext()) {
            const QString original = it.next();
            const QString copy = restored + original.mid(m_src.size());
            QCOMPARE(modeOf(copy), modeOf(original));
            const QFileInfo info(original);
            if (info.isSymLink()) {
                QCOMPARE(QFileInfo(copy).symLinkTarget(),
                         QString(info.symLinkTarget()).replace(m_src, restored));
            } else if (info.isFile()) {
                QFile f(original), g(copy);
                QVERIFY(f.open(QIODevice::ReadOnly) && g.open(QIODevice::ReadOnly));
                QVERIFY2(f.readAll() == g.readAll(), qPrintable(original));
                QCOMPARE(QFileInfo(copy).lastModified(), info.lastModified());
            }
            ++checked;
        }
        QCOMPARE(checked, 16);
    }

    // Names that are not UTF-8 never collapse into one: invalid bytes take 7-Zip's own
    // escape (the command line writes the same bytes), and extraction gives every name
    // back as it was.
    void namesThatAreNotUtf8StayApart()
    {
        const QByteArray dir = QFile::encodeName(path(QStringLiteral("names")));
        QCOMPARE(::mkdir(dir.constData(), 0755), 0);
        const QList<QByteArray> names = {"caf\xe9.txt",
                                         "caf\xc3\xa9.txt",
                                         "a\xee\xbf\xa9"
                                         "b",
                                         "a\xe9"
                                         "b",
                                         "a\xff\xfe",
                                         "a\xc3"};
        for (const QByteArray &name : names) {
            const int fd = ::open((dir + '/' + name).constData(), O_WRONLY | O_CREAT, 0644);
            QVERIFY(fd >= 0);
            QCOMPARE(::write(fd, name.constData(), std::size_t(name.size())), name.size());
            ::close(fd);
        }
        const QString ours = path(QStringLiteral("names.7z"));
        QCOMPARE(build(ours, {QFile::decodeName(dir) + QStringLiteral("/*.*")}), 0);
        const QString cli = path(QStringLiteral("names-cli.7z"));
        VERIFY_7Z(run7z({QStringLiteral("a"), QStringLiteral("-t7z"), QStringLiteral("-mx3"),
                         QStringLiteral("-ms=off"), cli, QFile::decodeName(dir.mid(1))},
                        QStringLiteral("/")),
                  0);
        QFile a(ours), b(cli);
        QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        QVERIFY2(a.readAll() == b.readAll(), "names differ from 7z a");

        const QString out = path(QStringLiteral("names-out"));
        VERIFY_7Z(run7z({QStringLiteral("x"), QStringLiteral("-o") + out, ours}), 0);
        const QByteArray restored = QFile::encodeName(out) + dir;
        for (const QByteArray &name : names) {
            QFile f;
            const int fd = ::open((restored + '/' + name).constData(), O_RDONLY);
            QVERIFY2(fd >= 0, name.toHex().constData());
            QVERIFY(f.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle));
            QCOMPARE(f.readAll(), name);
        }
    }

    void parallelBuildsDoNotDisturbEachOther()
    {
        // Jobs run their archive steps on workers of their own, each with its TSevenZip.
        const QString first = path(QStringLiteral("par1.7z"));
        const QString second = path(QStringLiteral("par2.7z"));
        int results[2] = {-1, -1};
        std::thread a([&] { results[0] = build(first, {m_src + QStringLiteral("/*.*")}); });
        std::thread b([&] { results[1] = build(second, {m_src + QStringLiteral("/*.*")}); });
        a.join();
        b.join();
        QCOMPARE(results[0], 0);
        QCOMPARE(results[1], 0);
        VERIFY_7Z(run7z({QStringLiteral("t"), first}), 0);
        QFile x(first), y(second);
        QVERIFY(x.open(QIODevice::ReadOnly) && y.open(QIODevice::ReadOnly));
        QVERIFY(x.readAll() == y.readAll());
    }

    void passwordIsNeededToReadTheData_data()
    {
        QTest::addColumn<QString>("password");
        QTest::newRow("ascii") << QStringLiteral("secret");
        // Outside the BMP the engine wants surrogate pairs; raw UTF-32 gives another key.
        QTest::newRow("non-BMP") << QStringLiteral("😀pässwörd日本");
    }

    void passwordIsNeededToReadTheData()
    {
        QFETCH(QString, password);
        const QString archive = path(QStringLiteral("pw.7z"));
        QCOMPARE(build(archive,
                       {m_src + QStringLiteral("/a.txt"), m_src + QStringLiteral("/random.bin")},
                       password),
                 0);
        VERIFY_7Z(run7z({QStringLiteral("t"), QStringLiteral("-p") + password, archive}), 0);
        VERIFY_7Z(run7z({QStringLiteral("t"), QStringLiteral("-pwrong"), archive}), 2);
        VERIFY_7Z(run7z({QStringLiteral("t"), QStringLiteral("-p"), archive}), 2);
        // Names stay readable: the service does not encrypt the headers.
        QCOMPARE(listPaths(archive), QStringList({stored(m_src) + QStringLiteral("/a.txt"),
                                                  stored(m_src) + QStringLiteral("/random.bin")}));
    }

    void itemsFollowTheListRules_data()
    {
        QTest::addColumn<QStringList>("list");
        QTest::addColumn<int>("options");
        QTest::addColumn<bool>("rootDir");
        QTest::addColumn<QStringList>("expected");
        const int recurse = int(AddOptsEnum::AddRecurseDirs);
        const QStringList all{"rules",           "rules/a.txt",      "rules/b.log",
                              "rules/noext",     "rules/sub",        "rules/sub/c.txt",
                              "rules/sub/d.log", "rules/sub/subsub", "rules/sub/subsub/e.txt"};
        QTest::newRow("folder and its tree") << QStringList{"rules/*.*"} << recurse << false << all;
        QTest::newRow("mask in every sub-folder")
            << QStringList{"rules/*.txt"} << recurse << false
            << QStringList{"rules",           "rules/a.txt",      "rules/sub",
                           "rules/sub/c.txt", "rules/sub/subsub", "rules/sub/subsub/e.txt"};
        QTest::newRow("without recursion")
            << QStringList{"rules/*.*"} << 0 << false
            << QStringList{"rules", "rules/a.txt", "rules/b.log", "rules/noext", "rules/sub"};
        QTest::newRow("single files, no ancestors, missing and folders skipped")
            << QStringList{"rules/sub/c.txt", "rules/missing.txt", "rules/sub", "rules/gone/*.*"}
            << recurse << false << QStringList{"rules/sub/c.txt"};
        QTest::newRow("a file listed twice is stored once")
            << QStringList{"rules/sub/*.*", "rules/sub/c.txt"} << recurse << false
            << QStringList{"rules/sub", "rules/sub/c.txt", "rules/sub/d.log", "rules/sub/subsub",
                           "rules/sub/subsub/e.txt"};
        QTest::newRow("doubled separators")
            << QStringList{"rules//sub//subsub//*.*"} << recurse << false
            << QStringList{"rules/sub/subsub", "rules/sub/subsub/e.txt"};
        // A listed source that is a link is followed; links inside trees are not.
        QTest::newRow("linked sources are followed")
            << QStringList{"linked-dir/*.txt", "linked-file"} << recurse << false
            << QStringList{
                   "linked-dir",           "linked-dir/a.txt",      "linked-dir/sub",
                   "linked-dir/sub/c.txt", "linked-dir/sub/subsub", "linked-dir/sub/subsub/e.txt",
                   "linked-file"};
        QTest::newRow("root folder removed") << QStringList{"rules/*.*"} << recurse << true << all;
        QTest::newRow("only file names")
            << QStringList{"rules/sub/c.txt", "rules/b.log"}
            << int(AddOptsEnum::AddStoreOnlyFilename) << false << QStringList{"c.txt", "b.log"};
    }

    void itemsFollowTheListRules()
    {
        QFETCH(QStringList, list);
        QFETCH(int, options);
        QFETCH(bool, rootDir);
        QFETCH(QStringList, expected);
        for (const char *f :
             {"a.txt", "b.log", "noext", "sub/c.txt", "sub/d.log", "sub/subsub/e.txt"})
            writeFile(path(QStringLiteral("rules/")) + QLatin1String(f), f);
        QFile::link(QStringLiteral("rules"), path(QStringLiteral("linked-dir")));
        QFile::link(QStringLiteral("rules/b.log"), path(QStringLiteral("linked-file")));

        TSevenZip zip;
        zip.setAddOptions(AddOpts::fromInt(options));
        if (rootDir)
            zip.setAddRootDir(m_root);
        const QString archive = path(QStringLiteral("rules.7z"));
        zip.setSZFileName(archive);
        for (const QString &entry : list)
            zip.FileList() << path(entry);
        QCOMPARE(zip.BuildArchive(), 0);
        VERIFY_7Z(run7z({QStringLiteral("t"), archive}), 0);
        const Run slt = run7z({QStringLiteral("l"), QStringLiteral("-slt"), archive});
        QVERIFY2(!slt.output.contains("lrwx"), "a listed link was stored as a link");

        const bool bare = options & int(AddOptsEnum::AddStoreOnlyFilename);
        for (QString &e : expected)
            if (!rootDir && !bare)
                e = stored(path(e));
        QStringList paths = listPaths(archive);
        paths.sort();
        expected.sort();
        QCOMPARE(paths, expected);
    }

    void specialFilesAreSkippedAndLinksNeverFollowed()
    {
        const QString dir = path(QStringLiteral("special"));
        writeFile(dir + QStringLiteral("/f.txt"), "file");
        QCOMPARE(::mkfifo(QFile::encodeName(dir + QStringLiteral("/fifo")), 0644), 0);
        const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(sock >= 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray sockPath = QFile::encodeName(dir + QStringLiteral("/sock"));
        QVERIFY(size_t(sockPath.size()) < sizeof addr.sun_path);
        std::memcpy(addr.sun_path, sockPath.constData(), sockPath.size());
        QCOMPARE(::bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        QVERIFY(QFile::link(QStringLiteral("."), dir + QStringLiteral("/self")));
        QVERIFY(QFile::link(QStringLiteral(".."), dir + QStringLiteral("/up")));

        // Opening the FIFO for reading would block here for good.
        const QString archive = path(QStringLiteral("special.7z"));
        QCOMPARE(build(archive, {dir + QStringLiteral("/*.*")}), 0);
        ::close(sock);
        VERIFY_7Z(run7z({QStringLiteral("t"), archive}), 0);
        const QString s = stored(dir);
        QCOMPARE(listPaths(archive),
                 QStringList({s, s + QStringLiteral("/f.txt"), s + QStringLiteral("/self"),
                              s + QStringLiteral("/up")}));
        const Run slt = run7z({QStringLiteral("l"), QStringLiteral("-slt"), archive});
        QCOMPARE(slt.output.count("Attributes = A lrwxrwxrwx"), 2);
    }

    void emptyListWritesAValidEmptyArchive_data()
    {
        QTest::addColumn<QStringList>("list");
        QTest::newRow("nothing listed") << QStringList();
        QTest::newRow("only missing sources")
            << QStringList{path(QStringLiteral("missing")), path(QStringLiteral("gone/*.*"))};
    }

    void emptyListWritesAValidEmptyArchive()
    {
        QFETCH(QStringList, list);
        const QString archive = path(QStringLiteral("empty.7z"));
        writeFile(archive, "the archive of the previous run");
        TSevenZip zip;
        serviceSettings(zip);
        zip.setSZFileName(archive);
        zip.FileList() = list;
        QCOMPARE(zip.BuildArchive(), 0);
        QCOMPARE(zip.ErrorMessage(), QStringLiteral("No files to add"));
        QCOMPARE(QFileInfo(archive).size(), 32);
        VERIFY_7Z(run7z({QStringLiteral("t"), archive}), 0);
        QCOMPARE(listPaths(archive), QStringList());
    }

    void previousArchiveInsideTheSourceIsNotStored()
    {
        const QString dir = path(QStringLiteral("inside"));
        writeFile(dir + QStringLiteral("/data.txt"), textBytes(100000));
        const QString archive = dir + QStringLiteral("/Norvex-job.7z");
        QCOMPARE(build(archive, {dir + QStringLiteral("/*.*")}), 0);
        QCOMPARE(build(archive, {dir + QStringLiteral("/*.*")}), 0);
        VERIFY_7Z(run7z({QStringLiteral("t"), archive}), 0);
        QCOMPARE(listPaths(archive),
                 QStringList({stored(dir), stored(dir) + QStringLiteral("/data.txt")}));
    }

    // The previous run's archive may still be linked into a destination folder: a new
    // build replaces the name and leaves the linked copy whole.
    void previousArchiveLinkedElsewhereIsNotTruncated()
    {
        const QString archive = path(QStringLiteral("again.7z"));
        const QString published = path(QStringLiteral("published.7z"));
        QCOMPARE(build(archive, {m_src + QStringLiteral("/random.bin")}), 0);
        QCOMPARE(::link(QFile::encodeName(archive).constData(),
                        QFile::encodeName(published).constData()),
                 0);
        QFile before(published);
        QVERIFY(before.open(QIODevice::ReadOnly));
        const QByteArray bytes = before.readAll();
        QCOMPARE(build(archive, {m_src + QStringLiteral("/a.txt")}), 0);
        QFile after(published);
        QVERIFY(after.open(QIODevice::ReadOnly));
        QCOMPARE(after.readAll(), bytes);
        VERIFY_7Z(run7z({QStringLiteral("t"), published}), 0);
        QCOMPARE(listPaths(archive), QStringList{stored(m_src + QStringLiteral("/a.txt"))});
        QCOMPARE(modeOf(archive) & 0777, mode_t(0600));
    }

    void uncreatableArchiveRaisesTheSilentAbort()
    {
        try {
            build(path(QStringLiteral("no-such-folder/a.7z")), {m_src + QStringLiteral("/a.txt")});
            QFAIL("BuildArchive did not raise");
        } catch (const EAbort &e) {
            QCOMPARE(e.className(), QStringLiteral("EAbort"));
            QCOMPARE(e.message(), QStringLiteral("Abort による中断"));
        }
    }

    void failedRunRemovesThePartialArchive_data()
    {
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<int>("hresult");
        QTest::addColumn<QString>("message");
        QTest::newRow("write fails")
            << false << int(0x88000000u | EFBIG) << norvex::platform::systemErrorText(EFBIG);
        QTest::newRow("canceled") << true << int(0x80004004u)
                                  << QStringLiteral("User canceled operation");
    }

    void failedRunRemovesThePartialArchive()
    {
        QFETCH(bool, cancel);
        QFETCH(int, hresult);
        QFETCH(QString, message);
        const QString archive = path(QStringLiteral("partial.7z"));
        TSevenZip zip;
        serviceSettings(zip);
        zip.setSZFileName(archive);
        zip.FileList() << m_src + QStringLiteral("/random.bin");
        std::atomic<int> calls{0};
        zip.setOnProgress([&](quint64, quint64) { return !cancel || ++calls < 3; });

        // A file size limit gives the engine a real write error part way through.
        rlimit old{};
        ::getrlimit(RLIMIT_FSIZE, &old);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        if (!cancel) {
            rlimit small = old;
            small.rlim_cur = 200 * 1000;
            ::setrlimit(RLIMIT_FSIZE, &small);
        }
        const int hr = zip.BuildArchive();
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);

        QCOMPARE(uint(hr), uint(hresult));
        QVERIFY2(zip.ErrorMessage().contains(message), qPrintable(zip.ErrorMessage()));
        QVERIFY(!QFile::exists(archive));
    }

    void sourceRemovedDuringTheRunIsLeftOut()
    {
        const QString dir = path(QStringLiteral("vanish"));
        writeFile(dir + QStringLiteral("/gone.txt"), textBytes(50000));
        writeFile(dir + QStringLiteral("/keep.txt"), textBytes(60000));
        const QString archive = path(QStringLiteral("vanish.7z"));
        TSevenZip zip;
        serviceSettings(zip);
        zip.setSZFileName(archive);
        zip.FileList() << dir + QStringLiteral("/*.*");
        // The table is built before the first progress report; the data is read after it.
        zip.setOnProgress([&](quint64, quint64) {
            QFile::remove(dir + QStringLiteral("/gone.txt"));
            return true;
        });
        QCOMPARE(zip.BuildArchive(), 0);
        VERIFY_7Z(run7z({QStringLiteral("t"), archive}), 0);
        QCOMPARE(listPaths(archive),
                 QStringList({stored(dir), stored(dir) + QStringLiteral("/keep.txt")}));
    }

    // What the patterns match is not stored, and an excluded folder is never entered: its
    // part deeper than PATH_MAX would fail the build if it were.
    void excludedItemsAreNeitherStoredNorEntered()
    {
        const excludetree::Removal removal{path(QStringLiteral("ex"))};
        const excludetree::Tree tree = excludetree::make(removal.root);
        const norvex::shared::ExcludePatterns patterns(tree.patterns);
        QStringList fileList;
        for (const QString &source : tree.sources)
            fileList << (QFileInfo(source).isDir() ? source + QStringLiteral("/*.*") : source);
        const QString archive = path(QStringLiteral("ex.7z"));
        TSevenZip zip;
        serviceSettings(zip);
        zip.setExcludes(&patterns);
        zip.setSZFileName(archive);
        zip.FileList() = fileList;
        QCOMPARE(zip.BuildArchive(), 0);
        VERIFY_7Z(run7z({QStringLiteral("t"), archive}), 0);
        QCOMPARE(excludetree::below(listPaths(archive), tree.root), tree.kept);
        QCOMPARE(zip.Excluded().files, tree.excludedFiles);
        QCOMPARE(zip.Excluded().folders, tree.excludedFolders);

        TSevenZip all;
        serviceSettings(all);
        all.setSZFileName(path(QStringLiteral("all.7z")));
        all.FileList() = fileList;
        QVERIFY(all.BuildArchive() < 0);
    }

    void unreadableFolderFailsTheBuild()
    {
        // Deeper than PATH_MAX: the folder cannot be opened by its path. The build must say
        // so rather than write an archive without the folder's files.
        const QString top = path(QStringLiteral("deep"));
        QVERIFY(QDir().mkpath(top));
        int fd = ::open(QFile::encodeName(top).constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(fd >= 0);
        const QByteArray name(250, 'd');
        for (int level = 0; level < 18; ++level) {
            QCOMPARE(::mkdirat(fd, name.constData(), 0755), 0);
            const int next = ::openat(fd, name.constData(), O_RDONLY | O_DIRECTORY);
            ::close(fd);
            fd = next;
            QVERIFY(fd >= 0);
        }
        const int file = ::openat(fd, "lost.txt", O_WRONLY | O_CREAT, 0644);
        QVERIFY(file >= 0);
        QCOMPARE(::write(file, "x", 1), 1);
        ::close(file);
        ::close(fd);

        const QString archive = path(QStringLiteral("deep.7z"));
        TSevenZip zip;
        serviceSettings(zip);
        zip.setSZFileName(archive);
        zip.FileList() << top + QStringLiteral("/*.*");
        const int hr = zip.BuildArchive();
        QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), top});
        QCOMPARE(uint(hr), 0x88000000u | ENAMETOOLONG);
        QVERIFY2(zip.ErrorMessage().startsWith(QStringLiteral("ファイル ") + top),
                 qPrintable(zip.ErrorMessage()));
        QVERIFY(!QFile::exists(archive));
    }
};

QTEST_GUILESS_MAIN(SevenZipArchiveTest)
#include "SevenZipArchiveTest.moc"
