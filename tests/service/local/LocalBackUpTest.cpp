#include "service/LocalBackUp.h"
#include "NeedsRoot.h"
#include "StuckFile.h"
#include "fakes/CutShortFolder.h"
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

Q_DECLARE_METATYPE(norvex::fakes::CutShortFolder::Cut)

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
         QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name))
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
    // As the archive step names it: never a name the destination stores.
    QString archive = tmp + QLatin1Char('/') + kF + QStringLiteral(".4242.tmp");
    shared::TMlb2 row;

    Rig()
    {
        QDir().mkpath(tmp);
        QDir().mkpath(dest);
        writeFile(archive, "new");
    }
    service::TransferContext context(int generations, const QString &sub = QString()) const
    {
        return {row, 0, archive, kF, QString(), !sub.isEmpty(), sub, generations, {}};
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

    // Whatever a run cut short left (gaps, a file set aside under this or the older
    // versions' name, a ".part"), the next run keeps the newest G in order.
    void rotatesFromEveryStartingState_data()
    {
        QTest::addColumn<int>("g");
        QTest::addColumn<int>("present"); // bit k-1 set: generation k exists
        QTest::addColumn<QString>("aside");
        for (int g : {2, 3, 7})
            for (int mask = 0; mask < (1 << g); ++mask)
                for (const QString &aside : {QString(), service::asideName(generationName(kF, g)),
                                             service::legacyAsideName(generationName(kF, g))})
                    QTest::addRow("G=%d present=%x %s", g, mask, qPrintable(aside))
                        << g << mask << aside;
    }
    void rotatesFromEveryStartingState()
    {
        QFETCH(int, g);
        QFETCH(int, present);
        QFETCH(QString, aside);
        Rig r;
        // Oldest last: what the run must keep, newest first.
        QStringList age{QStringLiteral("new")};
        for (int k = 1; k <= g; ++k) {
            if (present & (1 << (k - 1))) {
                age << QStringLiteral("old%1").arg(k);
                QVERIFY(writeFile(r.dest + QLatin1Char('/') + generationName(kF, k),
                                  age.last().toUtf8()));
            }
        }
        if (!aside.isEmpty()) {
            age << QStringLiteral("aside");
            QVERIFY(writeFile(r.dest + QLatin1Char('/') + aside, "aside"));
        }
        QVERIFY(writeFile(r.dest + QLatin1Char('/') + service::partName(kF, g), "cut"));

        service::storeInLocalFolder(r.dest, r.context(g));
        QVERIFY(!QFile::exists(r.archive));
        QStringList kept;
        int last = -1;
        for (const QString &entry : listing(r.dest)) {
            const QString name = entry.section(QLatin1Char('='), 0, 0);
            const QString content = entry.section(QLatin1Char('='), 1);
            kept << content;
            for (int k = 1; k <= g; ++k) {
                if (name == generationName(kF, k)) {
                    QVERIFY2(age.indexOf(content) > last, qPrintable(entry)); // in order
                    last = age.indexOf(content);
                }
            }
            QVERIFY2(name.startsWith(QLatin1String("Norvex-web.site-")) || name == aside,
                     qPrintable(entry));
        }
        QCOMPARE(readFile(r.dest + QLatin1Char('/') + generationName(kF, 1)), QByteArray("new"));
        kept.sort();
        QStringList newest = age.mid(0, g);
        newest.sort();
        QCOMPARE(kept, newest);
    }

    // A run cut short at any rename costs nothing: after it and one fault-free run, slot k
    // holds the k-th newest archive that was ever published.
    void cutRotationCostsNothingAtTheNextRun_data()
    {
        using Cut = fakes::CutShortFolder::Cut;
        QTest::addColumn<int>("g");
        QTest::addColumn<int>("stored");  // generations there before the cut run
        QTest::addColumn<int>("renames"); // done before the cut
        QTest::addColumn<Cut>("cut");
        const std::pair<Cut, const char *> cuts[] = {{Cut::Dropped, "dropped"},
                                                     {Cut::Refused, "refused"},
                                                     {Cut::DoneButFailed, "done, failed"}};
        for (int g : {0, 2, 3, 7})
            for (int stored : {qMax(g - 1, 0), qMax(g, 1)})
                for (const auto &[cut, name] : cuts)
                    for (int n = 0; n <= g + 2; ++n)
                        QTest::addRow("G=%d stored=%d %s after %d", g, stored, name, n)
                            << g << stored << n << cut;
    }
    void cutRotationCostsNothingAtTheNextRun()
    {
        QFETCH(int, g);
        QFETCH(int, stored);
        QFETCH(int, renames);
        QFETCH(fakes::CutShortFolder::Cut, cut);
        Rig r;
        auto slot = [&](int k) {
            return r.dest + QLatin1Char('/') + (g > 0 ? generationName(kF, k) : kF);
        };
        QStringList published; // newest first
        for (int k = stored; k >= 1; --k)
            published.prepend(QStringLiteral("run%1").arg(stored - k + 1));
        for (int k = 1; k <= stored; ++k)
            QVERIFY(writeFile(slot(k), published[k - 1].toUtf8()));
        // Each run's archive is a new file: the stored ones may be links to the last.
        auto newArchive = [&](const QString &content) {
            QFile::remove(r.archive);
            QVERIFY(writeFile(r.archive, content.toUtf8()));
        };
        const QString cutRun = QStringLiteral("run%1").arg(stored + 1);
        newArchive(cutRun);
        {
            service::LocalGenerationFolder real(r.dest, r.archive);
            fakes::CutShortFolder folder(real, renames, cut);
            try {
                service::storeRotatePublish(folder, kF, g, cutRun.size());
            } catch (const shared::Exception &) {
            }
        }
        for (const QString &entry : listing(r.dest))
            if (entry.endsWith(QLatin1Char('=') + cutRun) &&
                !entry.contains(QLatin1String(".part=")))
                published.prepend(cutRun);
        newArchive(QStringLiteral("last"));
        published.prepend(QStringLiteral("last"));

        service::storeInLocalFolder(r.dest, r.context(g));
        QStringList expected;
        for (int k = 1; k <= qMin(qMax(g, 1), int(published.size())); ++k)
            expected << QFileInfo(slot(k)).fileName() + QLatin1Char('=') + published[k - 1];
        QCOMPARE(listing(r.dest), expected);
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

        QList<qint64> progress;
        service::LocalGenerationFolder folder(r.dest, archive,
                                              [&](qint64 bytes) { progress << bytes; });
        QCOMPARE(service::storeRotatePublish(folder, kF, 2, big.size()), generationName(kF, 1));
        ::umask(umask);
        QVERIFY(folder.copied());
        QCOMPARE(progress, (QList<qint64>{1 << 20, 2 << 20, 3 << 20})); // per chunk copied
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
        QCOMPARE(listing(r.tmp), (QStringList{generationName(kF, 1) + QStringLiteral("=second"),
                                              kF + QStringLiteral("=new")}));
    }

    // The stored copy's size is checked before anything is rotated: a mismatch removes
    // the ".part", names both sizes and leaves every generation where it was.
    void sizeMismatchKeepsTheGenerations()
    {
        Rig r;
        QVERIFY(writeFile(r.archive, "new"));
        for (int k = 1; k <= 2; ++k)
            QVERIFY(writeFile(r.dest + QLatin1Char('/') + generationName(kF, k),
                              QByteArray("old") + QByteArray::number(k)));
        const QStringList before = listing(r.dest);
        QList<qint64> progress;
        service::LocalGenerationFolder folder(r.dest, r.archive,
                                              [&](qint64 bytes) { progress << bytes; });
        try {
            service::storeRotatePublish(folder, kF, 2, 4);
            QFAIL("a copy of another size was published");
        } catch (const shared::Exception &e) {
            QCOMPARE(e.message(), service::kLocalBackUpFailed + service::sizeMismatchText(3, 4));
        }
        QCOMPARE(listing(r.dest), before);
        QCOMPARE(progress, QList<qint64>{3}); // linked: the whole size at once
    }

    void failedPublishPutsTheGenerationsBack()
    {
        fakes::PublishFailsFolder folder;
        for (int k = 1; k <= 3; ++k)
            folder.files[generationName(kF, k)] = QStringLiteral("old%1").arg(k);
        const QMap<QString, QString> before = folder.files;
        QVERIFY_THROWS_EXCEPTION(shared::Exception, service::storeRotatePublish(folder, kF, 3, 3));
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
