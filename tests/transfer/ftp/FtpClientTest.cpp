// TFtpClient against real servers (pyftpdlib and pure-ftpd on 127.0.0.1).
#include "FtpTestSupport.h"
#include "TestPorts.h"

#include <QDir>
#include <QtTest>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace norvex::transfer;

class FtpClientTest : public QObject
{
    Q_OBJECT

    QString m_home = qEnvironmentVariable("NORVEX_HOME");

    FtpServer server()
    {
        QFETCH(QString, server);
        FtpServer s = ftpServer(server);
        if (s.port.isEmpty())
            qFatal("FTP test servers are not running (fixture FtpServersStart, "
                   "tests/servers/ftp-start.sh)");
        return s;
    }

    std::unique_ptr<TFtpClient> loggedIn(const FtpServer &s, QStringList *commands = nullptr)
    {
        auto client = ftpClientFor(s.port, s.user, s.password);
        if (commands)
            client->OnCommand = [commands](TCustomFtpCli *, const QString &line) {
                *commands << line;
            };
        if (!client->Connect())
            qWarning() << "Connect failed:" << client->ErrorMessage();
        return client;
    }

private slots:
    void storesFilesInASubFolderByteIdentical_data() { addFtpServerRows(); }
    void storesFilesInASubFolderByteIdentical()
    {
        const FtpServer s = server();
        QStringList commands;
        auto ftp = loggedIn(s, &commands);
        QVERIFY(ftp->Connected());
        QVERIFY2(ftp->TypeBinary(), qPrintable(ftp->ErrorMessage()));
        QCOMPARE(ftp->StatusCode(), 200);

        const QString folder = uniqueName(QStringLiteral("sub"));
        ftp->HostFileName = folder;
        QVERIFY2(ftp->Mkd(), qPrintable(ftp->ErrorMessage()));
        // A second MKD fails (the folder exists) and leaves the session usable.
        QVERIFY(!ftp->Mkd());
        QVERIFY(ftp->StatusCode() >= 500);
        ftp->HostDirName = folder;
        QVERIFY2(ftp->Cwd(), qPrintable(ftp->ErrorMessage()));

        const QList<std::pair<QString, QByteArray>> files = {
            {QStringLiteral("empty.zip"), QByteArray()},
            {QStringLiteral("small.zip"), randomBytes(3000)},
            {QStringLiteral("blocks.zip"), randomBytes(3 * 1460)},
            {QStringLiteral("odd.zip"), randomBytes(1024 * 1024 + 7)},
            {QStringLiteral("Norvex-日本語 ジョブ.zip"), randomBytes(5000)},
        };
        for (const auto &[name, data] : files) {
            const QString local = m_home + name;
            QVERIFY(writeFile(local, data));
            ftp->LocalFileName = local;
            ftp->HostFileName = name;
            QVERIFY2(ftp->Put(), qPrintable(name + QStringLiteral(": ") + ftp->ErrorMessage()));
            QVERIFY(ftp->StatusCode() == 226 || ftp->StatusCode() == 250);
            QCOMPARE(ftp->ByteCount(), data.size());
            QFile stored(s.root + QLatin1Char('/') + folder + QLatin1Char('/') + name);
            QVERIFY2(stored.open(QIODevice::ReadOnly), qPrintable(stored.fileName()));
            QVERIFY2(stored.readAll() == data, qPrintable(name));
        }
        // The data port is announced on 127.0.0.1, the server's own address.
        const QStringList ports = commands.filter(QRegularExpression(QStringLiteral("^PORT ")));
        QCOMPARE(ports.size(), files.size());
        for (const QString &port : ports)
            QVERIFY2(QRegularExpression(QStringLiteral("^PORT 127,0,0,1,\\d+,\\d+$"))
                         .match(port)
                         .hasMatch(),
                     qPrintable(port));

        ftp->HostFileName = QStringLiteral("small.zip");
        ftp->LocalFileName = QStringLiteral("renamed.zip");
        QVERIFY2(ftp->Rename(), qPrintable(ftp->ErrorMessage()));
        const QDir dir(s.root + QLatin1Char('/') + folder);
        QVERIFY(dir.exists(QStringLiteral("renamed.zip")));
        QVERIFY(!dir.exists(QStringLiteral("small.zip")));
        ftp->HostFileName = QStringLiteral("renamed.zip");
        QVERIFY2(ftp->Size(), qPrintable(ftp->ErrorMessage()));
        QCOMPARE(ftp->LastResponse(), QStringLiteral("213 3000"));
        QVERIFY2(ftp->Dele(), qPrintable(ftp->ErrorMessage()));
        QVERIFY(!dir.exists(QStringLiteral("renamed.zip")));
        ftp->HostFileName = QStringLiteral("renamed.zip");
        QVERIFY(!ftp->Dele());
        QVERIFY(ftp->ErrorMessage().startsWith(QLatin1Char('5')));
        QVERIFY(!ftp->Size()); // a file that is not there: 550 on both servers
        QCOMPARE(ftp->StatusCode(), 550);

        QVERIFY2(ftp->Quit(), qPrintable(ftp->ErrorMessage()));
        QCOMPARE(ftp->StatusCode(), 221);
        QVERIFY(!ftp->Connected());
        QCOMPARE(commands.first(), QStringLiteral("USER ") + s.user);
        QCOMPARE(commands.last(), QStringLiteral("QUIT"));
        // After QUIT nothing goes out any more.
        QVERIFY(!ftp->Mkd());
        QCOMPARE(commands.last(), QStringLiteral("QUIT"));
    }

    void stores200MegabytesByteIdentical_data() { addFtpServerRows(); }
    void stores200MegabytesByteIdentical()
    {
        const FtpServer s = server();
        const QString local = m_home + QStringLiteral("big.zip");
        {
            QFile f(local);
            QVERIFY(f.open(QIODevice::WriteOnly));
            for (int i = 0; i < 200; ++i)
                QCOMPARE(f.write(randomBytes(1024 * 1024)), 1024 * 1024);
        }
        auto ftp = loggedIn(s);
        QVERIFY(ftp->TypeBinary());
        const QString name = uniqueName(QStringLiteral("big")) + QStringLiteral(".zip");
        ftp->LocalFileName = local;
        ftp->HostFileName = name;
        QVERIFY2(ftp->Put(), qPrintable(ftp->ErrorMessage()));
        QCOMPARE(ftp->ByteCount(), qint64(200) * 1024 * 1024);
        const QString stored = s.root + QLatin1Char('/') + name;
        QCOMPARE(QFileInfo(stored).size(), qint64(200) * 1024 * 1024);
        QCOMPARE(fileHash(stored), fileHash(local));
        QVERIFY(ftp->Quit());
        QFile::remove(stored);
        QFile::remove(local);
    }

    void wrongPasswordFailsWithTheServers530Line_data() { addFtpServerRows(); }
    void wrongPasswordFailsWithTheServers530Line()
    {
        const FtpServer s = server();
        auto ftp = ftpClientFor(s.port, s.user, QStringLiteral("wrong"));
        QVERIFY(!ftp->Connect());
        QVERIFY2(ftp->ErrorMessage().startsWith(QStringLiteral("530")),
                 qPrintable(ftp->ErrorMessage()));
        QCOMPARE(ftp->StatusCode(), 530);
        QVERIFY(ftp->Abort());
        QVERIFY(!ftp->Connected());
        QVERIFY2(ftp->ErrorMessage().startsWith(QStringLiteral("530")),
                 qPrintable(ftp->ErrorMessage())); // Abort keeps the explanation
    }

    // The configuration program's check: Abort, Open, User, Pass, Abort.
    void opensAndLogsInStepByStep_data() { addFtpServerRows(); }
    void opensAndLogsInStepByStep()
    {
        const FtpServer s = server();
        auto ftp = ftpClientFor(s.port, s.user, QString());
        QVERIFY(ftp->Abort());
        QVERIFY2(ftp->Open(), qPrintable(ftp->ErrorMessage()));
        QCOMPARE(ftp->StatusCode(), 220);
        QVERIFY(!ftp->Open()); // already connected
        QVERIFY2(ftp->User(), qPrintable(ftp->ErrorMessage()));
        QCOMPARE(ftp->StatusCode(), 331);
        QVERIFY(!ftp->Pass()); // empty password: refused before sending, no explanation
        QCOMPARE(ftp->ErrorMessage(), QString());
        ftp->PassWord = s.password;
        QVERIFY2(ftp->Pass(), qPrintable(ftp->ErrorMessage()));
        QCOMPARE(ftp->StatusCode(), 230);
        QVERIFY(ftp->Abort());
        QVERIFY(!ftp->Connected());
        QCOMPARE(ftp->State(), TFtpState::ftpReady);
        // The same client logs in again after the reset.
        QVERIFY2(ftp->Connect(), qPrintable(ftp->ErrorMessage()));
        QVERIFY(ftp->Quit());
    }

    void refusesArgumentsWithLineBreaks_data() { addFtpServerRows(); }
    void refusesArgumentsWithLineBreaks()
    {
        const FtpServer s = server();
        QStringList commands;
        auto ftp = loggedIn(s, &commands);
        QVERIFY(ftp->Connected());
        const qsizetype sentBefore = commands.size();
        const QString local = m_home + QStringLiteral("x.zip");
        QVERIFY(writeFile(local, "data"));
        ftp->LocalFileName = local;
        ftp->HostFileName = QStringLiteral("x.zip\r\nDELE important.zip");
        QVERIFY(!ftp->Put());
        QVERIFY2(ftp->ErrorMessage().contains(QStringLiteral("CR or LF")),
                 qPrintable(ftp->ErrorMessage()));
        ftp->HostFileName = QStringLiteral("folder\nRMD other");
        QVERIFY(!ftp->Mkd());
        ftp->HostFileName = QStringLiteral("a.zip");
        ftp->LocalFileName = QStringLiteral("b.zip\rDELE c");
        QVERIFY(!ftp->Rename());
        ftp->HostFileName = QStringLiteral("a.zip\r\nDELE c");
        QVERIFY(!ftp->Size());
        QCOMPARE(commands.size(), sentBefore); // nothing at all went out
        // The session is still fine for proper commands.
        ftp->HostFileName = uniqueName(QStringLiteral("ok"));
        QVERIFY(ftp->Mkd());
        QVERIFY(ftp->Quit());

        auto login = ftpClientFor(s.port, s.user + QStringLiteral("\r\nSITE x"), s.password);
        QStringList loginCommands;
        login->OnCommand = [&](TCustomFtpCli *, const QString &line) { loginCommands << line; };
        QVERIFY(!login->Connect());
        QVERIFY(loginCommands.isEmpty());
        QVERIFY(!login->Connected());
    }

    void dataPortRangeChoosesTheListeningPort_data() { addFtpServerRows(); }
    void dataPortRangeChoosesTheListeningPort()
    {
        const FtpServer s = server();
        QStringList commands;
        auto ftp = loggedIn(s, &commands);
        const uint port = norvex::tests::closedLoopbackPort();
        ftp->DataPortRangeStart = port;
        ftp->DataPortRangeEnd = port;
        const QString local = m_home + QStringLiteral("r.zip");
        QVERIFY(writeFile(local, "ranged"));
        ftp->LocalFileName = local;
        ftp->HostFileName = uniqueName(QStringLiteral("ranged")) + QStringLiteral(".zip");
        QVERIFY2(ftp->Put(), qPrintable(ftp->ErrorMessage()));
        QCOMPARE(commands.filter(QStringLiteral("PORT ")).last(),
                 QStringLiteral("PORT 127,0,0,1,%1,%2").arg(port >> 8).arg(port & 0xff));
        ftp->DataPortRangeStart = port + 1;
        QVERIFY(!ftp->Put()); // end below start: refused before anything is sent
        QCOMPARE(ftp->ErrorMessage(), QString());
        QVERIFY(ftp->Quit());
    }

    // In active mode only the server may connect to the data port: another host that
    // gets there first (here 127.0.0.2) is closed at once and the upload goes to the server.
    void dataConnectionFromAnotherAddressIsRefused_data() { addFtpServerRows(); }
    void dataConnectionFromAnotherAddressIsRefused()
    {
        const FtpServer s = server();
        auto ftp = loggedIn(s);
        QVERIFY(ftp->TypeBinary());
        int intruder = -1;
        ftp->OnCommand = [&](TCustomFtpCli *, const QString &line) {
            if (!line.startsWith(QLatin1String("PORT ")) || intruder >= 0)
                return;
            const QStringList p = line.mid(5).split(QLatin1Char(','));
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(quint16(p[4].toUInt() * 256 + p[5].toUInt()));
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            sockaddr_in from{};
            from.sin_family = AF_INET;
            from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1); // 127.0.0.2
            intruder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::bind(intruder, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0 ||
                ::connect(intruder, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
                qWarning("the intruder could not connect");
        };
        const QString local = m_home + QStringLiteral("guarded.zip");
        QVERIFY(writeFile(local, randomBytes(300000)));
        ftp->LocalFileName = local;
        ftp->HostFileName = uniqueName(QStringLiteral("guarded")) + QStringLiteral(".zip");
        const bool stored = ftp->Put();
        QVERIFY(intruder >= 0);
        char got[4096];
        const ssize_t n = ::recv(intruder, got, sizeof got, 0); // it was closed: no wait
        ::close(intruder);
        QCOMPARE(n, ssize_t(0));
        QVERIFY2(stored, qPrintable(ftp->ErrorMessage()));
        QCOMPARE(fileHash(s.root + QLatin1Char('/') + ftp->HostFileName), fileHash(local));
        QVERIFY(ftp->Quit());
    }

    void refusedConnectionIsAConnectError()
    {
        auto ftp = ftpClientFor(QString::number(norvex::tests::closedLoopbackPort()),
                                QStringLiteral("u"), QStringLiteral("p"));
        QVERIFY(!ftp->Connect());
        QCOMPARE(ftp->ErrorMessage(),
                 QStringLiteral("500 Connect error - Connection refused (#10061)"));
        QCOMPARE(ftp->StatusCode(), 500);
    }

    void missingLocalFileFailsPutWithItsName_data() { addFtpServerRows(); }
    void missingLocalFileFailsPutWithItsName()
    {
        const FtpServer s = server();
        auto ftp = loggedIn(s);
        ftp->LocalFileName = m_home + QStringLiteral("does-not-exist.zip");
        ftp->HostFileName = uniqueName(QStringLiteral("never")) + QStringLiteral(".zip");
        QVERIFY(!ftp->Put());
        QCOMPARE(ftp->ErrorMessage(), QStringLiteral("Unable to open local file ") +
                                          ftp->LocalFileName +
                                          QStringLiteral(": No such file or directory"));
        QCOMPARE(ftp->StatusCode(), 426);
        QVERIFY(!QFile::exists(s.root + QLatin1Char('/') + ftp->HostFileName));
        QVERIFY(ftp->Connected()); // a failed Put leaves the control connection up
        QVERIFY(ftp->Quit());
    }
};

QTEST_GUILESS_MAIN(FtpClientTest)
#include "FtpClientTest.moc"
