#include "service/LocalBackUp.h"
#include "NeedsRoot.h"
#include "StuckFile.h"
#include "fakes/PublishFailsFolder.h"
#include "platform/Paths.h"
#include "shared/mlb2.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <sys/stat.h>

using namespace norvex;
using service::generationName;

namespace {

const QString kF = QStringLiteral("Norvex-web.site.zip");

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// The folder's content as "name=content" lines, sorted.
QStringList listing(const QString &folder)
{
    QStringList out;
    for (const QString &name :
         QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name))
        out << name + QLatin1Char('=') +
                   QString::fromUtf8(readFile(folder + QLatin1Char('/') + name));
    return out;
}

// A temporary folder with the archive, and a destination folder beside it.
struct Rig
{
    QTemporaryDir dir{QString::fromLocal8Bit(qgetenv("NORVEX_HOME")) + QStringLiteral("/t-XXXXXX")};
    QString tmp = dir.path() + QStringLiteral("/tmp");
    QString dest = dir.path() + QStringLiteral("/dest");
    QString archive = tmp + QLatin1Char('/') + kF;
    shared::TMlb2 row;

    Rig()
    {
        QDir().mkpath(tmp);
        QDir().mkpath(dest);
        writeFile(archive, "new");
    }
    service::TransferContext context(int generations, const QString &sub = QString()) const
    {
        return {row, 0, archive, kF, QString(), !sub.isEmpty(), sub, generations};
    }
};

} // namespace

class LocalBackUpTest : public QObject
{
    Q_OBJECT

private slots:
    void namesGenerations_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("k");
        QTest::addColumn<QString>("name");
        QTest::newRow("zip") << "Norvex-daily.zip" << 1 << "Norvex-daily-1-.zip";
        QTest::newRow("dot in name") << "Norvex-web.site.zip" << 1 << "Norvex-web.site-1-.zip";
        QTest::newRow("7z") << "Norvex-web.site.7z" << 7 << "Norvex-web.site-7-.7z";
        QTest::newRow("no dot") << "Norvex-x" << 2 << "Norvex-x-2-";
    }
    void namesGenerations()
    {
        QFETCH(QString, file);
        QFETCH(int, k);
        QFETCH(QString, name);
        QCOMPARE(generationName(file, k), name);
    }

    void rotatesFromEveryStartingState_data()
    {
        QTest::addColumn<int>("g");
        QTest::addColumn<int>("present"); // bit k-1 set: generation k exists
        for (int g : {2, 3, 7})
            for (int mask = 0; mask < (1 << g); ++mask)
                QTest::addRow("G=%d present=%x", g, mask) << g << mask;
    }
    void rotatesFromEveryStartingState()
    {
        QFETCH(int, g);
        QFETCH(int, present);
        Rig r;
        for (int k = 1; k <= g; ++k)
            if (present & (1 << (k - 1)))
                QVERIFY(writeFile(r.dest + QLatin1Char('/') + generationName(kF, k),
                                  "old" + QByteArray::number(k)));
        // Left by runs cut short: they go, and do not stop this one.
        QVERIFY(writeFile(r.dest + QLatin1Char('/') + service::partName(kF, g), "cut"));
        QVERIFY(writeFile(r.dest + QLatin1Char('/') + service::asideName(generationName(kF, g)),
                          "aside"));
        // Generation k afterwards holds what k - 1 held; the oldest is gone.
        QStringList expected{generationName(kF, 1) + QStringLiteral("=new")};
        for (int k = 2; k <= g; ++k)
            if (present & (1 << (k - 2)))
                expected << generationName(kF, k) + QStringLiteral("=old") + QString::number(k - 1);
        expected.sort();

        service::storeInLocalFolder(r.dest, r.context(g));
        QCOMPARE(listing(r.dest), expected);
        QVERIFY(!QFile::exists(r.archive));
    }

    void replacesTheArchiveWithoutGenerations()
    {
        Rig r;
        service::storeInLocalFolder(r.dest, r.context(0));
        QCOMPARE(listing(r.dest), QStringList{kF + QStringLiteral("=new")});
        QVERIFY(writeFile(r.archive, "second"));
        service::storeInLocalFolder(r.dest, r.context(0)); // the second run no longer fails
        QCOMPARE(listing(r.dest), QStringList{kF + QStringLiteral("=second")});
        QVERIFY(!QFile::exists(r.archive));
    }

    void createsTheSubFolderOneLevel()
    {
        Rig r;
        service::storeInLocalFolder(r.dest, r.context(2, QStringLiteral("sub")));
        QCOMPARE(listing(r.dest + QStringLiteral("/sub")),
                 QStringList{generationName(kF, 1) + QStringLiteral("=new")});

        // localbackupdir missing: the sub-folder cannot be made, the store says why.
        const QString missing = r.dir.path() + QStringLiteral("/none");
        QVERIFY(writeFile(r.archive, "next"));
        try {
            service::storeInLocalFolder(missing, r.context(2, QStringLiteral("sub")));
            QFAIL("no error");
        } catch (const shared::Exception &e) {
            QCOMPARE(e.className(), QStringLiteral("Exception"));
            QCOMPARE(e.message(), service::kLocalBackUpFailed + platform::systemErrorText(ENOENT));
        }
        QVERIFY(!QFile::exists(missing));
        QCOMPARE(readFile(r.archive), QByteArray("next")); // stays for the next run
    }

    void failedStoreLeavesTheGenerationsAsTheyWere()
    {
        Rig r;
        for (int k = 1; k <= 3; ++k)
            QVERIFY(writeFile(r.dest + QLatin1Char('/') + generationName(kF, k),
                              "old" + QByteArray::number(k)));
        // Something that is not ours sits at the ".part" name and cannot be replaced.
        const QString part = r.dest + QLatin1Char('/') + service::partName(kF, 3);
        QVERIFY(QDir().mkpath(part));
        QVERIFY(writeFile(part + QStringLiteral("/keep"), "x"));
        const QStringList before = listing(r.dest);
        QVERIFY_THROWS_EXCEPTION(shared::Exception,
                                 service::storeInLocalFolder(r.dest, r.context(3)));
        QCOMPARE(listing(r.dest), before);
        QCOMPARE(readFile(r.archive), QByteArray("new"));
    }

    void copiesAcrossFileSystems()
    {
        QTemporaryDir shm(QStringLiteral("/dev/shm/norvex-XXXXXX"));
        QVERIFY2(shm.isValid(), "a tmpfs at /dev/shm is needed for a second file system");
        Rig r;
        struct stat a
        {
        }, b{};
        QVERIFY(::stat(QFile::encodeName(shm.path()).constData(), &a) == 0);
        QVERIFY(::stat(QFile::encodeName(r.dest).constData(), &b) == 0);
        QVERIFY2(a.st_dev != b.st_dev, "/dev/shm is on the same file system as the test folder");

        const QString archive = shm.path() + QLatin1Char('/') + kF;
        QByteArray big(3 << 20, 'z');
        big[12345] = 'q';
        QVERIFY(writeFile(archive, big));
        QVERIFY(::chmod(QFile::encodeName(archive).constData(), 0666) == 0);
        const mode_t umask = ::umask(0);
        QVERIFY(writeFile(r.dest + QLatin1Char('/') + generationName(kF, 1), "old1"));

        service::LocalGenerationFolder folder(r.dest, archive);
        QCOMPARE(service::storeRotatePublish(folder, kF, 2), generationName(kF, 1));
        ::umask(umask);
        QVERIFY(folder.copied());
        QCOMPARE(readFile(r.dest + QLatin1Char('/') + generationName(kF, 1)), big);
        QCOMPARE(readFile(r.dest + QLatin1Char('/') + generationName(kF, 2)), QByteArray("old1"));
        struct stat c
        {
        };
        QVERIFY(
            ::stat(QFile::encodeName(r.dest + QLatin1Char('/') + generationName(kF, 1)).constData(),
                   &c) == 0);
        QCOMPARE(c.st_mode & 0777, 0600u); // private, whatever the archive's mode and umask
    }

    void sameFileSystemLeavesOneLink()
    {
        Rig r;
        QVERIFY(::chmod(QFile::encodeName(r.archive).constData(), 0666) == 0);
        const mode_t umask = ::umask(0);
        service::storeInLocalFolder(r.dest, r.context(3));
        ::umask(umask);
        struct stat st
        {
        };
        QVERIFY(
            ::stat(QFile::encodeName(r.dest + QLatin1Char('/') + generationName(kF, 1)).constData(),
                   &st) == 0);
        QCOMPARE(st.st_nlink, nlink_t(1));
        QCOMPARE(st.st_mode & 0777, 0600u);
    }

    void storesIntoTheTemporaryFolderItself()
    {
        Rig r;
        service::storeInLocalFolder(r.tmp, r.context(0));
        QCOMPARE(listing(r.tmp), QStringList{kF + QStringLiteral("=new")});
        QVERIFY(writeFile(r.archive, "second"));
        service::storeInLocalFolder(r.tmp, r.context(2));
        QCOMPARE(listing(r.tmp), (QStringList{generationName(kF, 1) + QStringLiteral("=second")}));
    }

    void failedPublishPutsTheGenerationsBack()
    {
        fakes::PublishFailsFolder folder;
        for (int k = 1; k <= 3; ++k)
            folder.files[generationName(kF, k)] = QStringLiteral("old%1").arg(k);
        const QMap<QString, QString> before = folder.files;
        QVERIFY_THROWS_EXCEPTION(shared::Exception, service::storeRotatePublish(folder, kF, 3));
        QCOMPARE(folder.files, before); // the oldest too: it was only moved aside
    }

    // A generation the rotation cannot move (the file system refuses it) fails the store;
    // nothing replaces it and every generation stays as it was.
    void generationThatCannotMoveFailsTheStore_data()
    {
        QTest::addColumn<int>("stuck");
        QTest::addColumn<int>("g");
        QTest::newRow("oldest") << 3 << 3;
        QTest::newRow("middle") << 2 << 3;
        QTest::newRow("newest") << 1 << 3;
        QTest::newRow("F without generations") << 0 << 0;
    }
    void generationThatCannotMoveFailsTheStore()
    {
        QFETCH(int, stuck);
        QFETCH(int, g);
        Rig r;
        const QString stuckName = stuck > 0 ? generationName(kF, stuck) : kF;
        for (int k = 1; k <= qMax(g, 1); ++k)
            QVERIFY(writeFile(r.dest + QLatin1Char('/') + generationName(kF, k),
                              "old" + QByteArray::number(k)));
        QVERIFY(writeFile(r.dest + QLatin1Char('/') + kF, "oldF"));
        const QStringList before = listing(r.dest);
        SKIP_UNLESS_ROOT("a file that cannot move is made with a bind mount, which needs root");
        {
            tests::StuckFile busy(r.dest + QLatin1Char('/') + stuckName);
            QVERIFY2(busy.ok(), "bind mount failed");
            try {
                service::storeInLocalFolder(r.dest, r.context(g));
                QFAIL("no error");
            } catch (const shared::Exception &e) {
                QCOMPARE(e.message(),
                         service::kLocalBackUpFailed + platform::systemErrorText(EBUSY));
            }
        }
        QCOMPARE(listing(r.dest), before);
        QCOMPARE(readFile(r.archive), QByteArray("new"));
    }
};

QTEST_GUILESS_MAIN(LocalBackUpTest)
#include "LocalBackUpTest.moc"
