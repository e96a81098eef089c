#pragma once

#include "shared/Exception.h"
#include "shared/JobTable.h"
#include "transfer/CertTrust.h"
#include "transfer/WSocket.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>

class QEventLoop;
class QTimer;

namespace norvex::transfer {

// A refusal of the FTP client ("FTP component not ready", "UserName empty", ...).
class FtpException : public shared::Exception
{
public:
    using shared::Exception::Exception;
    QString className() const override { return QStringLiteral("FtpException"); }
};

enum TFtpOption {
    ftpAcceptLF = 0x1,
    ftpNoAutoResumeAt = 0x2,
    ftpWaitUsingSleep = 0x4,
    ftpBandwidthControl = 0x8
};

enum class TFtpShareMode {
    ftpShareCompat,
    ftpShareExclusive,
    ftpShareDenyWrite,
    ftpShareDenyRead,
    ftpShareDenyNone
};

enum class TFtpConnectionType { ftpDirect, ftpProxy, ftpSocks4, ftpSocks4A, ftpSocks5 };

enum class TFtpState {
    ftpNotConnected,
    ftpReady,
    ftpInternalReady,
    ftpDnsLookup,
    ftpConnected,
    ftpAbort,
    ftpInternalAbort,
    ftpWaitingBanner,
    ftpWaitingResponse,
    ftpPasvReady
};

enum class TFtpRequest {
    ftpRqNone,
    ftpRqOpen,
    ftpRqUser,
    ftpRqPass,
    ftpRqConnect,
    ftpRqTypeSet,
    ftpRqMkd,
    ftpRqCwd,
    ftpRqDele,
    ftpRqRename,
    ftpRqPut,
    ftpRqQuit,
    ftpRqAbort,
    ftpRqSize,
    ftpRqMlst,
    ftpRqList,
    ftpRqMlsd,
    ftpRqGet
};

// A server certificate that neither verified against the system's trust store nor matched
// the fingerprint recorded for the server.
struct TFtpCertificate
{
    QString subject;     // one line, as OpenSSL prints a name ("CN = ftp.example, O = ...")
    QString fingerprint; // certificateFingerprint() of the presented certificate
    QString recorded;    // what known_certs holds for the server; empty when nothing
    QString verifyError; // why it did not verify ("self-signed certificate")
    bool isEmpty() const { return fingerprint.isEmpty(); }
};

// The address a passive data connection goes to, from the address a PASV reply names and
// the control connection's peer. A server behind address translation names its own private
// address (RFC 1918, 100.64/10, link-local, 0.0.0.0, or loopback when the control peer is
// not), which is useless from outside: the control peer is taken instead.
QString FtpPassiveAddress(const QString &replyAddress, const QString &controlPeer);

// The asynchronous FTP client: each request runs as a sequence of steps driven by the
// events of its two sockets (control and data connection) on the owning thread.
//
// Connections: a host name is tried at each of its addresses (IPv4 and IPv6, in the
// resolver's order), the connection time-out shared between them. Data connections are
// active (PORT over IPv4, EPRT over IPv6) or passive (EPSV, or PASV when the server does
// not know EPSV). With Security ExplicitTls the Open step also runs AUTH TLS and the
// handshake, and checks the certificate; nothing of the login goes out before that has
// succeeded. PBSZ 0 and PROT P follow the login, and every data connection is TLS too,
// resuming the control connection's session.
class TCustomFtpCli : public QObject
{
    Q_OBJECT

public:
    explicit TCustomFtpCli(QObject *parent = nullptr);
    ~TCustomFtpCli() override;

    QString HostName;
    QString Port = QStringLiteral("ftp");
    QString UserName;
    QString PassWord;
    QString Account;
    QString HostDirName;
    QString HostFileName;
    QString LocalFileName;
    int Timeout = 15; // seconds, for the blocking operations
    bool DisplayFileFlag = false;
    bool Binary = true;
    bool MultiThreaded = false;
    int Options = ftpAcceptLF;
    TFtpShareMode ShareMode = TFtpShareMode::ftpShareExclusive;
    TFtpConnectionType ConnectionType = TFtpConnectionType::ftpDirect;
    QString LocalAddr = QStringLiteral("0.0.0.0");
    uint DataPortRangeStart = 0;
    uint DataPortRangeEnd = 0;
    int BandwidthLimit = 10000;
    int BandwidthSampling = 1000;
    // Bytes of the local file handed to the data connection per event-loop turn; the
    // socket still queues them in 1460-byte blocks. One block per turn caps loopback
    // uploads far below what the network takes (see docs/performance.md).
    int UploadHandover = 256 * 1024;

    // Data connections: active (PORT, or EPRT over IPv6: the server connects back) or
    // passive (EPSV, then PASV when the server does not know it: we connect).
    shared::FtpDataMode DataMode = shared::FtpDataMode::Active;
    // Explicit TLS: AUTH TLS, PBSZ 0 and PROT P before the login; the data connections are
    // TLS too and resume the control connection's session. Never falls back to clear text.
    shared::FtpSecurity Security = shared::FtpSecurity::None;
    // Fingerprints of certificates trusted on first use.
    QString KnownCertsFile = defaultKnownCertsFile();
    // False (the service): an unknown certificate that does not verify is recorded and
    // trusted. True (the window's check): Open fails instead and PendingCertificate() says
    // what was presented, so a person can decide. A changed certificate fails either way.
    bool AskBeforeTrusting = false;
    // After a failed Open: the certificate that was not trusted; empty for other failures.
    const TFtpCertificate &PendingCertificate() const { return m_pendingCertificate; }
    // After Open: the fingerprint this connection recorded on first use; empty otherwise.
    QString NewlyTrustedCertificate() const { return m_newlyTrusted; }

    QString ErrorMessage() const { return m_errorMessage; }
    int StatusCode() const { return m_statusCode; }
    QString LastResponse() const { return m_lastResponse; }
    // All reply lines of the last command, joined by CR LF.
    QString ResponseText() const { return m_responseText; }
    int RequestResult() const { return m_requestResult; }
    TFtpState State() const { return m_state; }
    bool Connected() const { return m_connected; }
    qint64 ByteCount() const { return m_byteCount; }
    QChar TransferType() const { return Binary ? QLatin1Char('I') : QLatin1Char('A'); }

    std::function<void(TCustomFtpCli *sender, const QString &line)> OnDisplay;
    std::function<void(TCustomFtpCli *sender, const QString &line)> OnCommand;
    std::function<void(TCustomFtpCli *sender, const QString &line)> OnResponse;
    std::function<void(TCustomFtpCli *sender, TFtpRequest request, int error)> OnRequestDone;
    // During an upload: the bytes the server has taken so far (sent and acknowledged), a
    // few times a second, and the whole count once the server confirmed the file.
    std::function<void(TCustomFtpCli *sender, qint64 count)> OnProgress;

    // What the last LIST brought on its data connection (at most 1 MiB).
    const QByteArray &ListingData() const { return m_listing; }

    // Start a request; the end is reported through the state (ready) and OnRequestDone.
    void OpenAsync();
    void UserAsync();
    void PassAsync();
    void ConnectAsync();
    void TypeBinaryAsync();
    void MkdAsync();
    void CwdAsync();
    void DeleAsync();
    // SIZE HostFileName: 213 when the file is there (the size is in LastResponse()).
    void SizeAsync();
    // MLST HostFileName: 250 with the facts of the file in ResponseText().
    void MlstAsync();
    // PORT (or the passive command), then LIST HostFileName; the listing is in ListingData().
    void ListAsync();
    // MLSD of the current folder into ListingData().
    void MlsdAsync();
    // RETR HostFileName into LocalFileName (created or truncated); OnProgress gets the bytes
    // received so far.
    void GetAsync();
    void RenameAsync();
    void PutAsync();
    void QuitAsync();
    // Drops both connections at once; the client is ready afterwards.
    void AbortAsync();

protected:
    // Called whenever a request ends or an upload makes progress.
    virtual void requestEnded() {}
    virtual void progressed() {}
    void setTimedOut();
    // "426 Timeout" naming the data connection that never came up.
    void setTimedOutWaitingForData();
    bool dataConnectionPending() const { return m_dataConnecting; }

private:
    enum class Step {
        Open,
        User,
        Pass,
        Acct,
        Cwd,
        Type,
        Port,
        Stor,
        Rnfr,
        Rnto,
        Quit,
        Mkd,
        Dele,
        Size,
        Mlst,
        List,
        Mlsd,
        Retr,
        Pbsz,
        Prot,
        Pasv
    };
    using Completion = void (TCustomFtpCli::*)(bool ok);

    void checkReady() const;
    void startRequest(TFtpRequest request, QList<Step> steps);
    void runNextStep();
    void runStep(Step step);
    void stepDone(bool ok);
    void endRequest(int result);
    void failFromEvent(const std::exception &e);
    void sendCommand(const char *verb, const QString &argument, QList<int> accepted,
                     Completion completion = nullptr);
    void display(const QString &line);

    void openStep();
    void connectNextAddress();
    void connectAttemptTimedOut();
    QList<Step> dataSteps() const;
    void resetDataState();
    void portStep();
    void pasvStep();
    void pasvReply(bool ok);
    void dataSessionConnected(int error);
    void storStep();
    void listStep(const char *verb);
    void retrStep();
    void quitDone(bool ok);

    // TLS (FtpTls.cpp)
    SSL_CTX *tlsContext();
    void authReply(bool ok);
    void protReply(bool ok);
    void controlTlsDone(int error);
    bool certificateTrusted();
    void failOpen(int code, const QString &message);
    void startDataTls();
    void dataTlsDone(int error);

    // control connection
    void controlDnsLookupDone(int error);
    void controlSessionConnected(int error);
    void controlDataAvailable();
    void controlSessionClosed(int error);
    void handleLine(const QByteArray &raw);
    void handleReply(const QString &line, int code);

    // data connection
    void dataSessionAvailable();
    void dataDataAvailable();
    void dataDataSent();
    void dataSessionClosed(int error);
    void storReply(bool ok);
    void startSendingIfReady();
    void sendNextBlock();
    void finishIfDone();
    void closeDataAndFile();
    void checkUploadActivity();

    TWSocket *m_control = nullptr;
    TWSocket *m_data = nullptr;
    TFtpState m_state = TFtpState::ftpReady;
    TFtpRequest m_requestType = TFtpRequest::ftpRqNone;
    QList<Step> m_steps;
    Step m_lastStep = Step::Open;
    bool m_haveLastStep = false;
    QList<int> m_accepted;
    Completion m_completion = nullptr;
    bool m_quitSent = false;
    bool m_connected = false;
    bool m_inEvent = false;

    QString m_lastResponse;
    QString m_responseText;
    QString m_errorMessage;
    int m_statusCode = 0;
    int m_requestResult = 0;
    QByteArray m_received; // at most kReceiveBufferSize bytes of an unfinished line

    // upload
    QFile m_localFile;
    QByteArray m_fileBuffer;
    qint64 m_byteCount = 0;
    QElapsedTimer m_startTime;
    int m_storPhase = 0; // 1 = awaiting 150/125, 2 = awaiting the final reply
    bool m_startSeen = false;
    bool m_dataAccepted = false;
    bool m_goodFinal = false;
    bool m_dataClosed = false;
    bool m_eofReached = false;
    bool m_eofSent = false;
    bool m_sending = false;
    int m_dataCloseError = 0;
    uint m_lastDataPort = 0;
    QTimer *m_activityTimer = nullptr;
    qint64 m_lastAcked = 0;       // bytes the server has taken, as far as the kernel knows
    bool m_listingActive = false; // the data connection brings a LIST, not takes a file
    bool m_retrActive = false;    // the data connection brings a file (RETR)
    QByteArray m_listing;
    TFtpCertificate m_pendingCertificate;
    QString m_newlyTrusted;

    // connecting: the addresses of HostName still to try, and the budget they share
    QStringList m_addresses;
    qsizetype m_nextAddress = 0;
    int m_openAttempt = 0;
    QElapsedTimer m_openClock;
    QTimer *m_connectTimer = nullptr;
    // passive data connections
    bool m_epsvRefused = false; // the server answered EPSV with 500/502 in this session
    bool m_pasvSent = false;    // the reply in flight answers PASV, not EPSV
    bool m_dataConnecting = false;
    QString m_dataTarget; // "address port N", for the texts of a failed data connection
    // TLS
    SSL_CTX *m_tlsContext = nullptr;
    bool m_dataProtected = false; // PROT P was accepted in this session
};

// The blocking operations the programs use. Each starts one request and processes the
// calling thread's events until it ends or Timeout seconds pass ("426 Timeout"; during an
// upload the limit counts from the last progress). True on success; after false,
// ErrorMessage() tells why when there is a reason.
class TFtpClient : public TCustomFtpCli
{
    Q_OBJECT

public:
    explicit TFtpClient(QObject *parent = nullptr);

    bool Open();
    bool User();
    bool Pass();
    bool Connect();
    bool TypeBinary();
    bool Mkd();
    bool Cwd();
    bool Dele();
    bool Size();
    bool Mlst();
    bool List();
    bool Mlsd();
    bool Get();
    bool Rename();
    bool Put();
    bool Quit();
    bool Abort();

protected:
    void requestEnded() override;
    void progressed() override;

private:
    bool synchronize(void (TCustomFtpCli::*start)());

    QEventLoop *m_waitLoop = nullptr;
    bool m_waiting = false;
    qint64 m_deadlineMs = 0;
    QElapsedTimer m_clock;
};

} // namespace norvex::transfer
