// Passive data connections and hosts with several addresses, against fakes of peer
// behaviour real test servers do not show. Runs in a network namespace with only its
// loopback, where tests/fakes/hosts names twofamilies.norvex.test (see CMakeLists.txt).
#include "FtpTestSupport.h"
#include "TestPorts.h"
#include "fakes/FakeFtpServer.h"

#include <QtTest>

using namespace norvex::transfer;

class FtpPassiveFaultTest : public QObject
{
    Q_OBJECT

    QString m_home = qEnvironmentVariable("NORVEX_HOME");

    // A client in passive mode for the fake, logged in, with a small file to put as f.zip;
    // every command it sends goes to *commands.
    std::unique_ptr<TFtpClient> passiveClient(const FakeFtpServer &fake, QStringList *commands)
    {
        auto ftp = ftpClientFor(fake.port(), QStringLiteral("u"), QStringLiteral("p"));
        ftp->DataMode = norvex::shared::FtpDataMode::Passive;
        ftp->OnCommand = [commands](TCustomFtpCli *, const QString &line) { *commands << line; };
        if (!ftp->Connect())
            qWarning() << "Connect failed:" << ftp->ErrorMessage();
        ftp->LocalFileName = m_home + QStringLiteral("f.zip");
        if (!writeFile(ftp->LocalFileName, randomBytes(500000)))
            qWarning() << "cannot write" << ftp->LocalFileName;
        ftp->HostFileName = QStringLiteral("f.zip");
        return ftp;
    }

private slots:
    void passiveAddressChoice_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("peer");
        QTest::addColumn<QString>("expected");
        QTest::newRow("public, as named") << "198.51.100.7"
                                          << "203.0.113.5"
                                          << "198.51.100.7";
        QTest::newRow("the peer itself") << "10.0.0.5"
                                         << "10.0.0.5"
                                         << "10.0.0.5";
        QTest::newRow("RFC 1918 10/8") << "10.1.2.3"
                                       << "203.0.113.5"
                                       << "203.0.113.5";
        QTest::newRow("RFC 1918 172.16/12") << "172.31.0.1"
                                            << "203.0.113.5"
                                            << "203.0.113.5";
        QTest::newRow("172.32 is public") << "172.32.0.1"
                                          << "203.0.113.5"
                                          << "172.32.0.1";
        QTest::newRow("RFC 1918 192.168/16") << "192.168.1.10"
                                             << "203.0.113.5"
                                             << "203.0.113.5";
        QTest::newRow("shared 100.64/10") << "100.127.0.1"
                                          << "203.0.113.5"
                                          << "203.0.113.5";
        QTest::newRow("100.128 is public") << "100.128.0.1"
                                           << "203.0.113.5"
                                           << "100.128.0.1";
        QTest::newRow("link-local") << "169.254.3.4"
                                    << "203.0.113.5"
                                    << "203.0.113.5";
        QTest::newRow("0.0.0.0") << "0.0.0.0"
                                 << "203.0.113.5"
                                 << "203.0.113.5";
        QTest::newRow("loopback from afar") << "127.0.0.1"
                                            << "203.0.113.5"
                                            << "203.0.113.5";
        QTest::newRow("loopback to loopback") << "127.0.0.2"
                                              << "127.0.0.1"
                                              << "127.0.0.2";
        QTest::newRow("private peer, other private") << "192.168.0.9"
                                                     << "10.0.0.5"
                                                     << "10.0.0.5";
    }
    void passiveAddressChoice()
    {
        QFETCH(QString, reply);
        QFETCH(QString, peer);
        QFETCH(QString, expected);
        QCOMPARE(FtpPassiveAddress(reply, peer), expected);
    }

    // A server that knows only PASV and names its private address: the upload goes to the
    // address the control connection reached, and EPSV is not tried again in the session.
    void privatePasvAddressLeadsToTheControlPeer()
    {
        FakeFtpServer fake(QStringLiteral("PrivatePasvAddressServer"));
        QVERIFY(!fake.port().isEmpty());
        QStringList commands;
        QStringList shown;
        auto ftp = passiveClient(fake, &commands);
        QVERIFY(ftp->Connected());
        ftp->OnDisplay = [&](TCustomFtpCli *, const QString &line) { shown << line; };
        for (const QString &name : {QStringLiteral("f.zip"), QStringLiteral("g.zip")}) {
            ftp->HostFileName = name;
            QVERIFY2(ftp->Put(), qPrintable(ftp->ErrorMessage()));
            QCOMPARE(ftp->LastResponse(), QStringLiteral("226 stored 500000 bytes"));
        }
        QCOMPARE(commands, (QStringList{"USER u", "PASS p", "EPSV", "PASV", "STOR f.zip", "PASV",
                                        "STOR g.zip"}));
        QCOMPARE(shown.filter(QStringLiteral("! Data connection to 127.0.0.1 port ")).size(), 2);
        QVERIFY(ftp->Quit());
    }

    // A name with an IPv6 and an IPv4 address: when the first refuses or does not answer,
    // the second is tried, within the one time-out of the whole request.
    void secondAddressServesWhenTheFirstFails_data()
    {
        QTest::addColumn<QString>("fake");
        QTest::addColumn<int>("timeout");
        QTest::newRow("::1 refuses") << "FakeFtpServer" << 15;
        QTest::newRow("::1 does not answer") << "UnansweredIPv6AddressServer" << 8;
    }
    void secondAddressServesWhenTheFirstFails()
    {
        QFETCH(QString, fake);
        QFETCH(int, timeout);
        QStringList addresses;
        QCOMPARE(WSocketLookUp("twofamilies.norvex.test", &addresses), 0);
        QCOMPARE(addresses, (QStringList{"::1", "127.0.0.1"}));

        FakeFtpServer server(fake);
        QVERIFY(!server.port().isEmpty());
        auto ftp = ftpClientFor(server.port(), QStringLiteral("u"), QStringLiteral("p"));
        ftp->HostName = QStringLiteral("twofamilies.norvex.test");
        ftp->Timeout = timeout;
        QStringList shown;
        ftp->OnDisplay = [&](TCustomFtpCli *, const QString &line) { shown << line; };
        QVERIFY2(ftp->Connect(), qPrintable(ftp->ErrorMessage()));
        QCOMPARE(ftp->StatusCode(), 230);
        if (fake == QLatin1String("UnansweredIPv6AddressServer"))
            QCOMPARE(shown.filter(QStringLiteral("! No answer from ::1")).size(), 1);
        QVERIFY(ftp->Quit());
    }

    // Both addresses down: the error of the last one, as for a single address.
    void everyAddressRefusedIsAConnectError()
    {
        auto ftp = ftpClientFor(QString::number(norvex::tests::closedLoopbackPort()),
                                QStringLiteral("u"), QStringLiteral("p"));
        ftp->HostName = QStringLiteral("twofamilies.norvex.test");
        QVERIFY(!ftp->Connect());
        QCOMPARE(ftp->ErrorMessage(),
                 QStringLiteral("500 Connect error - Connection refused (#10061)"));
    }

    // A data connection that never comes up ends with the time-out, naming where it went.
    void unansweredPassiveDataConnectionTimesOut()
    {
        FakeFtpServer fake(QStringLiteral("UnansweredPassivePortServer"));
        QVERIFY(!fake.port().isEmpty());
        QStringList commands;
        auto ftp = passiveClient(fake, &commands);
        QVERIFY(ftp->Connected());
        ftp->Timeout = 2;
        QVERIFY(!ftp->Put());
        QVERIFY2(QRegularExpression(QStringLiteral("^426 Timeout - no data connection to "
                                                   "127\\.0\\.0\\.1 port \\d+$"))
                     .match(ftp->ErrorMessage())
                     .hasMatch(),
                 qPrintable(ftp->ErrorMessage()));
        QCOMPARE(ftp->StatusCode(), 426);
        QVERIFY(!ftp->Connected()); // the time-out aborts both connections, as always
    }

    void refusedPassiveDataConnectionFailsClearly()
    {
        FakeFtpServer fake(QStringLiteral("PassiveToClosedPortServer"));
        QVERIFY(!fake.port().isEmpty());
        QStringList commands;
        auto ftp = passiveClient(fake, &commands);
        QVERIFY(ftp->Connected());
        QVERIFY(!ftp->Put());
        QVERIFY2(QRegularExpression(QStringLiteral("^425 Cannot open the data connection to "
                                                   "127\\.0\\.0\\.1 port \\d+ - Connection "
                                                   "refused \\(#10061\\)$"))
                     .match(ftp->ErrorMessage())
                     .hasMatch(),
                 qPrintable(ftp->ErrorMessage()));
        QCOMPARE(ftp->StatusCode(), 425);
        QCOMPARE(commands.last(), QStringLiteral("EPSV")); // no STOR without a data connection
        QVERIFY(ftp->Connected());
        QCOMPARE(ftp->State(), TFtpState::ftpReady);
    }
};

QTEST_GUILESS_MAIN(FtpPassiveFaultTest)
#include "FtpPassiveFaultTest.moc"
