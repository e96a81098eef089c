// TFtpClient's data connection modes, IPv6 and explicit TLS against real servers: pyftpdlib
// and pure-ftpd on 127.0.0.1, pyftpdlib on ::1, vsftpd and pure-ftpd requiring TLS for the
// login and the data (vsftpd also requiring the data connections to resume the session and
// to end with close_notify).
#include "FtpTestSupport.h"
#include "transfer/CertTrust.h"
#include "transfer/FtpListing.h"

#include <QtTest>

using namespace norvex::transfer;
using norvex::shared::FtpDataMode;
using norvex::shared::FtpSecurity;

namespace {

// The fingerprint of the certificate the TLS servers present, from its PEM file.
QString serverFingerprint()
{
    QFile pem(readFtpServersEnv().value(QStringLiteral("FTPS_CERT")));
    if (!pem.open(QIODevice::ReadOnly))
        return {};
    QByteArray base64;
    bool inside = false;
    for (const QByteArray &line : pem.readAll().split('\n')) {
        if (line.startsWith("-----BEGIN CERTIFICATE"))
            inside = true;
        else if (line.startsWith("-----END CERTIFICATE"))
            break;
        else if (inside)
            base64 += line.trimmed();
    }
    return certificateFingerprint(QByteArray::fromBase64(base64));
}

} // namespace

class FtpModesTest : public QObject
{
    Q_OBJECT

    QString m_home = qEnvironmentVariable("NORVEX_HOME");

    FtpServer server(const QString &name)
    {
        FtpServer s = ftpServer(name);
        if (s.port.isEmpty())
            qFatal("FTP test servers are not running (fixture FtpServersStart, "
                   "tests/servers/ftp-start.sh)");
        return s;
    }

    std::unique_ptr<TFtpClient> client(const FtpServer &s, const QString &host, bool tls,
                                       QStringList *commands)
    {
        auto ftp = ftpClientFor(s.port, s.user, s.password);
        ftp->HostName = host;
        ftp->Security = tls ? FtpSecurity::ExplicitTls : FtpSecurity::None;
        ftp->KnownCertsFile = m_home + QStringLiteral("known_certs");
        ftp->OnCommand = [commands](TCustomFtpCli *, const QString &line) { *commands << line; };
        return ftp;
    }

private slots:
    void init() { QFile::remove(m_home + QStringLiteral("known_certs")); }

    void uploadsAndListsInEveryMode_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("passive");
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QString>("dataCommand"); // what opens each data connection
        const QString port4 = QStringLiteral("^PORT 127,0,0,1,\\d+,\\d+$");
        const QString eprt6 = QStringLiteral("^EPRT \\|2\\|::1\\|\\d+\\|$");
        const QString epsv = QStringLiteral("^EPSV$");
        QTest::newRow("pyftpdlib active") << "pyftpdlib"
                                          << "127.0.0.1" << false << false << port4;
        QTest::newRow("pyftpdlib passive") << "pyftpdlib"
                                           << "127.0.0.1" << true << false << epsv;
        QTest::newRow("pure-ftpd active") << "pure-ftpd"
                                          << "127.0.0.1" << false << false << port4;
        QTest::newRow("pure-ftpd passive") << "pure-ftpd"
                                           << "127.0.0.1" << true << false << epsv;
        QTest::newRow("::1 active") << "pyftpdlib-ipv6"
                                    << "::1" << false << false << eprt6;
        QTest::newRow("::1 passive") << "pyftpdlib-ipv6"
                                     << "::1" << true << false << epsv;
        QTest::newRow("[::1] passive") << "pyftpdlib-ipv6"
                                       << "[::1]" << true << false << epsv;
        QTest::newRow("vsftpd TLS active") << "vsftpd-tls"
                                           << "127.0.0.1" << false << true << port4;
        QTest::newRow("vsftpd TLS passive") << "vsftpd-tls"
                                            << "127.0.0.1" << true << true << epsv;
        QTest::newRow("vsftpd TLS ::1 active") << "vsftpd-tls-ipv6"
                                               << "::1" << false << true << eprt6;
        QTest::newRow("vsftpd TLS [::1] passive") << "vsftpd-tls-ipv6"
                                                  << "[::1]" << true << true << epsv;
        QTest::newRow("pure-ftpd TLS active") << "pure-ftpd-tls"
                                              << "127.0.0.1" << false << true << port4;
        QTest::newRow("pure-ftpd TLS passive") << "pure-ftpd-tls"
                                               << "127.0.0.1" << true << true << epsv;
    }
    void uploadsAndListsInEveryMode()
    {
        QFETCH(QString, server);
        QFETCH(QString, host);
        QFETCH(bool, passive);
        QFETCH(bool, tls);
        QFETCH(QString, dataCommand);
        const FtpServer s = this->server(server);
        QStringList commands;
        QStringList shown;
        auto ftp = client(s, host, tls, &commands);
        ftp->DataMode = passive ? FtpDataMode::Passive : FtpDataMode::Active;
        ftp->OnDisplay = [&](TCustomFtpCli *, const QString &line) { shown << line; };
        QVERIFY2(ftp->Connect(), qPrintable(ftp->ErrorMessage()));
        if (tls) {
            QCOMPARE(ftp->NewlyTrustedCertificate(), serverFingerprint());
            QCOMPARE(commands, (QStringList{"AUTH TLS", "USER " + s.user, "PASS " + s.password,
                                            "PBSZ 0", "PROT P"}));
        }
        QVERIFY2(ftp->TypeBinary(), qPrintable(ftp->ErrorMessage()));

        // Several data connections in one session: each must resume the TLS session.
        const QString stem = uniqueName(QStringLiteral("mode"));
        const QList<QByteArray> contents = {QByteArray(), randomBytes(1460 * 3 + 1),
                                            randomBytes(3 * 1024 * 1024 + 7)};
        for (qsizetype i = 0; i < contents.size(); ++i) {
            const QString name = stem + QString::number(i) + QStringLiteral(".zip");
            QVERIFY(writeFile(m_home + name, contents[i]));
            ftp->LocalFileName = m_home + name;
            ftp->HostFileName = name;
            QVERIFY2(ftp->Put(), qPrintable(name + QStringLiteral(": ") + ftp->ErrorMessage()));
            QFile stored(s.root + QLatin1Char('/') + name);
            QVERIFY2(stored.open(QIODevice::ReadOnly), qPrintable(stored.fileName()));
            QVERIFY2(stored.readAll() == contents[i], qPrintable(name));
        }
        ftp->HostFileName = stem + QStringLiteral("2.zip");
        QVERIFY2(ftp->List(), qPrintable(ftp->ErrorMessage()));
        QCOMPARE(listSize(ftp->ListingData()), contents[2].size());

        const QRegularExpression opener(dataCommand);
        const QStringList opened = commands.filter(opener);
        QCOMPARE(opened.size(), contents.size() + 1);
        QVERIFY2(
            commands.filter(QRegularExpression(QStringLiteral("^(PORT|EPRT|EPSV|PASV)"))).size() ==
                opened.size(),
            qPrintable(commands.join(QLatin1Char('|'))));
        // vsftpd refuses a data connection that does not resume the session; pure-ftpd
        // 1.0.50 issues no TLS 1.3 session tickets, so there every one is a new session.
        const QString session = server.startsWith(QLatin1String("vsftpd"))
                                    ? QStringLiteral("resumed")
                                    : QStringLiteral("new");
        if (tls)
            QCOMPARE(shown.filter(QStringLiteral("Data connection TLS, session ") + session).size(),
                     opened.size());
        QVERIFY2(ftp->Quit(), qPrintable(ftp->ErrorMessage()));
    }

    // The job asks for TLS and the server has none (pyftpdlib without TLS): the session ends
    // after the refusal, and neither the user name nor the password went out.
    void refusedAuthTlsSendsNoLogin()
    {
        const FtpServer s = server(QStringLiteral("pyftpdlib"));
        QStringList commands;
        auto ftp = client(s, QStringLiteral("127.0.0.1"), true, &commands);
        QVERIFY(!ftp->Connect());
        QVERIFY2(ftp->ErrorMessage().startsWith(QLatin1Char('5')) &&
                     ftp->ErrorMessage().contains(QStringLiteral("refused AUTH TLS")),
                 qPrintable(ftp->ErrorMessage()));
        QVERIFY(!ftp->Connected());
        // Step by step (the window's check) ends the same way, and USER is refused after it.
        QVERIFY(ftp->Abort());
        QVERIFY(!ftp->Open());
        QVERIFY(!ftp->User());
        QVERIFY(!ftp->Pass());
        QCOMPARE(commands, (QStringList{"AUTH TLS", "AUTH TLS"}));
    }

    void certificateTrust_data()
    {
        QTest::addColumn<QString>("recorded"); // "presented" stands for the server's own
        QTest::addColumn<bool>("ask");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<bool>("recordsIt");
        const QString other =
            QStringLiteral("SHA256:") + QStringLiteral("AB:").repeated(31) + QStringLiteral("CD");
        QTest::newRow("unknown, service trusts on first use") << "" << false << true << true;
        QTest::newRow("unknown, window asks") << "" << true << false << false;
        QTest::newRow("recorded, service") << "presented" << false << true << false;
        QTest::newRow("recorded, window") << "presented" << true << true << false;
        QTest::newRow("changed, service") << other << false << false << false;
        QTest::newRow("changed, window") << other << true << false << false;
    }
    void certificateTrust()
    {
        QFETCH(QString, recorded);
        QFETCH(bool, ask);
        QFETCH(bool, opens);
        QFETCH(bool, recordsIt);
        const FtpServer s = server(QStringLiteral("vsftpd-tls"));
        const QString presented = serverFingerprint();
        QVERIFY(!presented.isEmpty());
        const QString file = m_home + QStringLiteral("known_certs");
        const int port = s.port.toInt();
        if (recorded == QLatin1String("presented"))
            recorded = presented;
        if (!recorded.isEmpty())
            QVERIFY(recordCertificate(file, QStringLiteral("127.0.0.1"), port, recorded));

        QStringList commands;
        auto ftp = client(s, QStringLiteral("127.0.0.1"), true, &commands);
        ftp->AskBeforeTrusting = ask;
        QCOMPARE(ftp->Connect(), opens);
        QCOMPARE(ftp->Connected(), opens);
        QCOMPARE(ftp->NewlyTrustedCertificate(), recordsIt ? presented : QString());
        QCOMPARE(recordedCertificate(file, QStringLiteral("127.0.0.1"), port),
                 recordsIt ? presented : recorded);
        if (opens) {
            QVERIFY(ftp->PendingCertificate().isEmpty());
            QVERIFY(commands.contains("PASS " + s.password));
            QVERIFY(ftp->Quit());
            return;
        }
        // Nothing of the login went out, and the certificate is there to be shown.
        QCOMPARE(commands, QStringList{"AUTH TLS"});
        const TFtpCertificate &pending = ftp->PendingCertificate();
        QCOMPARE(pending.fingerprint, presented);
        QCOMPARE(pending.recorded, recorded);
        QVERIFY2(pending.subject.contains(QStringLiteral("CN = localhost")),
                 qPrintable(pending.subject));
        QCOMPARE(pending.verifyError, QStringLiteral("self-signed certificate"));
        QVERIFY2(ftp->ErrorMessage().contains(QStringLiteral("127.0.0.1")) &&
                     ftp->ErrorMessage().contains(presented),
                 qPrintable(ftp->ErrorMessage()));
        if (!recorded.isEmpty()) {
            QVERIFY2(ftp->ErrorMessage().contains(recorded), qPrintable(ftp->ErrorMessage()));
            return;
        }
        // The window's way on: the person says yes, the fingerprint is recorded, and the
        // next attempt opens without asking.
        QVERIFY(recordCertificate(file, QStringLiteral("127.0.0.1"), port, pending.fingerprint));
        QVERIFY(ftp->Abort());
        QVERIFY2(ftp->Open(), qPrintable(ftp->ErrorMessage()));
        QVERIFY(ftp->PendingCertificate().isEmpty());
        QVERIFY(ftp->NewlyTrustedCertificate().isEmpty());
        QVERIFY2(ftp->User() && ftp->Pass(), qPrintable(ftp->ErrorMessage()));
        QVERIFY(ftp->Abort());
    }
};

QTEST_GUILESS_MAIN(FtpModesTest)
#include "FtpModesTest.moc"
