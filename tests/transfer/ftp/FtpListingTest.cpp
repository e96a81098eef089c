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
};

QTEST_GUILESS_MAIN(FtpListingTest)
#include "FtpListingTest.moc"
