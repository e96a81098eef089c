#include "transfer/WSocket.h"
#include "TestPorts.h"

#include <QtTest>
#include <arpa/inet.h>
#include <cerrno>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace norvex::transfer;

namespace {

// A listening TWSocket on a free port of 127.0.0.1 that adopts the first connection.
struct Server
{
    TWSocket listener;
    TWSocket peer;
    QString peerAddr; // as Accept reported it

    explicit Server(const QString &address = QStringLiteral("127.0.0.1"))
    {
        listener.SetAddr(address);
        listener.SetPort(QStringLiteral("0"));
        listener.OnSessionAvailable = [this](TWSocket *, int) {
            peer.Dup(listener.Accept(&peerAddr));
        };
        listener.Listen();
    }
    QString port() const { return listener.LocalPort(); }
};

void connectTo(TWSocket &client, const QString &port)
{
    client.SetAddr(QStringLiteral("127.0.0.1"));
    client.SetPort(port);
    client.Connect();
}

} // namespace

class WSocketTest : public QObject
{
    Q_OBJECT

private slots:
    void resolvesPortsByNumberAndServiceName()
    {
        QCOMPARE(WSocketResolvePort(QStringLiteral("ftp"), QStringLiteral("tcp")), quint16(21));
        QCOMPARE(WSocketResolvePort(QStringLiteral("21"), QStringLiteral("tcp")), quint16(21));
        QCOMPARE(WSocketResolveProto(QStringLiteral("tcp")), 6);
        QCOMPARE(WSocketResolveProto(QStringLiteral("udp")), 17);
        QCOMPARE(WSocketResolveProto(QStringLiteral("raw")), 255);
    }

    void resolutionErrorsCarryTheirTexts_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("message");
        QTest::newRow("empty host")
            << 0 << QString() << QStringLiteral("Winsock Resolve Host: '' Invalid Hostname.");
        QTest::newRow("bad dotted")
            << 0 << QStringLiteral("300.1.2.3")
            << QStringLiteral("Winsock Resolve Host: '300.1.2.3' Invalid IP address.");
        QTest::newRow("empty port")
            << 1 << QString() << QStringLiteral("Winsock Resolve Port: Invalid Port.");
        QTest::newRow("unknown service")
            << 1 << QStringLiteral("no-such-service")
            << QStringLiteral("Winsock Resolve Port: Cannot convert port 'no-such-service' - "
                              "No Data (#11004)");
        QTest::newRow("port out of range") << 1 << QStringLiteral("70000")
                                           << QStringLiteral("Winsock Resolve Port: Invalid Port.");
        QTest::newRow("empty proto")
            << 2 << QString() << QStringLiteral("Winsock Resolve Proto: Invalid Protocol.");
        QTest::newRow("unknown proto")
            << 2 << QStringLiteral("nosuchproto")
            << QStringLiteral("Winsock Resolve Proto: Cannot convert protocol 'nosuchproto' - "
                              "No Data (#11004)");
    }

    void resolutionErrorsCarryTheirTexts()
    {
        QFETCH(int, kind);
        QFETCH(QString, value);
        QFETCH(QString, message);
        try {
            if (kind == 0)
                WSocketResolveHost(value);
            else if (kind == 1)
                WSocketResolvePort(value, QStringLiteral("tcp"));
            else
                WSocketResolveProto(value);
            QFAIL("no exception");
        } catch (const ESocketException &e) {
            QCOMPARE(e.message(), message);
            QCOMPARE(e.className(), QStringLiteral("ESocketException"));
        }
    }

    void errnoValuesMapToWinsockTexts()
    {
        QCOMPARE(errnoToWinsock(ECONNREFUSED), 10061);
        QCOMPARE(errnoToWinsock(ETIMEDOUT), 10060);
        QCOMPARE(errnoToWinsock(ECONNRESET), 10054);
        QCOMPARE(errnoToWinsock(EADDRINUSE), 10048);
        QCOMPARE(WSocketErrorDesc(10061), QStringLiteral("Connection refused (#10061)"));
        QCOMPARE(WSocketErrorDesc(0), QStringLiteral("No Error (#0)"));
        QCOMPARE(WSocketErrorDesc(11001), QStringLiteral("Host not found (#11001)"));
        QCOMPARE(WSocketErrorText(12345), QStringLiteral("Not a WinSock error"));
    }

    void dottedAddressIsAnsweredWithoutLookup()
    {
        TWSocket s;
        int reported = -1;
        s.OnDnsLookupDone = [&](TWSocket *, int error) { reported = error; };
        s.DnsLookup(QStringLiteral("127.0.0.1"));
        // Answered inside the call: no event loop has run.
        QCOMPARE(reported, 0);
        QCOMPARE(s.DnsResult(), QStringLiteral("127.0.0.1"));
    }

    void ipv6LiteralsAreAnsweredWithoutLookup_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("bare") << QStringLiteral("::1");
        QTest::newRow("bracketed") << QStringLiteral("[::1]");
    }
    void ipv6LiteralsAreAnsweredWithoutLookup()
    {
        QFETCH(QString, name);
        TWSocket s;
        int reported = -1;
        s.OnDnsLookupDone = [&](TWSocket *, int error) { reported = error; };
        s.DnsLookup(name);
        QCOMPARE(reported, 0);
        QCOMPARE(s.DnsResultList(), QStringList{QStringLiteral("::1")});

        sockaddr_storage address{};
        QCOMPARE(WSocketResolveAddress(name, 21, &address), socklen_t(sizeof(sockaddr_in6)));
        QCOMPARE(WSocketAddressText(reinterpret_cast<sockaddr *>(&address)), QStringLiteral("::1"));
        // A link-local address keeps its zone, by name or number.
        QCOMPARE(WSocketResolveAddress(QStringLiteral("fe80::1%lo"), 21, &address),
                 socklen_t(sizeof(sockaddr_in6)));
        const QString zoned = WSocketAddressText(reinterpret_cast<sockaddr *>(&address));
        QCOMPARE(zoned, QStringLiteral("fe80::1%") + QString::number(if_nametoindex("lo")));
        WSocketResolveAddress(zoned, 21, &address);
        QCOMPARE(WSocketAddressText(reinterpret_cast<sockaddr *>(&address)), zoned);
        try {
            WSocketResolveAddress(QStringLiteral("::zz"), 21, &address);
            QFAIL("no exception");
        } catch (const ESocketException &e) {
            QCOMPARE(e.message(),
                     QStringLiteral("Winsock Resolve Host: '::zz' Invalid IP address."));
        }
    }

    void connectsOverIPv6()
    {
        Server server(QStringLiteral("::"));
        TWSocket client;
        int connected = -1;
        client.OnSessionConnected = [&](TWSocket *, int error) { connected = error; };
        client.SetAddr(QStringLiteral("[::1]"));
        client.SetPort(server.port());
        client.Connect();
        QTRY_COMPARE(connected, 0);
        QTRY_COMPARE(server.peer.State(), TSocketState::wsConnected);
        QCOMPARE(server.peerAddr, QStringLiteral("::1"));
        QCOMPARE(client.GetPeerAddr(), QStringLiteral("::1"));
        QCOMPARE(client.GetPeerPort(), server.port());
        QCOMPARE(server.peer.GetPeerPort(), client.GetXPort());
        QByteArray got;
        server.peer.OnDataAvailable = [&](TWSocket *s, int) { got += s->ReceiveStr(); };
        QCOMPARE(client.SendStr("over IPv6"), 9);
        QTRY_COMPARE(got, QByteArray("over IPv6"));
    }

    void nameLookupArrivesThroughTheEventLoop()
    {
        TWSocket s;
        int reported = -1;
        s.OnDnsLookupDone = [&](TWSocket *, int error) { reported = error; };
        s.DnsLookup(QStringLiteral("localhost"));
        QCOMPARE(reported, -1);
        QTRY_COMPARE_WITH_TIMEOUT(reported, 0, 10000);
        // Every family: ::1 may come first where the system names it for localhost.
        QVERIFY2(s.DnsResultList().contains(QStringLiteral("127.0.0.1")),
                 qPrintable(s.DnsResultList().join(QLatin1Char(' '))));

        reported = -1;
        try {
            s.DnsLookup(QString());
            QFAIL("no exception");
        } catch (const ESocketException &e) {
            QCOMPARE(e.message(), QStringLiteral("DNS lookup: invalid host name."));
        }
    }

    void listenReadsBackTheChosenPortAndAcceptsAConnection()
    {
        Server server;
        QCOMPARE(server.listener.State(), TSocketState::wsListening);
        QVERIFY(server.port().toInt() > 0);

        TWSocket client;
        QList<TSocketState> states;
        client.OnChangeState = [&](TWSocket *, TSocketState, TSocketState next) { states << next; };
        int connected = -1;
        client.OnSessionConnected = [&](TWSocket *, int error) { connected = error; };
        connectTo(client, server.port());
        QTRY_COMPARE(connected, 0);
        QCOMPARE(states, (QList<TSocketState>{TSocketState::wsOpened, TSocketState::wsConnecting,
                                              TSocketState::wsConnected}));
        QTRY_COMPARE(server.peer.State(), TSocketState::wsConnected);
        QCOMPARE(server.peer.GetPeerPort(), client.GetXPort());
        QCOMPARE(client.GetXAddr(), QStringLiteral("127.0.0.1"));

        try {
            client.SetPort(QStringLiteral("21"));
            QFAIL("no exception");
        } catch (const ESocketException &e) {
            QCOMPARE(e.message(), QStringLiteral("Cannot change Port if not closed"));
        }
    }

    void dataSentArrivesThroughTheEventLoopAndBytesArriveIntact()
    {
        Server server;
        QByteArray received;
        server.peer.OnDataAvailable = [&](TWSocket *s, int) { received += s->ReceiveStr(); };
        TWSocket client;
        connectTo(client, server.port());
        QTRY_COMPARE(client.State(), TSocketState::wsConnected);

        int sentEvents = 0;
        bool insideSend = false;
        bool reportedInsideSend = false;
        client.OnDataSent = [&](TWSocket *, int error) {
            QCOMPARE(error, 0);
            reportedInsideSend |= insideSend;
            ++sentEvents;
        };
        // Far more than the kernel takes at once: most of it waits in 1460-byte blocks.
        QByteArray payload(24 * 1024 * 1024, Qt::Uninitialized);
        for (qsizetype i = 0; i < payload.size(); ++i)
            payload[i] = char((i * 131 + i / 7919) & 0xff);
        insideSend = true;
        QCOMPARE(client.SendStr(payload), int(payload.size()));
        insideSend = false;
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), payload.size(), 20000);
        QVERIFY(received == payload);
        QTRY_COMPARE(sentEvents, 1);
        QVERIFY(!reportedInsideSend);
        QVERIFY(client.AllSent());

        // A small send that the kernel takes whole still reports through the loop.
        insideSend = true;
        client.SendStr("x");
        insideSend = false;
        QCOMPARE(sentEvents, 1);
        QTRY_COMPARE(sentEvents, 2);
        QVERIFY(!reportedInsideSend);
    }

    void dataBeforeCloseIsDeliveredBeforeSessionClosed()
    {
        Server server;
        TWSocket client;
        QStringList events;
        QByteArray received;
        client.OnDataAvailable = [&](TWSocket *s, int) {
            char buffer[3]; // small reads: the layer must keep calling while data remains
            const int n = s->Receive(buffer, sizeof buffer);
            if (n > 0)
                received.append(buffer, n);
            events << QStringLiteral("data");
        };
        client.OnSessionClosed = [&](TWSocket *, int error) {
            events << QStringLiteral("closed %1 with %2 bytes").arg(error).arg(received.size());
        };
        connectTo(client, server.port());
        QTRY_COMPARE(server.peer.State(), TSocketState::wsConnected);
        server.peer.SendStr("last words before closing");
        QTRY_VERIFY(server.peer.AllSent());
        server.peer.LingerOnOff = TSocketLingerOnOff::wsLingerOff;
        server.peer.SetLingerOption();
        server.peer.Close();
        QTRY_COMPARE(client.State(), TSocketState::wsClosed);
        QCOMPARE(received, QByteArray("last words before closing"));
        QCOMPARE(events.last(), QStringLiteral("closed 0 with 25 bytes"));
        QCOMPARE(events.count(QStringLiteral("closed 0 with 25 bytes")), 1);
    }

    void sendWhenNotConnectedFailsWith10057()
    {
        TWSocket s;
        try {
            s.SendStr("x");
            QFAIL("no exception");
        } catch (const ESocketException &e) {
            QCOMPARE(e.message(), QStringLiteral("Socket is not connected (#10057 in Send)"));
            QCOMPARE(e.code(), 10057);
        }
        QCOMPARE(s.LastError(), 10057);

        int reported = 0;
        s.OnError = [&](TWSocket *, const ESocketException &e) { reported = e.code(); };
        QCOMPARE(s.SendStr("x"), -1);
        QCOMPARE(reported, 10057);
    }

    void refusedConnectionReportsConnectionRefused()
    {
        TWSocket client;
        int connected = -1;
        client.OnSessionConnected = [&](TWSocket *, int error) { connected = error; };
        connectTo(client, QString::number(norvex::tests::closedLoopbackPort()));
        QCOMPARE(client.State(), TSocketState::wsConnecting);
        QTRY_COMPARE(connected, 10061);
        QCOMPARE(WSocketErrorDesc(connected), QStringLiteral("Connection refused (#10061)"));
        QTRY_COMPARE(client.State(), TSocketState::wsClosed);
        QCOMPARE(client.HSocket(), -1);
    }

    void refusesMisuse()
    {
        TWSocket s;
        auto message = [](auto &&call) {
            try {
                call();
            } catch (const ESocketException &e) {
                return e.message();
            }
            return QString();
        };
        QCOMPARE(message([&] { s.Connect(); }), QStringLiteral("Connect: No Port Specified"));
        s.SetPort(QStringLiteral("21"));
        QCOMPARE(message([&] { s.Connect(); }), QStringLiteral("Connect: No IP Address Specified"));
        s.SetAddr(QStringLiteral("999.1.1.1"));
        QCOMPARE(message([&] { s.Connect(); }),
                 QStringLiteral("connect: Winsock Resolve Host: '999.1.1.1' Invalid IP address."));
        QCOMPARE(message([&] { s.Accept(); }), QStringLiteral("not a listening socket"));
        TWSocket l;
        QCOMPARE(message([&] { l.Listen(); }), QStringLiteral("listen: port not assigned"));
    }

    void abortDropsUnsentDataAndClosesAtOnce()
    {
        Server server;
        TWSocket client;
        int closedEvents = 0;
        client.OnSessionClosed = [&](TWSocket *, int) { ++closedEvents; };
        connectTo(client, server.port());
        QTRY_COMPARE(client.State(), TSocketState::wsConnected);
        client.SendStr(QByteArray(32 * 1024 * 1024, 'a'));
        QVERIFY(!client.AllSent());
        client.Abort();
        QCOMPARE(client.State(), TSocketState::wsClosed);
        QCOMPARE(client.BufferedByteCount(), 0);
        QCOMPARE(closedEvents, 1);
        client.Abort();
        QCOMPARE(closedEvents, 1);
    }
};

QTEST_GUILESS_MAIN(WSocketTest)
#include "WSocketTest.moc"
