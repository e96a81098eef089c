#pragma once

#include "shared/Exception.h"

#include <QByteArray>
#include <QFutureWatcher>
#include <QObject>
#include <QString>
#include <QStringList>
#include <deque>
#include <exception>
#include <functional>
#include <openssl/types.h>

typedef struct ssl_session_st SSL_SESSION; // as <openssl/ssl.h> declares it
#include <sys/socket.h>

class QSocketNotifier;

namespace norvex::transfer {

struct DnsAnswer;

// A socket operation failed; the message carries the Winsock-style code and operation.
class ESocketException : public shared::Exception
{
public:
    ESocketException(QString message, int code = 0)
        : shared::Exception(std::move(message)), m_code(code)
    {
    }
    QString className() const override { return QStringLiteral("ESocketException"); }
    int code() const { return m_code; }

private:
    int m_code;
};

enum class TSocketState {
    wsInvalidState,
    wsOpened,
    wsBound,
    wsConnecting,
    wsSocksConnected,
    wsConnected,
    wsAccepting,
    wsListening,
    wsClosed
};

enum class TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum class TSocketKeepAliveOnOff { wsKeepAliveOff, wsKeepAliveOnCustom, wsKeepAliveOnSystem };

enum TWSocketOption { wsoNoReceiveLoop = 0x1, wsoTcpNoDelay = 0x2, wsoSIO_RCVALL = 0x4 };

// Winsock codes the layer reports (errno values are mapped onto them).
constexpr int WSAEINVAL = 10022;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;

// The Winsock code for an errno value; unknown values are returned unchanged.
int errnoToWinsock(int err);
// The text for a Winsock code ("Connection refused"); "Not a WinSock error" for others.
QString WSocketErrorText(int code);
// Text + " (#" + code + ")", as events' error codes are shown.
QString WSocketErrorDesc(int code);

// Synchronous resolution, each raising ESocketException with the layer's texts.
quint32 WSocketResolveHost(const QString &name);                       // IPv4, network byte order
quint16 WSocketResolvePort(const QString &port, const QString &proto); // host byte order
int WSocketResolveProto(const QString &proto);
// A name made of digits and dots that starts with a digit.
bool WSocketIsDottedIP(const QString &name);
// Blocking lookup of every address of name, IPv4 and IPv6 in the resolver's order;
// returns 0 or a Winsock code.
int WSocketLookUp(const QByteArray &name, QStringList *addresses);
// An IPv6 literal ("::1"), with or without brackets.
bool WSocketIsIPv6(const QString &name);
// "[::1]" -> "::1"; other names unchanged.
QString WSocketUnbracketed(const QString &name);
// "host:port", an IPv6 literal (with or without brackets) as "[::1]:port".
QString WSocketHostPort(const QString &host, int port);
// The numeric text of an IPv4 or IPv6 socket address ("127.0.0.1", "::1").
QString WSocketAddressText(const sockaddr *address);
// An address (IPv4 dotted, IPv6 literal or a name: its first address) and port as a socket
// address; returns its length. Raises ESocketException with the texts of WSocketResolveHost.
socklen_t WSocketResolveAddress(const QString &name, quint16 port, sockaddr_storage *out);

// Event-driven TCP socket. It never blocks: readiness is watched by notifiers of the thread
// that created it and turned into events, delivered in a fixed order: connect completed,
// data available, data sent, session available, session closed (after any pending data).
class TWSocket : public QObject
{
    Q_OBJECT

public:
    using ErrorEvent = std::function<void(TWSocket *sender, int error)>;
    using StateEvent =
        std::function<void(TWSocket *sender, TSocketState oldState, TSocketState newState)>;
    // Return true when the exception was dealt with and the socket may stay open.
    using BgExceptionEvent = std::function<bool(TWSocket *sender, const std::exception &e)>;

    explicit TWSocket(QObject *parent = nullptr);
    ~TWSocket() override;

    static constexpr int kBlockSize = 1460;

    // Addressing; changes are refused unless the socket is closed.
    QString Addr() const { return m_addr; }
    void SetAddr(const QString &value);
    QString Port() const { return m_port; }
    void SetPort(const QString &value);
    QString Proto() const { return m_proto; }
    void SetProto(const QString &value);
    QString LocalAddr() const { return m_localAddr; }
    void SetLocalAddr(const QString &value);
    QString LocalPort() const { return m_localPort; }
    void SetLocalPort(const QString &value);

    TSocketLingerOnOff LingerOnOff = TSocketLingerOnOff::wsLingerOn;
    int LingerTimeout = 0;
    TSocketKeepAliveOnOff KeepAliveOnOff = TSocketKeepAliveOnOff::wsKeepAliveOnSystem;
    int KeepAliveTime = 30000;
    int KeepAliveInterval = 1000;
    int ListenBacklog = 5;
    int ComponentOptions = 0;
    int FlushTimeout = 60;

    TSocketState State() const { return m_state; }
    int HSocket() const { return m_handle; }
    int LastError() const { return m_lastError; }
    qint64 ReadCount() const { return m_readCount; }
    QString DnsResult() const { return m_dnsResultList.value(0); }
    QStringList DnsResultList() const { return m_dnsResultList; }
    // Bytes handed to Send that have not reached the kernel yet.
    qint64 BufferedByteCount() const { return m_bufferedBytes; }
    bool AllSent() const { return m_bufferedBytes == 0; }
    // Bytes the kernel still holds for sending (handed over but not yet acknowledged).
    qint64 KernelOutQueue() const;

    ErrorEvent OnDataAvailable;
    ErrorEvent OnDataSent;
    ErrorEvent OnSessionConnected;
    ErrorEvent OnSessionClosed;
    ErrorEvent OnSessionAvailable;
    ErrorEvent OnDnsLookupDone;
    StateEvent OnChangeState;
    std::function<void(TWSocket *sender, const ESocketException &e)> OnError;
    BgExceptionEvent OnBgException;

    // Name lookup: dotted addresses are answered at once, names off the thread; the result
    // arrives through OnDnsLookupDone on the owning thread.
    void DnsLookup(const QString &hostName);
    void CancelDnsLookup();

    // Starts connecting to Addr:Port; the outcome arrives through OnSessionConnected (a
    // failed connect closes the socket without OnSessionClosed).
    void Connect();
    // Listens on Addr:Port; the port bound (for "0" the system's choice) is read back into
    // LocalPort.
    void Listen();
    // Accepts a pending connection of a listening socket; returns its handle, and the
    // peer's dotted address in peerAddr when given.
    int Accept(QString *peerAddr = nullptr);
    // Takes over an accepted handle; the socket becomes connected.
    void Dup(int handle);

    // Reads up to size bytes; 0 when the peer closed, -1 with LastError otherwise.
    int Receive(void *buffer, int size);
    QByteArray ReceiveStr();
    // Buffers the bytes and writes what the network takes; -1 when refused.
    int Send(const void *data, int size);
    int SendStr(const QByteArray &data) { return Send(data.constData(), int(data.size())); }
    void ShutDown(int how);
    // Close and Abort report OnSessionClosed once, as a close by the peer does; Abort also
    // drops unsent data and cancels a pending lookup.
    void Close();
    void Abort();
    // Applies LingerOnOff / LingerTimeout to the open socket.
    void SetLingerOption();

    // TLS, as the client, over the connected socket. The handshake runs on the notifiers
    // like every other event; its end arrives through OnTlsDone (0, or a code with
    // TlsErrorText()). From then on Send, Receive, ShutDown and Close go through TLS: a
    // ShutDown of the sending side sends close_notify first. Bytes handed to Send during
    // the handshake wait for its end. resume (may be null) is a session to resume; host
    // names the server for the certificate check (SNI and the name or address to match).
    void StartTls(SSL_CTX *context, const QString &host, SSL_SESSION *resume);
    // The TLS connection once StartTls was called; null otherwise.
    SSL *TlsHandle() const { return m_ssl; }
    bool TlsEstablished() const { return m_ssl && !m_tlsHandshaking; }
    QString TlsErrorText() const { return m_tlsError; }
    ErrorEvent OnTlsDone;

    // Addresses of the open socket, dotted; empty when unknown.
    QString GetXAddr() const; // local
    QString GetXPort() const; // local
    QString GetPeerAddr() const;
    QString GetPeerPort() const;

private:
    void changeState(TSocketState next);
    void refuseUnlessClosed(const char *what) const;
    ESocketException makeError(int code, const QString &operation);
    // Setup failures always raise; failures of Send and Accept go to OnError when set.
    [[noreturn]] void raiseSocketError(int code, const QString &operation);
    void socketError(int code, const QString &operation);
    void createNotifiers();
    void destroyNotifiers();
    void updateWriteInterest();
    void onNotifier();
    void dispatchEventsUnguarded();
    bool deliverData(int *closeError);
    void handleWritable();
    void handlePeerClosed(int error);
    void deliverDeferredConnect(int serial, int error);
    void postDataSent();
    // Writes buffered blocks; false when the socket was closed because of an error.
    bool tryToSend();
    void appendToBuffer(const char *data, qint64 size);
    void internalClose(int error, bool notify);
    void applyOptions();
    void lookupFinished();
    // TLS (WSocketTls.cpp)
    void tlsHandshakeStep();
    bool tlsSendBuffered();
    int tlsReceive(void *buffer, int size);
    void tlsContinueShutdown();
    void tlsFree();
    int tlsFailure(int result, const char *operation);

    struct Block
    {
        QByteArray data; // kBlockSize bytes reserved
        int start = 0;
        int end = 0;
    };

    int m_handle = -1;
    int m_serial = 0; // changes with every handle, so stale posted events are dropped
    TSocketState m_state = TSocketState::wsClosed;
    QString m_addr;
    QString m_port;
    QString m_proto = QStringLiteral("tcp");
    QString m_localAddr = QStringLiteral("0.0.0.0");
    QString m_localPort = QStringLiteral("0");
    int m_lastError = 0;
    qint64 m_readCount = 0;
    QStringList m_dnsResultList;
    std::deque<Block> m_blocks;
    qint64 m_bufferedBytes = 0;
    bool m_closeInvoked = false;
    bool m_dataSentPosted = false;
    bool m_sendPending = false; // bytes were handed over since the last OnDataSent
    bool m_inDispatch = false;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QFutureWatcher<DnsAnswer> *m_lookup = nullptr;

    SSL *m_ssl = nullptr;
    bool m_tlsHandshaking = false;
    bool m_tlsWantWrite = false;       // OpenSSL waits for the socket to take bytes
    bool m_tlsShutdownPending = false; // close_notify still to send, then shutdown(how)
    int m_tlsShutdownHow = 0;
    // Plaintext not yet taken by SSL_write. One contiguous buffer: a retried SSL_write must
    // be given at least the bytes of the record it could not finish.
    QByteArray m_tlsOut;
    qsizetype m_tlsOutStart = 0;
    QString m_tlsError;
};

} // namespace norvex::transfer
