// Restores from archives written by our own writers (as the backup service writes them) and
// from hostile archives built with Python's zipfile.

#include "archivers/QuellZip.h"
#include "archivers/SevenZip.h"
#include "restore/Generations.h"
#include "restore/Restore.h"
#include "restore/RestoreTree.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace norvex;
using namespace norvex::restore;
using namespace restoretest;

namespace {

const QString kPassword = QStringLiteral("pässwörd 日本");

QString zipOf(const QString &source, const QString &archive)
{
    archivers::TQuellZip zip;
    QFile file;
    zip.Close();
    file.setFileName(archive);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QStringLiteral("cannot create");
    zip.WriteEmptyArchive(file);
    file.close();
    zip.Open(archive);
    zip.AddPaths({source}, QString(), true);
    zip.Close();
    return {};
}

QString sevenZipOf(const QString &source, const QString &archive, const QString &password)
{
    archivers::TSevenZip sevenZip;
    sevenZip.setAddOptions(archivers::AddOptsEnum::AddRecurseDirs);
    sevenZip.setLZMACompressStrength(archivers::TCompressStrength::FAST);
    sevenZip.setPassword(password);
    sevenZip.setSZFileName(archive);
    sevenZip.FileList() << source + QStringLiteral("/*.*");
    return sevenZip.BuildArchive() == 0 ? QString() : sevenZip.ErrorMessage();
}

// Runs Python with script; argv[1] is arg.
void python(const QString &script, const QString &arg)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("python3"), {QStringLiteral("-c"), script, arg});
    QVERIFY(p.waitForFinished(60000));
    QVERIFY2(p.exitCode() == 0, p.readAll().constData());
}

QStringList names(const QList<RestoreSummary::Item> &items)
{
    QStringList out;
    for (const auto &item : items)
        out << displayPath(item.path);
    return out;
}

QStringList names(const QList<QByteArray> &paths)
{
    QStringList out;
    for (const auto &path : paths)
        out << displayPath(path);
    return out;
}

// Nothing but the listed names directly in folder.
QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden |
                                  QDir::System);
}

} // namespace

class RestoreArchiveTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_zip, m_7z;
    QByteArray m_source; // the tree, stored without its leading '/'

    QString path(const QString &name) const { return m_dir.filePath(name); }

    RestoreSummary restoreAll(const QString &archive, const QString &target,
                              const QString &password = {}, RestoreOptions options = {})
    {
        RestoreArchive reader;
        if (!reader.open(archive, kindOf(archive), password)) {
            RestoreSummary failed;
            failed.error = reader.errorText();
            return failed;
        }
        options.target = target;
        return reader.restore(options);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_source = QFile::encodeName(path(QStringLiteral("src")));
        makeTree(m_source, 1);
        m_zip = path(QStringLiteral("Norvex-t.zip"));
        m_7z = path(QStringLiteral("Norvex-t.7z"));
        QCOMPARE(zipOf(QString::fromUtf8(m_source), m_zip), QString());
        QCOMPARE(sevenZipOf(QString::fromUtf8(m_source), m_7z, kPassword), QString());
    }

    void cleanupTestCase()
    {
        // QTemporaryDir cannot remove a name that is not UTF-8.
        QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), m_dir.path()});
    }

    void restoresEverythingFaithfully_data()
    {
        QTest::addColumn<bool>("sevenZ");
        QTest::addColumn<qint64>("precisionNs");
        QTest::newRow("zip") << false << qint64(2000000000);
        QTest::newRow("7z with a password") << true << qint64(100);
    }
    void restoresEverythingFaithfully()
    {
        QFETCH(bool, sevenZ);
        QFETCH(qint64, precisionNs);
        const QString target = path(QStringLiteral("all-") + QTest::currentDataTag());
        int reports = 0;
        RestoreProgress last;
        RestoreArchive reader;
        QVERIFY2(reader.open(sevenZ ? m_7z : m_zip,
                             sevenZ ? ArchiveKind::SevenZip : ArchiveKind::Zip,
                             sevenZ ? kPassword : QString()),
                 qPrintable(reader.errorText()));
        RestoreOptions options;
        options.target = target;
        const RestoreSummary s = reader.restore(options, [&](const RestoreProgress &p) {
            ++reports;
            last = p;
            return true;
        });
        QVERIFY2(s.succeeded(), qPrintable(s.error + names(s.failed).join(u',')));
        QVERIFY2(s.skipped.isEmpty(), qPrintable(names(s.skipped).join(u',')));
        QCOMPARE(s.restored.size(), 6);
        QVERIFY(reports >= 6);
        // The files' and the link's bytes.
        QCOMPARE(last.bytesTotal, quint64(70000 + 8 + 7 + 17 + 0 + 43));
        QCOMPARE(last.bytesDone, last.bytesTotal);
        // Stored below the source's absolute path, as the service stores it.
        const QByteArray restoredRoot = QFile::encodeName(target) + m_source;
        compareTrees(snapshot(restoredRoot), snapshot(m_source), precisionNs);
    }

    void restoresChosenPaths()
    {
        const QString target = path(QStringLiteral("chosen"));
        RestoreArchive reader;
        QVERIFY(reader.open(m_7z, ArchiveKind::SevenZip, kPassword));
        const QByteArray stored = m_source.mid(1);
        RestoreOptions options;
        options.target = target;
        options.paths = {stored + "/日本語のフォルダ", stored + '/' + kLatin1Name};
        const RestoreSummary s = reader.restore(options);
        QVERIFY(s.succeeded());
        QCOMPARE(names(s.restored),
                 names(QList<QByteArray>{stored + "/" + kLatin1Name,
                                         stored + "/日本語のフォルダ/報告書 2024.txt"}));
        const Snapshot got = snapshot(QFile::encodeName(target) + m_source);
        QCOMPARE(got.keys(), (QList<QByteArray>{kLatin1Name, "日本語のフォルダ",
                                                "日本語のフォルダ/報告書 2024.txt"}));
    }

    void keepsExistingFilesUnlessOverwrite_data()
    {
        QTest::addColumn<bool>("overwrite");
        QTest::newRow("kept") << false;
        QTest::newRow("overwritten") << true;
    }
    void keepsExistingFilesUnlessOverwrite()
    {
        QFETCH(bool, overwrite);
        const QString target = path(QStringLiteral("existing-") + QTest::currentDataTag());
        const QByteArray folder = QFile::encodeName(target) + m_source;
        QVERIFY(QDir().mkpath(QString::fromUtf8(folder)));
        put(folder + "/run me.sh", "mine", 0640, 1);
        RestoreOptions options;
        options.overwrite = overwrite;
        const RestoreSummary s = restoreAll(m_zip, target, {}, options);
        QVERIFY(s.failed.isEmpty() && s.error.isEmpty());
        const QByteArray now = snapshot(folder).value("run me.sh").data;
        if (overwrite) {
            QCOMPARE(now, QByteArray("#!/bin/sh\necho 1\n"));
            QCOMPARE(s.skipped.size(), 0);
        } else {
            QCOMPARE(now, QByteArray("mine"));
            QCOMPARE(names(s.skipped), QStringList{displayPath(m_source.mid(1) + "/run me.sh")});
        }
        QCOMPARE(s.restored.size(), overwrite ? 6 : 5);
    }

    // A link already in the target, where the archive has a folder, is never followed.
    void neverFollowsLinksInTheTarget()
    {
        const QString target = path(QStringLiteral("trap"));
        const QString outside = path(QStringLiteral("trap-outside"));
        QVERIFY(QDir().mkpath(outside) && QDir().mkpath(target));
        QVERIFY(QFile::link(outside, target + QStringLiteral("/tmp")));
        RestoreOptions options;
        options.overwrite = true;
        const RestoreSummary s = restoreAll(m_zip, target, {}, options);
        QVERIFY(!s.failed.isEmpty());
        QVERIFY2(s.failed.first().reason.contains(QStringLiteral("リンクは辿りません")),
                 qPrintable(s.failed.first().reason));
        QCOMPARE(entriesOf(outside), QStringList());
    }

    void refusesHostileEntries_data()
    {
        QTest::addColumn<QString>("entries"); // Python: list of (name, data, is_link)
        QTest::addColumn<QStringList>("skipped");
        QTest::addColumn<QStringList>("restored");
        QTest::newRow("parent") << "[('../evil', b'x', 0), ('ok', b'y', 0)]"
                                << QStringList{"../evil"} << QStringList{"ok"};
        QTest::newRow("parent inside")
            << "[('a/../../evil', b'x', 0)]" << QStringList{"a/../../evil"} << QStringList{};
        QTest::newRow("absolute") << "[('/tmp/norvex-restore-evil', b'x', 0)]"
                                  << QStringList{"/tmp/norvex-restore-evil"} << QStringList{};
        QTest::newRow("link out, then a file through it")
            << "[('out', OUTSIDE, 1), ('out/evil', b'x', 0)]" << QStringList{"out"}
            << QStringList{"out/evil"};
    }
    void refusesHostileEntries()
    {
        QFETCH(QString, entries);
        QFETCH(QStringList, skipped);
        QFETCH(QStringList, restored);
        const QString base = path(QStringLiteral("hostile-") + QTest::currentDataTag());
        const QString outside = base + QStringLiteral("/outside");
        const QString target = base + QStringLiteral("/target/inner");
        QVERIFY(QDir().mkpath(outside) && QDir().mkpath(target));
        const QString archive = base + QStringLiteral("/hostile.zip");
        python(
            QStringLiteral("import sys, zipfile\n"
                           "OUTSIDE = ") +
                QStringLiteral("b'") + outside + QStringLiteral("'\n") +
                QStringLiteral("with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                               "    for name, data, link in ") +
                entries +
                QStringLiteral(":\n"
                               "        i = zipfile.ZipInfo(name)\n"
                               "        i.create_system = 3\n"
                               "        i.external_attr = (0o120777 if link else 0o100644) << 16\n"
                               "        z.writestr(i, data)\n"),
            archive);
        const RestoreSummary s = restoreAll(archive, target);
        QCOMPARE(s.error, QString());
        QCOMPARE(names(s.skipped), skipped);
        QCOMPARE(names(s.restored), restored);
        for (const auto &item : s.skipped)
            QVERIFY(!item.reason.isEmpty());
        QCOMPARE(entriesOf(outside), QStringList());
        QVERIFY(!QFile::exists(QStringLiteral("/tmp/norvex-restore-evil")));
        QCOMPARE(entriesOf(base + QStringLiteral("/target")), QStringList{"inner"});
    }

    void wrongPasswordWritesNothing()
    {
        const QString target = path(QStringLiteral("wrong-password"));
        const RestoreSummary s = restoreAll(m_7z, target, QStringLiteral("wrong"));
        QCOMPARE(s.error, kWrongPasswordText);
        QVERIFY(s.restored.isEmpty() && s.failed.isEmpty());
        // Not even the target folder is made.
        QVERIFY(!QFile::exists(target));
    }

    void damagedArchivesAreErrors_data()
    {
        QTest::addColumn<bool>("sevenZ");
        QTest::addColumn<bool>("truncate"); // else one byte of file data changed
        QTest::newRow("zip cut short") << false << true;
        QTest::newRow("7z cut short") << true << true;
        QTest::newRow("zip with a bad byte") << false << false;
    }
    void damagedArchivesAreErrors()
    {
        QFETCH(bool, sevenZ);
        QFETCH(bool, truncate);
        const QString copy = path(QStringLiteral("damaged-") + QTest::currentDataTag() +
                                  (sevenZ ? QStringLiteral(".7z") : QStringLiteral(".zip")));
        QFile::remove(copy);
        QVERIFY(QFile::copy(sevenZ ? m_7z : m_zip, copy));
        QFile file(copy);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();
        if (truncate) {
            bytes.truncate(bytes.size() / 2);
        } else {
            // Inside the deflated data of the secret key, which follows its local header's
            // name (the first place the name appears).
            const qsizetype at = bytes.indexOf("secret key") + 10 + 20;
            bytes[at] = char(bytes.at(at) ^ 0x55);
        }
        file.resize(0);
        file.write(bytes);
        file.close();
        const QString target = path(QStringLiteral("damaged-") + QTest::currentDataTag());
        const RestoreSummary s = restoreAll(copy, target, sevenZ ? kPassword : QString());
        QVERIFY(!s.succeeded());
        if (truncate) {
            QVERIFY(!s.error.isEmpty());
        } else {
            QCOMPARE(names(s.failed),
                     QStringList{displayPath(m_source.mid(1) + "/private dir/secret key")});
            QVERIFY(!QFile::exists(target + QString::fromUtf8(m_source) +
                                   QStringLiteral("/private dir/secret key")));
        }
        // No temporary file is left anywhere.
        const Snapshot left =
            QFile::exists(target) ? snapshot(QFile::encodeName(target)) : Snapshot{};
        for (auto it = left.begin(); it != left.end(); ++it)
            QVERIFY2(!it.key().contains(".norvex-restore-"), it.key().constData());
    }

    void cancelKeepsFinishedFiles()
    {
        const QString target = path(QStringLiteral("cancelled"));
        RestoreArchive reader;
        QVERIFY(reader.open(m_zip, ArchiveKind::Zip));
        RestoreOptions options;
        options.target = target;
        std::atomic<bool> cancel{false};
        QByteArray first;
        const RestoreSummary s = reader.restore(
            options,
            [&](const RestoreProgress &p) {
                if (first.isEmpty())
                    first = p.currentFile;
                else if (p.currentFile != first)
                    cancel = true;
                return true;
            },
            &cancel);
        QVERIFY(s.cancelled);
        QCOMPARE(s.error, QString());
        QCOMPARE(names(s.restored), QStringList{displayPath(first)});
        const Snapshot got = snapshot(QFile::encodeName(target));
        int files = 0;
        for (auto it = got.begin(); it != got.end(); ++it) {
            QVERIFY2(!it.key().contains(".norvex-restore-"), it.key().constData());
            files += it.value().type != 'd';
        }
        QCOMPARE(files, 1);
    }

    void listsGenerationsNewestFirst()
    {
        const QString folder = path(QStringLiteral("dest"));
        QVERIFY(QDir().mkpath(folder));
        const QByteArray f = QFile::encodeName(folder) + '/';
        // name, age in hours (0: newest)
        const std::pair<const char *, int> files[] = {
            {"Norvex-web.site-2-.zip", 48},       {"Norvex-web.site-1-.zip", 24},
            {"Norvex-web.site.zip", 72},          {"Norvex-web.site-1-.zip.part", 0},
            {".Norvex-web.site-3-.zip.aside", 0}, {"Norvex-web.site-01-.zip", 0},
            {"Norvex-web.site-x-1-.zip", 0},      {"Norvex-web-1-.zip", 0}};
        for (const auto &[name, hours] : files)
            put(f + name, QByteArray(hours + 1, 'z'), 0600, 1700000000 - hours * 3600);
        JobLocation job;
        job.destination = QStringLiteral("Local");
        job.folder = folder;
        job.fileName = QStringLiteral("Norvex-web.site.zip");
        QList<Generation> list;
        QString error;
        QVERIFY2(listGenerations(job, list, error), qPrintable(error));
        QStringList got;
        for (const Generation &g : list)
            got << QStringLiteral("%1 %2 %3").arg(g.number).arg(g.fileName).arg(g.size);
        QCOMPARE(got, (QStringList{"1 Norvex-web.site-1-.zip 25", "2 Norvex-web.site-2-.zip 49",
                                   "0 Norvex-web.site.zip 73"}));

        job.folder = path(QStringLiteral("no such folder"));
        QVERIFY(!listGenerations(job, list, error));
        QVERIFY(error.contains(job.folder));
    }

    void generationNumbers_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<int>("number");
        QTest::newRow("F") << "Norvex-a.zip"
                           << "Norvex-a.zip" << 0;
        QTest::newRow("k") << "Norvex-a-7-.7z"
                           << "Norvex-a.7z" << 7;
        QTest::newRow("dots in the name") << "Norvex-web.site-3-.zip"
                                          << "Norvex-web.site.zip" << 3;
        QTest::newRow("another job") << "Norvex-a-1-.zip"
                                     << "Norvex-a-1-.zip.zip" << -1;
        QTest::newRow("other kind") << "Norvex-a-1-.7z"
                                    << "Norvex-a.zip" << -1;
        QTest::newRow("leading zero") << "Norvex-a-01-.zip"
                                      << "Norvex-a.zip" << -1;
        QTest::newRow("part") << "Norvex-a-1-.zip.part"
                              << "Norvex-a.zip" << -1;
        QTest::newRow("no number") << "Norvex-a--.zip"
                                   << "Norvex-a.zip" << -1;
    }
    void generationNumbers()
    {
        QFETCH(QString, name);
        QFETCH(QString, fileName);
        QFETCH(int, number);
        QCOMPARE(generationNumber(name, fileName), number);
    }
};

QTEST_GUILESS_MAIN(RestoreArchiveTest)
#include "RestoreArchiveTest.moc"
