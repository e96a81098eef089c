// TFtpClient against small fake servers for faults real servers do not produce.
#include "FtpTestSupport.h"
#include "fakes/FakeFtpServer.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

using namespace norvex::transfer;

class FtpFaultTest : public QObject
{
    Q_OBJECT

    QString m_home = qEnvironmentVariable("NORVEX_HOME");

private slots:
    void multiLineGreetingEndsAtItsLastLine()
    {
        FakeFtpServer fake(QStringLiteral("MultiLineGreetingServer"));
        QVERIFY(!fake.port().isEmpty());
        auto ftp = ftpClientFor(fake.port());
        QVERIFY2(ftp->Open(), qPrintable(ftp->ErrorMessage()));
        QCOMPARE(ftp->LastResponse(), QStringLiteral("220 ready"));
        QCOMPARE(ftp->ResponseText(), QStringLiteral("220-Welcome to the\r\n220-multi-line "
                                                     "greeting\r\n  indented text\r\n220 ready"));
    }

    void refusingGreetingFailsOpenWithItsLine()
    {
        FakeFtpServer fake(QStringLiteral("RefusingGreetingServer"));
        QVERIFY(!fake.port().isEmpty());
        auto ftp = ftpClientFor(fake.port(), QStringLiteral("u"), QStringLiteral("p"));
        QVERIFY(!ftp->Open());
        QCOMPARE(ftp->ErrorMessage(), QStringLiteral("421 Too many connections, try later"));
        QCOMPARE(ftp->StatusCode(), 421);
        QVERIFY(!ftp->Connected());
        QVERIFY(!ftp->Connect());
        QCOMPARE(ftp->ErrorMessage(), QStringLiteral("421 Too many connections, try later"));
    }

    void awkwardReplyFramingWorksLikeCrLfLines_data()
    {
        QTest::addColumn<QString>("fake");
        QTest::newRow("single bytes") << QStringLiteral("SplitReplyServer");
        QTest::newRow("LF only") << QStringLiteral("LfOnlyServer");
    }
    void awkwardReplyFramingWorksLikeCrLfLines()
    {
        QFETCH(QString, fake);
        FakeFtpServer server(fake);
        QVERIFY(!server.port().isEmpty());
        auto ftp = ftpClientFor(server.port(), QStringLiteral("u"), QStringLiteral("p"));
        QVERIFY2(ftp->Connect(), qPrintable(ftp->ErrorMessage()));
        QCOMPARE(ftp->StatusCode(), 230);
        QVERIFY(ftp->TypeBinary());
        ftp->HostDirName = QStringLiteral("sub");
        QVERIFY(ftp->Cwd());
        QCOMPARE(ftp->LastResponse(), QStringLiteral("250 okay"));
        const QString local = m_home + QStringLiteral("f.zip");
        QVERIFY(writeFile(local, randomBytes(100000)));
        ftp->LocalFileName = local;
        ftp->HostFileName = QStringLiteral("f.zip");
        QVERIFY2(ftp->Put(), qPrintable(ftp->ErrorMessage()));
        QCOMPARE(ftp->LastResponse(), QStringLiteral("226 stored 100000 bytes"));
        QVERIFY(ftp->Quit());
        QCOMPARE(ftp->StatusCode(), 221);
    }

    // A server that accepts AUTH TLS but does not speak TLS: the handshake fails, the
    // connection is dropped, and the login never goes out.
    void failedTlsHandshakeSendsNoLogin()
    {
        FakeFtpServer fake(QStringLiteral("ClearTextAfterAuthTlsServer"));
        QVERIFY(!fake.port().isEmpty());
        auto ftp = ftpClientFor(fake.port(), QStringLiteral("u"), QStringLiteral("p"));
        ftp->Security = norvex::shared::FtpSecurity::ExplicitTls;
        ftp->KnownCertsFile = m_home + QStringLiteral("known_certs");
        QStringList commands;
        ftp->OnCommand = [&](TCustomFtpCli *, const QString &line) { commands << line; };
        QVERIFY(!ftp->Connect());
        QVERIFY2(ftp->ErrorMessage().startsWith(
                     QStringLiteral("500 TLS handshake with the server failed - TLS handshake "
                                    "failed: ")),
                 qPrintable(ftp->ErrorMessage()));
        QCOMPARE(commands, QStringList{QStringLiteral("AUTH TLS")});
        QVERIFY(!ftp->Connected());
        QVERIFY(ftp->PendingCertificate().isEmpty());
        QVERIFY(!QFile::exists(ftp->KnownCertsFile));
    }

    void serverThatCannotConnectBackFailsPutWith425()
    {
        FakeFtpServer fake(QStringLiteral("NoConnectBackServer"));
        QVERIFY(!fake.port().isEmpty());
        auto ftp = ftpClientFor(fake.port(), QStringLiteral("u"), QStringLiteral("p"));
        QVERIFY(ftp->Connect());
        const QString local = m_home + QStringLiteral("f.zip");
        QVERIFY(writeFile(local, "abc"));
        ftp->LocalFileName = local;
        ftp->HostFileName = QStringLiteral("f.zip");
        QVERIFY(!ftp->Put());
        QCOMPARE(ftp->ErrorMessage(), QStringLiteral("425 Can't open data connection."));
        QCOMPARE(ftp->StatusCode(), 425);
        QVERIFY(ftp->Connected());
    }

    void controlConnectionClosedDuringUploadFailsPut()
    {
        FakeFtpServer fake(QStringLiteral("ClosingMidwayServer"));
        QVERIFY(!fake.port().isEmpty());
        auto ftp = ftpClientFor(fake.port(), QStringLiteral("u"), QStringLiteral("p"));
        QVERIFY(ftp->Connect());
        const QString local = m_home + QStringLiteral("f.zip");
        QVERIFY(writeFile(local, randomBytes(8 * 1024 * 1024)));
        ftp->LocalFileName = local;
        ftp->HostFileName = QStringLiteral("f.zip");
        QVERIFY(!ftp->Put());
        QVERIFY2(ftp->ErrorMessage().startsWith(QStringLiteral("500 Control connection closed")),
                 qPrintable(ftp->ErrorMessage()));
        QVERIFY(!ftp->Connected());
        QCOMPARE(ftp->State(), TFtpState::ftpReady);
    }

    // A 226 for a file that did not arrive whole must not count as stored.
    void truncatedUploadFailsDespiteA226()
    {
        FakeFtpServer fake(QStringLiteral("TruncatingServer"));
        QVERIFY(!fake.port().isEmpty());
        auto ftp = ftpClientFor(fake.port(), QStringLiteral("u"), QStringLiteral("p"));
        QVERIFY(ftp->Connect());
        const QString local = m_home + QStringLiteral("f.zip");
        QVERIFY(writeFile(local, randomBytes(32 * 1024 * 1024)));
        ftp->LocalFileName = local;
        ftp->HostFileName = QStringLiteral("f.zip");
        QVERIFY(!ftp->Put());
        QVERIFY2(ftp->ErrorMessage().startsWith(QStringLiteral("426 Data connection closed")),
                 qPrintable(ftp->ErrorMessage()));
        QCOMPARE(ftp->StatusCode(), 426);
        QVERIFY(ftp->Connected());
    }

    void quitAfterTheServerClosedSucceedsWithoutSending()
    {
        FakeFtpServer fake(QStringLiteral("ClosingAfterLoginServer"));
        QVERIFY(!fake.port().isEmpty());
        auto ftp = ftpClientFor(fake.port(), QStringLiteral("u"), QStringLiteral("p"));
        QStringList commands;
        ftp->OnCommand = [&](TCustomFtpCli *, const QString &line) { commands << line; };
        QVERIFY(ftp->Connect());
        QVERIFY(ftp->TypeBinary());
        QTRY_VERIFY(!ftp->Connected());
        QVERIFY(ftp->Quit());
        QCOMPARE(ftp->StatusCode(), 200);
        QCOMPARE(commands, (QStringList{QStringLiteral("USER u"), QStringLiteral("PASS p"),
                                        QStringLiteral("TYPE I")}));
        // Other commands on the closed connection are refused.
        ftp->HostFileName = QStringLiteral("x");
        QVERIFY(!ftp->Mkd());
    }

    // An event handler that runs while the client waits (as a scheduler tick may) can abort
    // it; a blocking call on the same client from there is refused.
    void abortFromInsideTheWaitEndsTheRequest()
    {
        FakeFtpServer fake(QStringLiteral("SilentServer"));
        QVERIFY(!fake.port().isEmpty());
        auto ftp = ftpClientFor(fake.port(), QStringLiteral("u"), QStringLiteral("p"));
        bool nestedResult = true;
        QTimer::singleShot(300, [&] {
            nestedResult = ftp->Mkd();
            ftp->Abort();
        });
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!ftp->Connect());
        QVERIFY(clock.elapsed() < 10000);
        QVERIFY(!nestedResult);
        QCOMPARE(ftp->ErrorMessage(), QStringLiteral("426 Operation aborted."));
        QCOMPARE(ftp->StatusCode(), 426);
        QCOMPARE(ftp->State(), TFtpState::ftpReady);
    }

    // USER answered with 230 completes the login: no PASS, and no ACCT for an empty account.
    void loginCompleteAfterUserNeedsNoPassOrAccount()
    {
        FakeFtpServer fake(QStringLiteral("UserOnlyLoginServer"));
        QVERIFY(!fake.port().isEmpty());
        auto ftp = ftpClientFor(fake.port(), QStringLiteral("u"), QStringLiteral("p"));
        QStringList commands;
        ftp->OnCommand = [&](TCustomFtpCli *, const QString &line) { commands << line; };
        QVERIFY2(ftp->Connect(), qPrintable(ftp->ErrorMessage()));
        QCOMPARE(commands, QStringList{QStringLiteral("USER u")});
    }

    void accountIsSentWhenThePasswordAsksForIt()
    {
        FakeFtpServer fake(QStringLiteral("AccountRequiredServer"));
        QVERIFY(!fake.port().isEmpty());
        auto ftp = ftpClientFor(fake.port(), QStringLiteral("u"), QStringLiteral("p"));
        QStringList commands;
        ftp->OnCommand = [&](TCustomFtpCli *, const QString &line) { commands << line; };
        // Without an account the login cannot complete: a failure that says why.
        QVERIFY(!ftp->Connect());
        QCOMPARE(ftp->ErrorMessage(), QStringLiteral("Account empty!"));
        QCOMPARE(commands, (QStringList{QStringLiteral("USER u"), QStringLiteral("PASS p")}));
        QVERIFY(ftp->Abort());
        commands.clear();
        ftp->Account = QStringLiteral("acc");
        QVERIFY2(ftp->Connect(), qPrintable(ftp->ErrorMessage()));
        QCOMPARE(commands, (QStringList{QStringLiteral("USER u"), QStringLiteral("PASS p"),
                                        QStringLiteral("ACCT acc")}));
    }
};

QTEST_GUILESS_MAIN(FtpFaultTest)
#include "FtpFaultTest.moc"
