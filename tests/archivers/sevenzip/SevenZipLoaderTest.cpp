#include "SevenZipTestTools.h"
#include "archivers/SevenZip.h"
#include "platform/Paths.h"

#include <QFile>
#include <QTemporaryDir>

using namespace norvex::archivers;
using namespace sevenziptest;

namespace {

QStringList mappedFiles()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return {};
    QStringList files;
    for (const QByteArray &line : maps.readAll().split('\n')) {
        const qsizetype slash = line.indexOf('/');
        if (slash >= 0)
            files << QString::fromUtf8(line.mid(slash));
    }
    files.removeDuplicates();
    return files;
}

bool engineMapped()
{
    for (const QString &f : mappedFiles())
        if (f.endsWith(QLatin1String("/7z.so")))
            return true;
    return false;
}

} // namespace

// Loading is process-wide and the engine may stay mapped after dlclose, so the slots run
// in this order: nothing loaded, then failed loads, then the successful one.
class SevenZipLoaderTest : public QObject
{
    Q_OBJECT

private slots:
    void constructionDoesNotLoadTheEngine()
    {
        QVERIFY(!engineMapped());
        TSevenZip zip;
        zip.setAddOptions(AddOptsEnum::AddRecurseDirs);
        zip.setLZMACompressStrength(TCompressStrength::FAST);
        zip.setPassword(QStringLiteral("pw"));
        zip.setSZFileName(QStringLiteral("/tmp/never.7z"));
        zip.FileList().append(QStringLiteral("/etc/*.*"));
        QVERIFY(!engineMapped());
    }

    void missingEngineFailsWithTheMessageAndWritesNothing_data()
    {
        QTest::addColumn<QString>("library");
        QTest::newRow("no file") << QStringLiteral("7z.so");
        // A real shared library, but without the CreateObject entry point.
        QString libz;
        for (const QString &f : mappedFiles())
            if (f.contains(QLatin1String("/libz.so")))
                libz = f;
        QTest::newRow("no entry point") << libz;
    }

    void missingEngineFailsWithTheMessageAndWritesNothing()
    {
        QFETCH(QString, library);
        QVERIFY(!library.isEmpty());
        QTemporaryDir dir;
        const QString archive = dir.filePath(QStringLiteral("a.7z"));
        QFile source(dir.filePath(QStringLiteral("s.txt")));
        QVERIFY(source.open(QIODevice::WriteOnly));
        source.write("data");
        source.close();

        TSevenZip zip;
        zip.setLibraryPaths({library.contains(QLatin1Char('/')) ? library : dir.filePath(library)});
        zip.setSZFileName(archive);
        zip.FileList() << source.fileName();
        try {
            zip.BuildArchive();
            QFAIL("BuildArchive did not fail");
        } catch (const norvex::shared::Exception &e) {
            QCOMPARE(e.className(), QStringLiteral("Exception"));
            QCOMPARE(e.message(), QStringLiteral("Could not load CreateObject function from "
                                                 "7z.so\r\nPerhaps 7z.so not found"));
        }
        QVERIFY(!QFile::exists(archive));
        QVERIFY(!engineMapped());
    }

    void engineInTheInstallationFolderComesFirst()
    {
        const QString installed = norvex::platform::installFolder() + QStringLiteral("7z.so");
        QVERIFY2(QFile::copy(QStringLiteral("/usr/lib/p7zip/7z.so"), installed),
                 "the 7-Zip engine of p7zip-full is not installed");
        QTemporaryDir dir;
        const QString archive = dir.filePath(QStringLiteral("a.7z"));
        TSevenZip zip;
        QCOMPARE(zip.libraryPaths().first(), installed);
        zip.setSZFileName(archive);
        zip.FileList() << installed;
        QCOMPARE(zip.BuildArchive(), 0);
        QVERIFY(mappedFiles().contains(installed));
        VERIFY_7Z(run7z({QStringLiteral("t"), archive}), 0);
    }
};

QTEST_GUILESS_MAIN(SevenZipLoaderTest)
#include "SevenZipLoaderTest.moc"
