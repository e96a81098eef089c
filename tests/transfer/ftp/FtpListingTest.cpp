// Sizes read from the answers of servers without SIZE: MLST facts and LIST lines as real
// servers write them.
#include "transfer/FtpListing.h"

#include <QtTest>

using namespace norvex::transfer;

class FtpListingTest : public QObject
{
    Q_OBJECT

private slots:
    void readsTheSizeFact_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<qint64>("size");
        QTest::newRow("pyftpdlib")
            << QStringLiteral("250-Listing \"/a.zip\":\r\n type=file;size=1234;modify=20261209;"
                              "perm=radfwMT; /a.zip\r\n250 End MLST.")
            << qint64(1234);
        QTest::newRow("upper case, last fact")
            << QStringLiteral(
                   "250-Begin\r\n Type=file;Size=5000000000; name with spaces.zip\r\n250 End")
            << qint64(5000000000);
        QTest::newRow("no size fact")
            << QStringLiteral("250-Begin\r\n type=dir;modify=20261209; sub\r\n250 End")
            << qint64(-1);
        QTest::newRow("name looks like a fact")
            << QStringLiteral("250-x\r\n type=file; size=9.zip\r\n250 End") << qint64(-1);
    }
    void readsTheSizeFact()
    {
        QFETCH(QString, reply);
        QFETCH(qint64, size);
        QCOMPARE(mlstSize(reply), size);
    }

    void readsTheSizeColumn_data()
    {
        QTest::addColumn<QByteArray>("listing");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("empty");
        QTest::newRow("pyftpdlib") << QByteArray("-rw-r--r--   1 root     root       123456 Dec 09 "
                                                 "21:00 Norvex-a-1-.zip\r\n")
                                   << qint64(123456) << false;
        QTest::newRow("pure-ftpd, old year")
            << QByteArray("-rw-------    1 65534      65534        99999 Jan  2  2025 a.zip\r\n")
            << qint64(99999) << false;
        QTest::newRow("no group column")
            << QByteArray("-rw-r--r-- 1 ftp 4294967296 Dec 9 21:00 a.zip\n") << qint64(4294967296)
            << false;
        QTest::newRow("owner named like a month")
            << QByteArray("-rw-r--r-- 1 may staff 77 Jun 10 10:00 a.zip\n") << qint64(77) << false;
        QTest::newRow("total line first")
            << QByteArray("total 8\r\n-rw-r--r-- 1 u g 8 Dec 9 21:00 a.zip\r\n") << qint64(8)
            << false;
        QTest::newRow("MS-DOS") << QByteArray("12-09-26  09:00PM              5555 a.zip\r\n")
                                << qint64(5555) << false;
        QTest::newRow("MS-DOS folder")
            << QByteArray("12-09-2026  09:00PM       <DIR>          sub\r\n") << qint64(-1)
            << false;
        QTest::newRow("empty (missing file)") << QByteArray() << qint64(-1) << true;
        QTest::newRow("unknown form") << QByteArray("a.zip\r\n") << qint64(-1) << false;
    }
    void readsTheSizeColumn()
    {
        QFETCH(QByteArray, listing);
        QFETCH(qint64, size);
        QFETCH(bool, empty);
        bool wasEmpty = !empty;
        QCOMPARE(listSize(listing, &wasEmpty), size);
        QCOMPARE(wasEmpty, empty);
    }

    // The files of a folder listing, as the restore lists generations.
    void listsTheFilesOfAFolder_data()
    {
        QTest::addColumn<bool>("mlsd");
        QTest::addColumn<QByteArray>("listing");
        QTest::addColumn<QStringList>("files"); // "name size yyyy-MM-ddTHH:mm:ss"
        QTest::newRow("MLSD, pyftpdlib")
            << true
            << QByteArray("type=dir;modify=20261209120000;perm=el; sub\r\n"
                          "type=file;size=1234;modify=20261209213000;perm=radfw; a b.zip\r\n"
                          "type=cdir;modify=20261209120000; .\r\n")
            << QStringList{"a b.zip 1234 2026-12-09T21:30:00Z"};
        QTest::newRow("MLSD, upper case, fractions")
            << true << QByteArray("Type=file;Size=5000000000;Modify=20261209213000.123; x.7z\n")
            << QStringList{"x.7z 5000000000 2026-12-09T21:30:00Z"};
        QTest::newRow("LIST, this year and an older one")
            << false
            << QByteArray("total 12\r\n"
                          "drwxr-xr-x    2 1000     1000         4096 Dec 09 10:00 sub\r\n"
                          "-rw-------    1 1000     1000         1234 Dec 09 21:30 a  b.zip\r\n"
                          "-rw-r--r--    1 ftp      ftp        999999 May 01  2025 old.zip\r\n"
                          "lrwxrwxrwx    1 1000     1000            5 Dec 09 10:00 l -> x\r\n")
            << QStringList{"a  b.zip 1234 2026-12-09T21:30:00",
                           "old.zip 999999 2025-05-01T00:00:00"};
        QTest::newRow("LIST, a time from last year")
            << false << QByteArray("-rw-r--r-- 1 u g 7 Dec 31 23:59 n.zip\n")
            << QStringList{"n.zip 7 2025-12-31T23:59:00"};
    }
    void listsTheFilesOfAFolder()
    {
        QFETCH(bool, mlsd);
        QFETCH(QByteArray, listing);
        QFETCH(QStringList, files);
        // Listed on 10 December 2026 (a time after "now" is last year's).
        const QDateTime now(QDate(2026, 12, 10), QTime(4, 0));
        const QList<FtpListEntry> got = mlsd ? mlsdFiles(listing) : listFiles(listing, now);
        QStringList texts;
        for (const FtpListEntry &e : got)
            texts << QStringLiteral("%1 %2 %3")
                         .arg(e.name)
                         .arg(e.size)
                         .arg(e.modified.toString(Qt::ISODate));
        QCOMPARE(texts, files);
    }
};

QTEST_GUILESS_MAIN(FtpListingTest)
#include "FtpListingTest.moc"
