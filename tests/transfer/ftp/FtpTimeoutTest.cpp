// The 15-second limit of the blocking operations: whole request, or inactivity in an upload.
#include "FtpTestSupport.h"
#include "fakes/FakeFtpServer.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace norvex::transfer;

class FtpTimeoutTest : public QObject
{
    Q_OBJECT

private slots:
    void silentServerTimesOutAfterFifteenSeconds()
    {
        FakeFtpServer fake(QStringLiteral("SilentServer"));
        QVERIFY(!fake.port().isEmpty());
        auto ftp = ftpClientFor(fake.port(), QStringLiteral("u"), QStringLiteral("p"));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!ftp->Connect());
        const qint64 waited = clock.elapsed();
        QCOMPARE(ftp->ErrorMessage(), QStringLiteral("426 Timeout"));
        QCOMPARE(ftp->StatusCode(), 426);
        QVERIFY2(waited >= 14500 && waited < 30000, qPrintable(QString::number(waited)));
        QVERIFY(!ftp->Connected());
        QCOMPARE(ftp->State(), TFtpState::ftpReady);
    }

    // Longer than the limit in total, but never idle for long: about 20 s at ~320 KB/s; and
    // about 30 s at ~64 KB/s with the whole file handed over at once, which the loopback
    // socket takes in whole and then sends for far longer than 15 s after the last handover.
    void slowButSteadyUploadDoesNotTimeOut_data()
    {
        QTest::addColumn<QString>("fake");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("handover");
        QTest::newRow("320 KB/s") << QStringLiteral("SlowReaderServer") << 6 * 1024 * 1024
                                  << 256 * 1024;
        QTest::newRow("64 KB/s, one handover")
            << QStringLiteral("TrickleReaderServer") << 2 * 1024 * 1024 << 2 * 1024 * 1024;
    }
    void slowButSteadyUploadDoesNotTimeOut()
    {
        QFETCH(QString, fake);
        QFETCH(int, size);
        QFETCH(int, handover);
        FakeFtpServer server(fake);
        QVERIFY(!server.port().isEmpty());
        auto ftp = ftpClientFor(server.port(), QStringLiteral("u"), QStringLiteral("p"));
        ftp->UploadHandover = handover;
        QVERIFY(ftp->Connect());
        const QString local = qEnvironmentVariable("NORVEX_HOME") + QStringLiteral("slow.zip");
        QVERIFY(writeFile(local, randomBytes(size)));
        ftp->LocalFileName = local;
        ftp->HostFileName = QStringLiteral("slow.zip");
        QElapsedTimer clock;
        clock.start();
        QVERIFY2(ftp->Put(), qPrintable(ftp->ErrorMessage()));
        QVERIFY2(clock.elapsed() > 15000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(ftp->LastResponse(), QStringLiteral("226 stored %1 bytes").arg(size));
        QVERIFY(ftp->Quit());
    }
};

QTEST_GUILESS_MAIN(FtpTimeoutTest)
#include "FtpTimeoutTest.moc"
