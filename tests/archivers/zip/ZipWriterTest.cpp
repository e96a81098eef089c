// The ZIP writer as the archive step drives it, checked by unzip, zipinfo and Python's
// zipfile.
#include "ZipTestTools.h"
#include "archivers/ExcludeTree.h"
#include "archivers/FileErrors.h"
#include "archivers/QuellZip.h"
#include "fakes/FullDiskDevice.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QMap>
#include <QTemporaryDir>
#include <QtTest>
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

using namespace norvex::archivers;
using namespace ziptest;

namespace {

// Root reads every file whatever its mode. While alive, this thread lacks the
// capabilities that allow that, so a mode 000 file cannot be opened, as for any user.
class WithoutFileOverride
{
public:
    WithoutFileOverride()
    {
        if (::syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        m_active = ::syscall(SYS_capset, &m_header, reduced) == 0;
    }
    ~WithoutFileOverride()
    {
        if (m_active)
            ::syscall(SYS_capset, &m_header, m_saved);
    }

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
    bool m_active = false;
};

// The items of a folder in the order the file system lists them.
QStringList listed(const QString &folder)
{
    QStringList out;
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    while (const dirent *e = dir ? ::readdir(dir) : nullptr) {
        const QString name = QFile::decodeName(e->d_name);
        if (name != QLatin1String(".") && name != QLatin1String(".."))
            out.append(name);
    }
    if (dir)
        ::closedir(dir);
    return out;
}

// Folder entry, then its items depth first, in listing order.
void expectTree(const QString &folder, QStringList &out)
{
    out.append(stored(folder) + QLatin1Char('/'));
    for (const QString &name : listed(folder)) {
        const QString path = folder + QLatin1Char('/') + name;
        struct stat st;
        QVERIFY(::lstat(QFile::encodeName(path).constData(), &st) == 0);
        if (S_ISDIR(st.st_mode))
            expectTree(path, out);
        else if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))
            out.append(stored(path));
    }
}

quint32 attributesOf(const QString &path)
{
    struct stat st;
    ::lstat(QFile::encodeName(path).constData(), &st);
    quint32 a = quint32(st.st_mode & 0xFFFF) << 16;
    if (S_ISDIR(st.st_mode))
        a |= 0x10;
    if (!S_ISLNK(st.st_mode) && (st.st_mode & 0222) == 0)
        a |= 0x01;
    return a;
}

QString dosTimeOf(const QString &path)
{
    QDateTime t = QFileInfo(path).lastModified();
    t = t.addSecs(-(t.time().second() % 2));
    return t.toString(QStringLiteral("yyyy-MM-ddThh:mm:ss"));
}

int number(const QJsonObject &e, const char *key)
{
    return e.value(QLatin1String(key)).toInt(-1);
}

} // namespace

class ZipWriterTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString path(const QString &relative) const { return m_dir.filePath(relative); }

    void mkdirs(const QString &relative) { QVERIFY(QDir().mkpath(path(relative))); }

    Listing checkedListing(const QString &archive)
    {
        const PeerResult t = unzipTest(archive);
        [&] { QVERIFY2(t.exitCode == 0, qPrintable(t.output)); }();
        Listing listing = pythonListing(archive);
        [&] { QVERIFY2(listing.ok, qPrintable(listing.error)); }();
        return listing;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void folderSourceStoresItselfThenItsTreeDepthFirst()
    {
        mkdirs(QStringLiteral("t1/Data/sub/deeper"));
        mkdirs(QStringLiteral("t1/Data/empty"));
        writeFile(path(QStringLiteral("t1/Data/a.txt")), QByteArray(5000, 'a'));
        writeFile(path(QStringLiteral("t1/Data/sub/b.txt")), "bee\n");
        writeFile(path(QStringLiteral("t1/Data/README")), "no extension\n");
        writeFile(path(QStringLiteral("t1/Data/sub/deeper/c.bin")), QByteArray(70000, '\x01'));
        QFile::setPermissions(path(QStringLiteral("t1/Data/README")),
                              QFileDevice::ReadOwner | QFileDevice::ReadGroup);
        const QString data = path(QStringLiteral("t1/Data"));
        const QString archive = path(QStringLiteral("t1.zip"));
        packLikeService(archive, {data});

        QStringList expected = ancestorEntries(data);
        expectTree(data, expected);
        const Listing listing = checkedListing(archive);
        QCOMPARE(listing.names(), expected);

        for (const QJsonObject &e : listing.entries) {
            const QString name = e.value(QLatin1String("name")).toString();
            const QString source = QLatin1Char('/') + name.chopped(name.endsWith('/') ? 1 : 0);
            QCOMPARE(number(e, "createSystem"), 3);
            QCOMPARE(number(e, "createVersion"), 20);
            QCOMPARE(number(e, "extractVersion"), 20);
            QCOMPARE(number(e, "flags"), 0);
            if (!source.startsWith(data))
                continue; // ancestors: see the single-file case
            QCOMPARE(quint32(e.value(QLatin1String("externalAttributes")).toDouble()),
                     attributesOf(source));
            QCOMPARE(e.value(QLatin1String("dateTime")).toString(), dosTimeOf(source));
            if (!name.endsWith('/')) {
                QCOMPARE(e.value(QLatin1String("sha256")).toString().toLatin1(),
                         sha256OfFile(source));
                QCOMPARE(number(e, "method"), 8);
            } else {
                QCOMPARE(number(e, "method"), 0);
            }
        }
        // Modes as extraction restores them.
        const QStringList info = zipinfoEntries(archive);
        auto line = [&](const QString &suffix) {
            for (const QString &l : info)
                if (l.endsWith(QLatin1Char(' ') + stored(data) + suffix))
                    return l;
            return QString();
        };
        QVERIFY(line(QStringLiteral("/README")).startsWith(QLatin1String("-r--r-----")));
        QVERIFY(line(QStringLiteral("/a.txt")).startsWith(QLatin1String("-rw-r--r--")));
        QVERIFY(line(QStringLiteral("/sub/")).startsWith(QLatin1String("drwx")));
        QVERIFY(line(QStringLiteral("/README")).contains(QLatin1String(" unx ")));
        // Read-only shows in the DOS bits too.
        const QJsonObject readme = listing.entry(stored(data) + QStringLiteral("/README"));
        QCOMPARE(quint32(readme.value(QLatin1String("externalAttributes")).toDouble()) & 0xFF,
                 0x01u);
    }

    void emptyFileIsStoredWithCrcZero()
    {
        mkdirs(QStringLiteral("t2"));
        writeFile(path(QStringLiteral("t2/empty")), QByteArray());
        const QString archive = path(QStringLiteral("t2.zip"));
        packLikeService(archive, {path(QStringLiteral("t2/empty"))});
        const QJsonObject e =
            checkedListing(archive).entry(stored(path(QStringLiteral("t2/empty"))));
        QCOMPARE(number(e, "method"), 0);
        QCOMPARE(number(e, "crc"), 0);
        QCOMPARE(number(e, "size"), 0);
        QCOMPARE(number(e, "compressedSize"), 0);
    }

    // Ancestor folder entries carry the real folders' modes: a restore must not widen a
    // private folder. The time is the time of adding.
    void ancestorFolderEntriesCarryTheRealFoldersModes()
    {
        mkdirs(QStringLiteral("t3/Users/me/docs"));
        const QString me = path(QStringLiteral("t3/Users/me"));
        QVERIFY(::chmod(QFile::encodeName(me).constData(), 0700) == 0);
        QVERIFY(::chmod(QFile::encodeName(path(QStringLiteral("t3/Users"))).constData(), 0751) ==
                0);
        const QString file = path(QStringLiteral("t3/Users/me/x.txt"));
        writeFile(file, "x\n");
        const QString docs = path(QStringLiteral("t3/Users/me/docs"));
        QVERIFY(::chmod(QFile::encodeName(docs).constData(), 0750) == 0);
        for (const QStringList &sources : {QStringList{file}, QStringList{docs}}) {
            const QString archive = path(QStringLiteral("t3.zip"));
            const QDateTime before = QDateTime::currentDateTime().addSecs(-2);
            packLikeService(archive, sources);
            const QDateTime after = QDateTime::currentDateTime().addSecs(2);
            const Listing listing = checkedListing(archive);
            const QString source = sources.first();
            QCOMPARE(listing.names().mid(0, ancestorEntries(source).size()),
                     ancestorEntries(source));
            for (const QString &folder : ancestorEntries(source)) {
                const QJsonObject e = listing.entry(folder);
                QCOMPARE(quint32(e.value(QLatin1String("externalAttributes")).toDouble()),
                         attributesOf(QLatin1Char('/') + folder.chopped(1)));
                const QDateTime t = QDateTime::fromString(
                    e.value(QLatin1String("dateTime")).toString(), Qt::ISODate);
                QVERIFY2(t >= before.addSecs(-2) && t <= after, qPrintable(t.toString()));
            }
            // Restored by unzip as it was.
            const QString restored = path(QStringLiteral("t3-restored"));
            QDir(restored).removeRecursively();
            const PeerResult x = runPeer(QStringLiteral("unzip"), {QStringLiteral("-q"), archive,
                                                                   QStringLiteral("-d"), restored});
            QVERIFY2(x.exitCode == 0, qPrintable(x.output));
            const QString restoredMe = restored + QLatin1Char('/') + stored(me);
            QCOMPARE(attributesOf(restoredMe), attributesOf(me));
            QCOMPARE(attributesOf(restoredMe) >> 16, quint32(S_IFDIR | 0700));
        }
        bool shown = false;
        for (const QString &line : zipinfoEntries(path(QStringLiteral("t3.zip"))))
            shown |= line.startsWith(QLatin1String("drwx------")) &&
                     line.endsWith(QLatin1Char(' ') + stored(me) + QLatin1Char('/'));
        QVERIFY(shown);
    }

    void laterSourceReplacesTheEntryOfTheSameName()
    {
        mkdirs(QStringLiteral("t4/dir"));
        const QString x = path(QStringLiteral("t4/dir/x.txt"));
        const QString y = path(QStringLiteral("t4/dir/y.txt"));
        writeFile(x, QByteArray(3000, 'o'));
        writeFile(y, "why\n");
        const QString archive = path(QStringLiteral("t4.zip"));
        {
            // One call: the folder, then a file in it again.
            packLikeService(archive, {path(QStringLiteral("t4/dir")), x});
            const Listing listing = checkedListing(archive);
            QCOMPARE(listing.names().count(stored(x)), 1);
            QCOMPARE(listing.names().last(), stored(x));
        }
        {
            // Two calls with a change between; then a reopened archive gets it again.
            TQuellZip zip;
            packLikeService(archive, {}, &zip);
            zip.Open(archive);
            zip.AddPaths({x, y}, QString(), true);
            writeFile(x, "new content, and longer than before, " + QByteArray(5000, 'n'));
            zip.AddPaths({x}, QString(), true);
            zip.Close();
            Listing listing = checkedListing(archive);
            QCOMPARE(listing.names(), ancestorEntries(x) << stored(y) << stored(x));
            QCOMPARE(listing.entry(stored(x)).value(QLatin1String("sha256")).toString().toLatin1(),
                     sha256OfFile(x));

            writeFile(x, "third");
            zip.Open(archive);
            QCOMPARE(zip.Entries().Count(), listing.entries.size());
            zip.AddPaths({x}, QString(), true);
            zip.Close();
            listing = checkedListing(archive);
            QCOMPARE(listing.names(), ancestorEntries(x) << stored(y) << stored(x));
            QCOMPARE(listing.entry(stored(x)).value(QLatin1String("sha256")).toString().toLatin1(),
                     sha256Hex("third"));
            // No gap is left where the old records were.
            qint64 end = 0;
            for (const QJsonObject &e : listing.entries) {
                QCOMPARE(qint64(e.value(QLatin1String("offset")).toDouble()), end);
                end += 30 + e.value(QLatin1String("name")).toString().toUtf8().size() +
                       qint64(e.value(QLatin1String("compressedSize")).toDouble());
            }
        }
    }

    void missingSourcesLeaveNoTrace()
    {
        mkdirs(QStringLiteral("t5"));
        const QString file = path(QStringLiteral("t5/here.txt"));
        writeFile(file, "here");
        const QString archive = path(QStringLiteral("t5.zip"));
        packLikeService(archive, {path(QStringLiteral("t5/gone")), file,
                                  path(QStringLiteral("t5/gone-folder/"))});
        QCOMPARE(checkedListing(archive).names(), ancestorEntries(file) << stored(file));

        // Nothing at all: still a valid, empty archive.
        packLikeService(archive, {path(QStringLiteral("t5/gone"))});
        QFile f(archive);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0'));
        const Listing listing = pythonListing(archive);
        QVERIFY2(listing.ok, qPrintable(listing.error));
        QCOMPARE(listing.entries.size(), 0);
    }

    void emptyArchiveReopensAndIsWrittenOverFromOffsetZero()
    {
        TQuellZip zip;
        QBuffer buffer;
        QVERIFY(buffer.open(QIODevice::ReadWrite));
        zip.WriteEmptyArchive(buffer);
        QCOMPARE(buffer.data(), QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0'));
        QVERIFY(!zip.IsZipFile()); // writing into a stream does not open it

        mkdirs(QStringLiteral("t6"));
        const QString file = path(QStringLiteral("t6/f.txt"));
        writeFile(file, "content");
        buffer.seek(0);
        zip.Open(buffer);
        QVERIFY(zip.IsZipFile());
        QVERIFY(zip.Active());
        QCOMPARE(zip.Entries().Count(), 0);
        zip.AddPaths({file}, QString(), true);
        zip.Close();
        QVERIFY(buffer.isOpen()); // handed in: not freed by Close
        QVERIFY(buffer.data().startsWith("PK\x03\x04"));
        const QString archive = path(QStringLiteral("t6.zip"));
        writeFile(archive, buffer.data());
        const Listing listing = checkedListing(archive);
        QVERIFY(!listing.entries.isEmpty());
        QCOMPARE(number(listing.entries.first(), "offset"), 0);
        QCOMPARE(listing.names().last(), stored(file));
    }

    void utf8FlagIsSetExactlyForNonAsciiNames()
    {
        mkdirs(QStringLiteral("t7/日本語"));
        writeFile(path(QStringLiteral("t7/日本語/データ.txt")), "日本語のテキスト\n");
        writeFile(path(QStringLiteral("t7/plain.txt")), "plain\n");
        // A Latin-1 name made on another system: stored as its bytes, without the flag
        // that would make Python's zipfile refuse the whole archive.
        const QByteArray latin1 = QFile::encodeName(path(QStringLiteral("t7/"))) + "caf\xe9.latin1";
        const int fd = ::open(latin1.constData(), O_WRONLY | O_CREAT, 0644);
        QVERIFY(fd >= 0);
        ::close(fd);
        const QString archive = path(QStringLiteral("t7.zip"));
        packLikeService(archive, {path(QStringLiteral("t7"))});
        const Listing listing = checkedListing(archive);
        const QString name = stored(path(QStringLiteral("t7/日本語/データ.txt")));
        QVERIFY2(listing.names().contains(name), qPrintable(listing.names().join(' ')));
        for (const QJsonObject &e : listing.entries) {
            const QString entryName = e.value(QLatin1String("name")).toString();
            const bool ascii = entryName.toUtf8() == entryName.toLatin1();
            const bool utf8 = !ascii && !entryName.endsWith(QLatin1String(".latin1"));
            QCOMPARE(number(e, "flags"), utf8 ? 0x800 : 0);
        }
        QCOMPARE(listing.names().filter(QLatin1String(".latin1")).size(), 1);
        const PeerResult bsdtar =
            runPeer(QStringLiteral("bsdtar"), {QStringLiteral("-tf"), archive});
        QVERIFY2(bsdtar.exitCode == 0, qPrintable(bsdtar.output));
        QCOMPARE(bsdtar.output.count(QLatin1Char('\n')), listing.entries.size());
        QCOMPARE(listing.entry(name).value(QLatin1String("sha256")).toString().toLatin1(),
                 sha256Hex("日本語のテキスト\n"));
        bool shown = false;
        for (const QString &line : zipinfoEntries(archive))
            shown |= line.endsWith(name);
        QVERIFY(shown);
    }

    void fileThatCannotBeOpenedRaisesAndKeepsTheArchiveValid()
    {
        mkdirs(QStringLiteral("t8"));
        const QString good = path(QStringLiteral("t8/good.txt"));
        const QString locked = path(QStringLiteral("t8/locked.txt"));
        const QString later = path(QStringLiteral("t8/later.txt"));
        writeFile(good, "good");
        writeFile(locked, "secret");
        writeFile(later, "later");
        QVERIFY(QFile::setPermissions(locked, {}));
        const QString archive = path(QStringLiteral("t8.zip"));
        TQuellZip zip;
        {
            QFile f(archive);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            zip.WriteEmptyArchive(f);
        }
        zip.Open(archive);
        {
            WithoutFileOverride asAnyUser;
            QFile probe(locked);
            QVERIFY2(!probe.open(QIODevice::ReadOnly), "a mode 000 file must not open");
            bool raised = false;
            try {
                zip.AddPaths({good, locked, later}, QString(), true);
            } catch (const EFOpenError &e) {
                raised = true;
                QCOMPARE(e.className(), QStringLiteral("EFOpenError"));
                QCOMPARE(e.message(), QStringLiteral("ファイル %1 は開けません").arg(locked));
            }
            QVERIFY(raised);
        }
        zip.Close();
        QCOMPARE(checkedListing(archive).names(), ancestorEntries(good) << stored(good));

        // A folder that cannot be read is not taken for an empty one.
        const QString closed = path(QStringLiteral("t8/closed"));
        mkdirs(QStringLiteral("t8/closed"));
        writeFile(closed + QStringLiteral("/inside.txt"), "inside");
        QVERIFY(QFile::setPermissions(closed, {}));
        QVERIFY(QFile::setPermissions(locked, QFileDevice::ReadOwner));
        zip.Open(archive);
        {
            WithoutFileOverride asAnyUser;
            try {
                zip.AddPaths({later, closed}, QString(), true);
                QFAIL("no exception");
            } catch (const EFOpenError &e) {
                QCOMPARE(e.message(), QStringLiteral("ファイル %1 は開けません").arg(closed));
            }
        }
        zip.Close();
        QVERIFY(QFile::setPermissions(closed, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ExeOwner));
        QCOMPARE(checkedListing(archive).names(), ancestorEntries(good)
                                                      << stored(good) << stored(later)
                                                      << stored(closed) + QLatin1Char('/'));
    }

    void linksInTreesAreStoredAsLinksAndNeverFollowed()
    {
        mkdirs(QStringLiteral("t9/tree/inner"));
        writeFile(path(QStringLiteral("t9/tree/file.txt")), "file\n");
        QVERIFY(::symlink("..", QFile::encodeName(path(QStringLiteral("t9/tree/inner/loop")))) ==
                0);
        QVERIFY(::symlink("../file.txt",
                          QFile::encodeName(path(QStringLiteral("t9/tree/inner/to-file")))) == 0);
        QVERIFY(::symlink("nowhere", QFile::encodeName(path(QStringLiteral("t9/tree/dangling")))) ==
                0);
        QVERIFY(::symlink("tree", QFile::encodeName(path(QStringLiteral("t9/via-link")))) == 0);
        const QString archive = path(QStringLiteral("t9.zip"));
        // The second source is itself a link to the folder: followed, stored under its name.
        packLikeService(archive,
                        {path(QStringLiteral("t9/tree")), path(QStringLiteral("t9/via-link"))});
        const Listing listing = checkedListing(archive);
        const QString loop = stored(path(QStringLiteral("t9/tree/inner/loop")));
        QCOMPARE(listing.entry(loop).value(QLatin1String("sha256")).toString().toLatin1(),
                 sha256Hex(".."));
        QCOMPARE(
            quint32(listing.entry(loop).value(QLatin1String("externalAttributes")).toDouble()) >>
                16,
            quint32(S_IFLNK | 0777));
        QCOMPARE(listing.entry(stored(path(QStringLiteral("t9/tree/dangling"))))
                     .value(QLatin1String("sha256"))
                     .toString()
                     .toLatin1(),
                 sha256Hex("nowhere"));
        QVERIFY(
            listing.names().contains(stored(path(QStringLiteral("t9/via-link/inner/to-file")))));
        QVERIFY(listing.names().contains(stored(path(QStringLiteral("t9/via-link/file.txt")))));
        for (const QString &name : listing.names())
            QVERIFY2(!name.contains(QLatin1String("loop/")), qPrintable(name));
        bool linkShown = false;
        for (const QString &line : zipinfoEntries(archive))
            linkShown |= line.startsWith(QLatin1String("lrwxrwxrwx")) && line.endsWith(loop);
        QVERIFY(linkShown);
    }

    void fifosSocketsAndTheArchiveItselfAreSkipped()
    {
        mkdirs(QStringLiteral("t10"));
        writeFile(path(QStringLiteral("t10/file.txt")), "file");
        const QString fifo = path(QStringLiteral("t10/fifo"));
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0644) == 0);
        const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray socketPath = QFile::encodeName(path(QStringLiteral("t10/socket")));
        QVERIFY(socketPath.size() < qsizetype(sizeof address.sun_path));
        std::memcpy(address.sun_path, socketPath.constData(), socketPath.size());
        QVERIFY(::bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        // The archive is written inside the tree it packs.
        const QString archive = path(QStringLiteral("t10/self.zip"));
        packLikeService(archive, {path(QStringLiteral("t10")), fifo});
        ::close(s);
        const Listing listing = checkedListing(archive);
        QCOMPARE(listing.names(), ancestorEntries(path(QStringLiteral("t10/file.txt")))
                                      << stored(path(QStringLiteral("t10/file.txt"))));
    }

    void openReadsAnotherWritersArchiveAndKeepsItsComment()
    {
        mkdirs(QStringLiteral("t11/old"));
        writeFile(path(QStringLiteral("t11/old/one.txt")), QByteArray(4000, '1'));
        writeFile(path(QStringLiteral("t11/old/two.txt")), "two");
        const QString archive = path(QStringLiteral("t11.zip"));
        QFile::remove(archive);
        // Info-ZIP's archive, with extra fields and an archive comment.
        PeerResult r =
            runPeer(QStringLiteral("sh"),
                    {QStringLiteral("-c"),
                     QStringLiteral("cd '%1' && zip -q -r '%2' old && echo 'a comment' | "
                                    "zip -q -z '%2'")
                         .arg(path(QStringLiteral("t11")), archive)});
        QVERIFY2(r.exitCode == 0, qPrintable(r.output));
        const QStringList original = checkedListing(archive).names();
        QCOMPARE(original.size(), 3);
        TQuellZip zip;
        zip.Open(archive);
        QVERIFY(zip.IsZipFile());
        QVERIFY(!zip.HasBadEntries());
        QCOMPARE(zip.FileNames(), original);
        const QString added = path(QStringLiteral("t11/added.txt"));
        writeFile(added, "added");
        zip.AddPaths({added}, QString(), true);
        zip.Close();
        const Listing listing = checkedListing(archive);
        QCOMPARE(listing.names().mid(0, 3), original);
        QCOMPARE(listing.names().last(), stored(added));
        QCOMPARE(listing.entry(QStringLiteral("old/one.txt"))
                     .value(QLatin1String("sha256"))
                     .toString()
                     .toLatin1(),
                 sha256Hex(QByteArray(4000, '1')));
        r = runPeer(QStringLiteral("unzip"), {QStringLiteral("-z"), archive});
        QVERIFY2(r.output.contains(QLatin1String("a comment")), qPrintable(r.output));
    }

    void openWithoutEndRecordRecoversTheLocalRecords()
    {
        mkdirs(QStringLiteral("t12"));
        const QString a = path(QStringLiteral("t12/a.txt"));
        const QString b = path(QStringLiteral("t12/b.txt"));
        writeFile(a, QByteArray(2000, 'a'));
        writeFile(b, "bbb");
        const QString archive = path(QStringLiteral("t12.zip"));
        packLikeService(archive, {a});
        // Cut away the central directory and end record.
        const Listing whole = checkedListing(archive);
        const QJsonObject last = whole.entries.last();
        const qint64 end = qint64(last.value(QLatin1String("offset")).toDouble()) + 30 +
                           last.value(QLatin1String("name")).toString().toUtf8().size() +
                           qint64(last.value(QLatin1String("compressedSize")).toDouble());
        QVERIFY(QFile::resize(archive, end));
        TQuellZip zip;
        zip.Open(archive);
        QVERIFY(zip.IsZipFile());
        QVERIFY(zip.HasBadEntries());
        QCOMPARE(zip.Entries().Count(), whole.entries.size());
        zip.AddPaths({b}, QString(), true);
        zip.Close();
        QCOMPARE(checkedListing(archive).names(), whole.names() << stored(b));
    }

    void openRaisesForAMissingArchive()
    {
        TQuellZip zip;
        const QString missing = path(QStringLiteral("no-such.zip"));
        try {
            zip.Open(missing);
            QFAIL("no exception");
        } catch (const norvex::shared::Exception &e) {
            QCOMPARE(e.message(), QStringLiteral("File \"%1\" not found!").arg(missing));
        }
        QVERIFY(!zip.IsZipFile());
    }

    void zip64RecordsAppearExactlyWhenValuesDoNotFit_data()
    {
        QTest::addColumn<qint64>("memoryJob");
        QTest::newRow("deflated ahead") << qint64(4 << 20);
        // Streamed: the local header is patched, or the entry written again when its data
        // turns out not to fit.
        QTest::newRow("streamed") << qint64(-1);
    }

    void zip64RecordsAppearExactlyWhenValuesDoNotFit()
    {
        QFETCH(qint64, memoryJob);
        mkdirs(QStringLiteral("t13/big"));
        QList<QByteArray> contents;
        for (int i = 0; i < 6; ++i) {
            QByteArray content;
            for (int k = 0; k < 400 * (i + 1); ++k)
                content += QByteArray::number(k * 7919 % 1000) + ' ';
            contents.append(content);
            writeFile(path(QStringLiteral("t13/big/f%1.txt").arg(i)), content);
        }
        // Just under the lowered limit, but its deflate data (stored blocks) is not.
        QByteArray noise;
        quint32 x = 99;
        for (int i = 0; i < 2998; ++i) {
            x = x * 1103515245u + 12345u;
            noise += char(x >> 24);
        }
        writeFile(path(QStringLiteral("t13/big/noise.bin")), noise);
        const QString archive = path(QStringLiteral("t13.zip"));
        // Without lowered limits: no ZIP64 anywhere.
        packLikeService(archive, {path(QStringLiteral("t13/big"))});
        for (const QJsonObject &e : checkedListing(archive).entries)
            QCOMPARE(number(e, "extractVersion"), 20);

        // Limits lowered so that sizes, offsets and the count overflow.
        ZipLimits saved = zipLimits();
        zipLimits().max32 = 3000;
        zipLimits().max16 = 4;
        zipLimits().memoryJob = memoryJob;
        packLikeService(archive, {path(QStringLiteral("t13/big"))});
        // Reopening reads the ZIP64 records back; the added entry lands behind them.
        const QString extra = path(QStringLiteral("t13/extra.txt"));
        writeFile(extra, QByteArray(5000, 'e'));
        {
            TQuellZip zip;
            zip.Open(archive);
            QVERIFY(zip.IsZipFile());
            QCOMPARE(zip.Entries().Count(),
                     7 + 1 + ancestorEntries(path(QStringLiteral("t13/big/f0.txt"))).size() - 1);
            zip.AddPaths({extra}, QString(), true);
            zip.Close();
        }
        zipLimits() = saved;
        const Listing listing = checkedListing(archive);
        for (int i = 0; i < 6; ++i) {
            const QJsonObject e =
                listing.entry(stored(path(QStringLiteral("t13/big/f%1.txt").arg(i))));
            QCOMPARE(e.value(QLatin1String("sha256")).toString().toLatin1(),
                     sha256Hex(contents[i]));
            const bool large = contents[i].size() >= 3000;
            QCOMPARE(number(e, "extractVersion"), large || number(e, "offset") >= 3000 ? 45 : 20);
        }
        const QJsonObject n = listing.entry(stored(path(QStringLiteral("t13/big/noise.bin"))));
        QCOMPARE(n.value(QLatin1String("sha256")).toString().toLatin1(), sha256Hex(noise));
        QVERIFY(number(n, "compressedSize") >= 3000);
        QCOMPARE(number(n, "extractVersion"), 45);
        QCOMPARE(listing.entry(stored(extra)).value(QLatin1String("sha256")).toString().toLatin1(),
                 sha256Hex(QByteArray(5000, 'e')));
        // The ZIP64 end record and its locator sit between the directory and the end record.
        QFile f(archive);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        QCOMPARE(bytes.mid(bytes.size() - 22 - 20 - 56, 4), QByteArray("PK\x06\x06"));
        QCOMPARE(bytes.mid(bytes.size() - 22 - 20, 4), QByteArray("PK\x06\x07"));
        QCOMPARE(bytes.mid(bytes.size() - 22 + 8, 2), QByteArray("\xff\xff"));
    }

    // Large files are deflated in chunks by every worker and small ones whole, ahead: the
    // archive is the same byte for byte whatever the number of workers, and every reader
    // takes it.
    void sameBytesWhateverTheWorkerCount()
    {
        mkdirs(QStringLiteral("t16/small"));
        quint32 x = 7;
        auto noise = [&x](qsizetype n) {
            QByteArray out(n, Qt::Uninitialized);
            for (qsizetype i = 0; i < n; ++i) {
                x = x * 1103515245u + 12345u;
                out[i] = char(x >> 24);
            }
            return out;
        };
        auto text = [&x](qsizetype n) {
            QByteArray out;
            while (out.size() < n) {
                x = x * 1103515245u + 12345u;
                out += "line " + QByteArray::number(x % 5000) + " of the log, value " +
                       QByteArray::number(x % 977) + '\n';
            }
            out.truncate(n);
            return out;
        };
        QMap<QString, QByteArray> files;
        files[QStringLiteral("t16/text.log")] = text((9 << 20) + 12345);
        files[QStringLiteral("t16/exact.bin")] = text(3 << 20) + noise(5 << 20); // 8 chunks
        files[QStringLiteral("t16/random.bin")] = noise((5 << 20) + 1);
        files[QStringLiteral("t16/small/empty")] = QByteArray();
        for (int i = 0; i < 40; ++i)
            files[QStringLiteral("t16/small/f%1.txt").arg(i)] = text(100 * i * i + 1);
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            writeFile(path(it.key()), it.value());

        QByteArray first;
        const ZipLimits saved = zipLimits();
        for (int workers : {1, 2, 8}) {
            zipLimits().workers = workers;
            const QString archive = path(QStringLiteral("t16-%1.zip").arg(workers));
            packLikeService(archive, {path(QStringLiteral("t16"))});
            zipLimits() = saved;
            QFile f(archive);
            QVERIFY(f.open(QIODevice::ReadOnly));
            const QByteArray bytes = f.readAll();
            if (first.isEmpty())
                first = bytes;
            else
                QVERIFY2(bytes == first, qPrintable(QStringLiteral("%1 workers").arg(workers)));
        }
        const QString archive = path(QStringLiteral("t16-1.zip"));
        const Listing listing = checkedListing(archive);
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            const QJsonObject e = listing.entry(stored(path(it.key())));
            QCOMPARE(e.value(QLatin1String("sha256")).toString().toLatin1(), sha256Hex(it.value()));
        }
        QVERIFY(number(listing.entry(stored(path(QStringLiteral("t16/text.log")))),
                       "compressedSize") < (9 << 20) / 3);
        const PeerResult seven =
            runPeer(QStringLiteral("7z"), {QStringLiteral("t"), QStringLiteral("-bd"), archive});
        QVERIFY2(seven.exitCode == 0, qPrintable(seven.output));
        const PeerResult bsdtar =
            runPeer(QStringLiteral("bsdtar"), {QStringLiteral("-tf"), archive});
        QVERIFY2(bsdtar.exitCode == 0, qPrintable(bsdtar.output));
        QCOMPARE(bsdtar.output.count(QLatin1Char('\n')), listing.entries.size());
    }

    void everyCompressionTypeGivesAReadableArchive_data()
    {
        QTest::addColumn<int>("type");
        QTest::newRow("maximum") << int(TZipCompressionType::ctMaximum);
        QTest::newRow("normal") << int(TZipCompressionType::ctNormal);
        QTest::newRow("fast") << int(TZipCompressionType::ctFast);
        QTest::newRow("superfast") << int(TZipCompressionType::ctSuperFast);
        QTest::newRow("none") << int(TZipCompressionType::ctNone);
        QTest::newRow("unknown") << int(TZipCompressionType::ctUnknown);
    }

    void everyCompressionTypeGivesAReadableArchive()
    {
        QFETCH(int, type);
        mkdirs(QStringLiteral("t14"));
        QByteArray content;
        for (int i = 0; i < 50000; ++i)
            content += QByteArray::number(i % 977) + ',';
        const QString file = path(QStringLiteral("t14/data.csv"));
        writeFile(file, content);
        TQuellZip zip;
        zip.setCompressionType(TZipCompressionType(type));
        if (TZipCompressionType(type) == TZipCompressionType::ctUnknown)
            QCOMPARE(zip.CompressionType(), TZipCompressionType::ctNormal);
        const QString archive = path(QStringLiteral("t14.zip"));
        packLikeService(archive, {file}, &zip);
        const QJsonObject e = checkedListing(archive).entry(stored(file));
        QCOMPARE(number(e, "method"), 8); // deflate, in stored blocks for ctNone
        QCOMPARE(e.value(QLatin1String("sha256")).toString().toLatin1(), sha256Hex(content));
        if (TZipCompressionType(type) == TZipCompressionType::ctNone)
            QVERIFY(number(e, "compressedSize") > content.size());
        else
            QVERIFY(number(e, "compressedSize") < content.size() / 2);
    }

    void constructionDefaults()
    {
        TQuellZip zip;
        QCOMPARE(zip.CompressionType(), TZipCompressionType::ctMaximum);
        QVERIFY(zip.StoreRelativePath());
        QVERIFY(zip.StoreFolders());
        QCOMPARE(zip.SaveMethod(), TZipSaveMethod::FastSave);
        QCOMPARE(zip.OverwriteAction(), TOverwriteAction::oaSkip);
        QVERIFY(!zip.UseTempFiles());
        QVERIFY(!zip.ReadOnly());
        QVERIFY(zip.ApplyAtributes());
        QCOMPARE(zip.ComponentVersion(), QStringLiteral("2.0"));
        zip.setComponentVersion(QStringLiteral("9.9"));
        QCOMPARE(zip.ComponentVersion(), QStringLiteral("2.0"));
        QVERIFY(zip.FileName().isEmpty());
        QVERIFY(!zip.IsZipFile());
        QVERIFY(!zip.Active());
        QVERIFY(zip.Comment().isEmpty());
        QVERIFY(zip.FileNames().isEmpty());
        zip.Close(); // harmless when nothing is open
    }

    // What the patterns match is not stored, and an excluded folder is never entered: its
    // part deeper than PATH_MAX would fail the archive if it were.
    void excludedItemsAreNeitherStoredNorEntered()
    {
        const excludetree::Removal removal{path(QStringLiteral("ex"))};
        const excludetree::Tree tree = excludetree::make(removal.root);
        const norvex::shared::ExcludePatterns patterns(tree.patterns);
        TQuellZip zip;
        zip.setExcludes(&patterns);
        const QString archive = path(QStringLiteral("ex.zip"));
        packLikeService(archive, tree.sources, &zip);
        QSet<QString> expected = tree.kept;
        expected.insert(QStringLiteral("extra")); // the folder entry above a source
        QCOMPARE(excludetree::below(checkedListing(archive).names(), tree.root), expected);
        QCOMPARE(zip.Excluded().files, tree.excludedFiles);
        QCOMPARE(zip.Excluded().folders, tree.excludedFolders);

        // Without the patterns the same walk fails on the folder it left out.
        TQuellZip all;
        QVERIFY_THROWS_EXCEPTION(
            EFOpenError, packLikeService(path(QStringLiteral("all.zip")), tree.sources, &all));
    }

    void fullDiskRaisesAndNeverPassesForSuccess()
    {
        mkdirs(QStringLiteral("t15"));
        QByteArray noise;
        quint32 x = 12345;
        for (int i = 0; i < 3000000; ++i) {
            x = x * 1103515245u + 12345u;
            noise += char(x >> 24);
        }
        const QString file = path(QStringLiteral("t15/noise.bin"));
        writeFile(file, noise);
        {
            // The disk fills while an entry is written: AddPaths raises; Close leaves the
            // entries written before it as a valid archive.
            FullDiskDevice device(1500000);
            QVERIFY(device.open(QIODevice::ReadWrite));
            TQuellZip zip;
            zip.WriteEmptyArchive(device);
            device.seek(0);
            zip.Open(device);
            QVERIFY_THROWS_EXCEPTION(EOSError, zip.AddPaths({file}, QString(), true));
            zip.Close();
            const QString archive = path(QStringLiteral("t15a.zip"));
            writeFile(archive, device.data());
            QCOMPARE(checkedListing(archive).names(), ancestorEntries(file));
        }
        {
            // No room even for the directory: Close raises.
            FullDiskDevice device(22);
            QVERIFY(device.open(QIODevice::ReadWrite));
            TQuellZip zip;
            zip.WriteEmptyArchive(device);
            device.seek(0);
            zip.Open(device);
            mkdirs(QStringLiteral("t15b"));
            writeFile(path(QStringLiteral("t15b/small.txt")), "small");
            // Entries this small are still buffered when AddPaths returns.
            zip.AddPaths({path(QStringLiteral("t15b"))}, QString(), true);
            QVERIFY_THROWS_EXCEPTION(EOSError, zip.Close());
            QVERIFY(!zip.IsZipFile());
        }
    }
};

QTEST_GUILESS_MAIN(ZipWriterTest)
#include "ZipWriterTest.moc"
