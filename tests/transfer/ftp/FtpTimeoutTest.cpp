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

    // About 20 s of upload at ~320 KB/s: longer than the limit, but never idle for long.
    void slowButSteadyUploadDoesNotTimeOut()
    {
        FakeFtpServer fake(QStringLiteral("SlowReaderServer"));
        QVERIFY(!fake.port().isEmpty());
        auto ftp = ftpClientFor(fake.port(), QStringLiteral("u"), QStringLiteral("p"));
        QVERIFY(ftp->Connect());
        const QString local = qEnvironmentVariable("NORVEX_HOME") + QStringLiteral("slow.zip");
        const qsizetype size = 6 * 1024 * 1024;
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
