#include "transfer/FtpCli.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>
#include <openssl/ssl.h>

namespace norvex::transfer {

namespace {

constexpr qsizetype kReceiveBufferSize = 4096;
constexpr qsizetype kMaxResponseText = 65536;

// Reads a reply code the way replies have always been read: leading blanks, an optional
// sign, digits. *next is the index after the digits.
int parseCode(const QString &line, qsizetype *next)
{
    qsizetype i = 0;
    while (i < line.size() && (line[i] == QLatin1Char(' ') || line[i] == QLatin1Char('\t') ||
                               line[i] == QLatin1Char('\r') || line[i] == QLatin1Char('\n')))
        ++i;
    bool negative = false;
    if (i < line.size() && (line[i] == QLatin1Char('+') || line[i] == QLatin1Char('-'))) {
        negative = line[i] == QLatin1Char('-');
        ++i;
    }
    int code = 0;
    while (i < line.size() && line[i].isDigit() && code < 100000) {
        code = code * 10 + line[i].digitValue();
        ++i;
    }
    *next = i;
    return negative ? -code : code;
}

bool hasLineBreak(const QString &text)
{
    return text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n'));
}

} // namespace

TCustomFtpCli::TCustomFtpCli(QObject *parent) : QObject(parent)
{
    m_control = new TWSocket(this);
    m_data = new TWSocket(this);
    m_activityTimer = new QTimer(this);
    m_activityTimer->setInterval(250);
    connect(m_activityTimer, &QTimer::timeout, this, [this] { checkUploadActivity(); });
    m_connectTimer = new QTimer(this);
    m_connectTimer->setSingleShot(true);
    m_connectTimer->setTimerType(Qt::PreciseTimer);
    connect(m_connectTimer, &QTimer::timeout, this, [this] { connectAttemptTimedOut(); });

    m_control->OnDnsLookupDone = [this](TWSocket *, int error) { controlDnsLookupDone(error); };
    m_control->OnSessionConnected = [this](TWSocket *, int error) {
        controlSessionConnected(error);
    };
    m_control->OnDataAvailable = [this](TWSocket *, int) { controlDataAvailable(); };
    m_control->OnSessionClosed = [this](TWSocket *, int error) { controlSessionClosed(error); };
    m_control->OnTlsDone = [this](TWSocket *, int error) { controlTlsDone(error); };
    m_data->OnSessionConnected = [this](TWSocket *, int error) { dataSessionConnected(error); };
    m_data->OnTlsDone = [this](TWSocket *, int error) { dataTlsDone(error); };
    m_data->OnSessionAvailable = [this](TWSocket *, int) { dataSessionAvailable(); };
    m_data->OnDataAvailable = [this](TWSocket *, int) { dataDataAvailable(); };
    m_data->OnDataSent = [this](TWSocket *, int) { dataDataSent(); };
    m_data->OnSessionClosed = [this](TWSocket *, int error) { dataSessionClosed(error); };
}

TCustomFtpCli::~TCustomFtpCli()
{
    m_localFile.close();
    // Handlers must not run into a half-destroyed client.
    for (TWSocket *s : {m_control, m_data}) {
        s->OnSessionClosed = nullptr;
        s->OnDataAvailable = nullptr;
        s->OnDataSent = nullptr;
        s->OnTlsDone = nullptr;
        s->Abort();
    }
    SSL_CTX_free(m_tlsContext);
}

void TCustomFtpCli::display(const QString &line)
{
    if (OnDisplay)
        OnDisplay(this, line);
}

// ---- requests and steps ----------------------------------------------------------------

void TCustomFtpCli::checkReady() const
{
    if (m_state != TFtpState::ftpReady && m_state != TFtpState::ftpInternalReady &&
        m_state != TFtpState::ftpPasvReady)
        throw FtpException(QStringLiteral("FTP component not ready"));
}

void TCustomFtpCli::startRequest(TFtpRequest request, QList<Step> steps)
{
    checkReady();
    // An argument with a line break would smuggle a second command onto the control
    // connection; such a request is refused before anything is sent.
    const std::pair<Step, const QString *> arguments[] = {
        {Step::User, &UserName},      {Step::Pass, &PassWord},     {Step::Acct, &Account},
        {Step::Cwd, &HostDirName},    {Step::Mkd, &HostFileName},  {Step::Dele, &HostFileName},
        {Step::Size, &HostFileName},  {Step::Stor, &HostFileName}, {Step::Rnfr, &HostFileName},
        {Step::Rnto, &LocalFileName}, {Step::Mlst, &HostFileName}, {Step::List, &HostFileName},
    };
    for (const auto &[step, value] : arguments) {
        if (steps.contains(step) && hasLineBreak(*value)) {
            m_errorMessage = QStringLiteral("Command argument contains CR or LF; nothing was sent");
            throw FtpException(m_errorMessage);
        }
    }
    m_requestType = request;
    m_steps = std::move(steps);
    m_haveLastStep = false;
    m_requestResult = 0;
    try {
        runNextStep();
    } catch (...) {
        // Refused while starting: nothing is under way, the client stays usable.
        m_steps.clear();
        m_completion = nullptr;
        m_state = TFtpState::ftpReady;
        throw;
    }
}

void TCustomFtpCli::runNextStep()
{
    static const Step order[] = {Step::Open, Step::User, Step::Pass, Step::Acct, Step::Pbsz,
                                 Step::Prot, Step::Cwd,  Step::Type, Step::Port, Step::Pasv,
                                 Step::Stor, Step::List, Step::Rnfr, Step::Rnto, Step::Quit,
                                 Step::Mkd,  Step::Dele, Step::Size, Step::Mlst};
    for (;;) {
        if (m_steps.isEmpty()) {
            endRequest(0);
            return;
        }
        Step next = m_steps.first();
        for (Step s : order) {
            if (m_steps.contains(s)) {
                next = s;
                break;
            }
        }
        m_steps.removeAll(next);
        const bool afterUser = m_haveLastStep && m_lastStep == Step::User;
        const bool afterPass = m_haveLastStep && m_lastStep == Step::Pass;
        if (next == Step::Pass && afterUser && m_statusCode != 331)
            continue; // 230 to USER: no password wanted
        // ACCT only when the server asked for it (332 to PASS), or when the step before
        // was neither PASS nor a USER that completed the login with 230.
        if (next == Step::Acct && ((afterPass && m_statusCode != 332) || m_statusCode == 230))
            continue;
        m_lastStep = next;
        m_haveLastStep = true;
        runStep(next);
        return;
    }
}

void TCustomFtpCli::runStep(Step step)
{
    switch (step) {
    case Step::Open:
        openStep();
        break;
    case Step::User:
        if (UserName.isEmpty())
            throw FtpException(QStringLiteral("UserName empty"));
        sendCommand("USER", UserName, {331, 230});
        break;
    case Step::Pass:
        if (PassWord.isEmpty())
            throw FtpException(QStringLiteral("Password empty"));
        sendCommand("PASS", PassWord, {230, 332});
        break;
    case Step::Acct:
        if (Account.isEmpty())
            throw FtpException(QStringLiteral("Account empty!"));
        sendCommand("ACCT", Account, {230, 202});
        break;
    case Step::Cwd:
        if (HostDirName.isEmpty())
            throw FtpException(QStringLiteral("HostDirName empty"));
        sendCommand("CWD", HostDirName, {200, 250, 257});
        break;
    case Step::Type:
        sendCommand("TYPE", QString(TransferType()), {200});
        break;
    case Step::Port:
        portStep();
        break;
    case Step::Stor:
        storStep();
        break;
    case Step::Rnfr:
        sendCommand("RNFR", HostFileName, {350});
        break;
    case Step::Rnto:
        sendCommand("RNTO", LocalFileName, {200, 250, 257});
        break;
    case Step::Quit:
        sendCommand("QUIT", QString(), {221}, &TCustomFtpCli::quitDone);
        break;
    case Step::Mkd:
        sendCommand("MKD", HostFileName, {200, 250, 257});
        break;
    case Step::Dele:
        sendCommand("DELE", HostFileName, {200, 250, 257});
        break;
    case Step::Size:
        sendCommand("SIZE", HostFileName, {213});
        break;
    case Step::Mlst:
        sendCommand("MLST", HostFileName, {250});
        break;
    case Step::List:
        listStep("LIST");
        break;
    case Step::Mlsd:
        listStep("MLSD");
        break;
    case Step::Retr:
        retrStep();
        break;
    case Step::Pbsz:
        sendCommand("PBSZ", QStringLiteral("0"), {200});
        break;
    case Step::Prot:
        sendCommand("PROT", QStringLiteral("P"), {200}, &TCustomFtpCli::protReply);
        break;
    case Step::Pasv:
        pasvStep();
        break;
    }
}

void TCustomFtpCli::stepDone(bool ok)
{
    if (!ok) {
        m_requestResult = m_statusCode != 0 ? m_statusCode : 500;
        if (m_errorMessage.isEmpty())
            m_errorMessage = m_lastResponse;
        endRequest(m_requestResult);
        return;
    }
    m_state = TFtpState::ftpInternalReady;
    try {
        runNextStep();
    } catch (const std::exception &e) {
        failFromEvent(e);
    }
}

// A refusal raised by a later step of a sequence (PASS with an empty password after 331,
// ACCT with an empty account after 332, STOR without a local file name) happens inside
// event processing: the request ends as a failure with the refusal as its message.
void TCustomFtpCli::failFromEvent(const std::exception &e)
{
    const auto *own = dynamic_cast<const shared::Exception *>(&e);
    if (m_errorMessage.isEmpty())
        m_errorMessage = own ? own->message() : QString::fromLocal8Bit(e.what());
    m_statusCode = 501;
    closeDataAndFile();
    endRequest(501);
}

void TCustomFtpCli::endRequest(int result)
{
    m_requestResult = result;
    if (result != 0 && m_errorMessage.isEmpty())
        m_errorMessage = m_lastResponse;
    m_steps.clear();
    m_completion = nullptr;
    m_accepted.clear();
    m_activityTimer->stop();
    m_state = TFtpState::ftpReady;
    const TFtpRequest request = m_requestType;
    if (OnRequestDone) {
        QMetaObject::invokeMethod(
            this,
            [this, request, result] {
                if (OnRequestDone)
                    OnRequestDone(this, request, result);
            },
            Qt::QueuedConnection);
    }
    requestEnded();
}

void TCustomFtpCli::sendCommand(const char *verb, const QString &argument, QList<int> accepted,
                                Completion completion)
{
    checkReady();
    const QByteArray name(verb);
    const bool maySendUnconnected = name == "ABOR" || name == "STAT" || name == "QUIT";
    if (!m_connected && !maySendUnconnected)
        throw FtpException(QStringLiteral("FTP component not connected"));
    if (hasLineBreak(argument)) {
        m_errorMessage = QStringLiteral("Command argument contains CR or LF; nothing was sent");
        throw FtpException(m_errorMessage);
    }
    if (Security == shared::FtpSecurity::ExplicitTls && !m_control->TlsEstablished() &&
        (name == "USER" || name == "PASS" || name == "ACCT"))
        throw FtpException(QStringLiteral("TLS is not established; the login is not sent"));
    m_accepted = std::move(accepted);
    m_completion = completion;
    m_responseText.clear();
    m_errorMessage.clear();
    m_lastResponse.clear();
    m_state = TFtpState::ftpWaitingResponse;
    m_quitSent = name == "QUIT";

    if (m_control->State() != TSocketState::wsConnected) {
        if (m_quitSent) {
            m_statusCode = 200;
            m_connected = false;
            endRequest(0);
        } else {
            m_statusCode = 550;
            m_lastResponse = QStringLiteral("550 not connected");
            m_errorMessage = m_lastResponse;
            endRequest(550);
        }
        return;
    }
    QByteArray line = name;
    if (name != "QUIT" && !(argument.isEmpty() && (name == "EPSV" || name == "PASV")))
        line += ' ' + argument.toUtf8();
    display(QStringLiteral("> ") +
            (name == "PASS" ? QStringLiteral("PASS ***") : QString::fromUtf8(line)));
    if (OnCommand)
        OnCommand(this, QString::fromUtf8(line));
    line += "\r\n";
    m_control->SendStr(line);
}

// ---- control connection ----------------------------------------------------------------

void TCustomFtpCli::openStep()
{
    if (m_connected)
        throw FtpException(QStringLiteral("FTP component already connected"));
    if (m_control->State() != TSocketState::wsClosed) {
        const TFtpState keep = m_state;
        m_state = TFtpState::ftpInternalAbort;
        m_control->Abort();
        m_state = keep;
    }
    m_requestResult = 0;
    m_errorMessage.clear();
    m_received.clear();
    m_pendingCertificate = TFtpCertificate();
    m_newlyTrusted.clear();
    m_epsvRefused = false;
    m_dataProtected = false;
    m_openClock.start();
    m_state = TFtpState::ftpDnsLookup;
    m_control->DnsLookup(HostName);
}

void TCustomFtpCli::controlDnsLookupDone(int error)
{
    if (m_state != TFtpState::ftpDnsLookup)
        return;
    if (error != 0) {
        m_statusCode = 500;
        m_lastResponse = QStringLiteral("500 DNS lookup error - ") + WSocketErrorDesc(error);
        m_errorMessage = m_lastResponse;
        endRequest(500);
        return;
    }
    m_addresses = m_control->DnsResultList();
    m_nextAddress = 0;
    connectNextAddress();
}

// Each address but the last may take its share of what is left of the time-out, so one
// that does not answer leaves time for the next; the last one has the rest, bounded by the
// blocking wait as a single address always was.
void TCustomFtpCli::connectNextAddress()
{
    ++m_openAttempt;
    const QString address = m_addresses.value(m_nextAddress++);
    const qsizetype left = m_addresses.size() - m_nextAddress;
    try {
        m_control->SetAddr(address);
        m_control->SetLocalAddr(LocalAddr);
        m_control->SetProto(QStringLiteral("tcp"));
        m_control->SetPort(Port);
        m_state = TFtpState::ftpWaitingBanner;
        m_control->Connect();
    } catch (const shared::Exception &e) {
        if (left > 0) {
            connectNextAddress();
            return;
        }
        m_statusCode = 500;
        m_lastResponse =
            QStringLiteral("500 ") + e.className() + QStringLiteral(": ") + e.message();
        m_errorMessage = m_lastResponse;
        endRequest(500);
        return;
    }
    if (left > 0 && Timeout >= 1) {
        const qint64 remaining = qint64(Timeout) * 1000 - m_openClock.elapsed();
        m_connectTimer->start(int(std::max<qint64>(remaining / (left + 1), 100)));
    }
}

void TCustomFtpCli::connectAttemptTimedOut()
{
    if (m_state != TFtpState::ftpWaitingBanner || m_connected)
        return;
    display(QStringLiteral("! No answer from ") + m_control->Addr() +
            QStringLiteral(", trying the next address"));
    m_state = TFtpState::ftpInternalAbort;
    m_control->Abort();
    connectNextAddress();
}

void TCustomFtpCli::controlSessionConnected(int error)
{
    if (m_state != TFtpState::ftpWaitingBanner)
        return;
    m_connectTimer->stop();
    if (error != 0) {
        if (m_nextAddress < m_addresses.size()) {
            // The socket closes once this event returns; the next address after that.
            const int attempt = m_openAttempt;
            QMetaObject::invokeMethod(
                this,
                [this, attempt] {
                    if (attempt == m_openAttempt && m_state == TFtpState::ftpWaitingBanner)
                        connectNextAddress();
                },
                Qt::QueuedConnection);
            return;
        }
        m_statusCode = 500;
        m_lastResponse = QStringLiteral("500 Connect error - ") + WSocketErrorDesc(error);
        m_errorMessage = m_lastResponse;
        endRequest(500);
        return;
    }
    m_connected = true;
}

void TCustomFtpCli::controlDataAvailable()
{
    QPointer<TCustomFtpCli> self(this);
    char buffer[kReceiveBufferSize];
    const int room = int(kReceiveBufferSize - m_received.size());
    const int n = m_control->Receive(buffer, room);
    if (n <= 0)
        return;
    m_received.append(buffer, n);
    const bool acceptLF = Options & ftpAcceptLF;
    for (;;) {
        qsizetype end = -1;
        qsizetype skip = 0;
        if (acceptLF) {
            end = m_received.indexOf('\n');
            skip = 1;
        } else {
            end = m_received.indexOf("\r\n");
            skip = 2;
        }
        if (end < 0) {
            // A line longer than the buffer is taken as it stands rather than stalling.
            if (m_received.size() < kReceiveBufferSize)
                return;
            end = m_received.size();
            skip = 0;
        }
        const QByteArray raw = m_received.left(end);
        m_received.remove(0, end + skip);
        handleLine(raw);
        if (!self)
            return;
    }
}

void TCustomFtpCli::handleLine(const QByteArray &raw)
{
    QByteArray bytes = raw;
    while (!bytes.isEmpty() && (bytes.endsWith('\r') || bytes.endsWith('\n')))
        bytes.chop(1);
    const QString line = QString::fromUtf8(bytes);
    if (m_responseText.size() < kMaxResponseText) {
        if (!m_responseText.isEmpty())
            m_responseText += QStringLiteral("\r\n");
        m_responseText += line;
    }
    display(QStringLiteral("< ") + line);
    if (OnResponse)
        OnResponse(this, line);

    if (m_state != TFtpState::ftpWaitingBanner && m_state != TFtpState::ftpWaitingResponse)
        return;
    if (line.isEmpty() || !line.at(0).isDigit())
        return;
    qsizetype next = 0;
    const int code = parseCode(line, &next);
    if (next < line.size() && line.at(next) == QLatin1Char('-'))
        return; // continuation of a multi-line reply
    m_lastResponse = line;
    m_statusCode = code;
    try {
        handleReply(line, code);
    } catch (const std::exception &e) {
        failFromEvent(e);
    }
}

void TCustomFtpCli::handleReply(const QString &line, int code)
{
    if (m_state == TFtpState::ftpWaitingBanner) {
        if (code == 220 && Security == shared::FtpSecurity::ExplicitTls) {
            m_state = TFtpState::ftpInternalReady;
            sendCommand("AUTH", QStringLiteral("TLS"), {234}, &TCustomFtpCli::authReply);
            return;
        }
        if (code == 220) {
            m_state = TFtpState::ftpConnected;
            stepDone(true);
            return;
        }
        m_errorMessage = line;
        m_requestResult = code;
        endRequest(code);
        m_control->Close();
        m_connected = false;
        return;
    }
    const bool ok = m_accepted.isEmpty() ? code < 500 : m_accepted.contains(code);
    if (!ok) {
        m_requestResult = code;
        if (m_errorMessage.isEmpty())
            m_errorMessage = line;
    }
    if (m_completion) {
        (this->*m_completion)(ok);
        return;
    }
    stepDone(ok);
}

void TCustomFtpCli::quitDone(bool ok)
{
    if (!ok) {
        stepDone(false);
        return;
    }
    m_completion = nullptr;
    // The request ends when the connection is closed (controlSessionClosed).
    m_control->Close();
    if (m_state == TFtpState::ftpWaitingResponse) {
        m_connected = false;
        stepDone(true);
    }
}

void TCustomFtpCli::controlSessionClosed(int error)
{
    m_connected = false;
    if (m_state == TFtpState::ftpAbort || m_state == TFtpState::ftpInternalAbort)
        return;
    const bool busy = m_state != TFtpState::ftpReady && m_state != TFtpState::ftpInternalReady;
    if (busy && m_quitSent) {
        // The session ends as QUIT asked, whether or not 221 came first.
        m_statusCode = m_statusCode == 221 ? 221 : 200;
        closeDataAndFile();
        stepDone(true);
        return;
    }
    if (error != 0) {
        m_statusCode = 500;
        m_lastResponse =
            QStringLiteral("500 Control connection closed - ") + WSocketErrorDesc(error);
    } else if (busy) {
        // Closed while a reply is still due: the request cannot have succeeded.
        m_statusCode = 500;
        m_lastResponse = QStringLiteral("500 Control connection closed.");
    }
    if (!busy)
        return;
    if (m_errorMessage.isEmpty())
        m_errorMessage = m_lastResponse;
    closeDataAndFile();
    endRequest(500);
}

// ---- Abort and the request starters ----------------------------------------------------

void TCustomFtpCli::AbortAsync()
{
    const bool busy = m_state != TFtpState::ftpReady && m_state != TFtpState::ftpInternalReady;
    m_state = TFtpState::ftpAbort;
    m_localFile.close();
    m_activityTimer->stop();
    m_connectTimer->stop();
    m_dataConnecting = false;
    m_data->Abort();
    m_control->Abort();
    m_connected = false;
    m_steps.clear();
    m_completion = nullptr;
    m_received.clear();
    if (busy) {
        m_statusCode = 426;
        m_lastResponse = QStringLiteral("426 Operation aborted.");
        m_errorMessage = m_lastResponse;
        m_requestResult = 426;
    }
    m_requestType = TFtpRequest::ftpRqAbort;
    m_state = TFtpState::ftpReady;
    requestEnded();
}

void TCustomFtpCli::setTimedOut()
{
    m_statusCode = 426;
    m_requestResult = 426;
    m_lastResponse = QStringLiteral("426 Timeout");
    m_errorMessage = m_lastResponse;
}

void TCustomFtpCli::setTimedOutWaitingForData()
{
    setTimedOut();
    m_errorMessage += QStringLiteral(" - no data connection to ") + m_dataTarget;
}

void TCustomFtpCli::OpenAsync()
{
    startRequest(TFtpRequest::ftpRqOpen, {Step::Open});
}

void TCustomFtpCli::UserAsync()
{
    startRequest(TFtpRequest::ftpRqUser, {Step::User});
}

void TCustomFtpCli::PassAsync()
{
    startRequest(TFtpRequest::ftpRqPass, {Step::Pass});
}

void TCustomFtpCli::ConnectAsync()
{
    if (m_connected)
        throw FtpException(QStringLiteral("FTP component already connected"));
    QList<Step> steps = {Step::Open, Step::User, Step::Pass, Step::Acct};
    if (Security == shared::FtpSecurity::ExplicitTls)
        steps << Step::Pbsz << Step::Prot;
    startRequest(TFtpRequest::ftpRqConnect, steps);
}

void TCustomFtpCli::TypeBinaryAsync()
{
    Binary = true;
    startRequest(TFtpRequest::ftpRqTypeSet, {Step::Type});
}

void TCustomFtpCli::MkdAsync()
{
    startRequest(TFtpRequest::ftpRqMkd, {Step::Mkd});
}

void TCustomFtpCli::CwdAsync()
{
    startRequest(TFtpRequest::ftpRqCwd, {Step::Cwd});
}

void TCustomFtpCli::DeleAsync()
{
    startRequest(TFtpRequest::ftpRqDele, {Step::Dele});
}

void TCustomFtpCli::SizeAsync()
{
    startRequest(TFtpRequest::ftpRqSize, {Step::Size});
}

void TCustomFtpCli::MlstAsync()
{
    startRequest(TFtpRequest::ftpRqMlst, {Step::Mlst});
}

void TCustomFtpCli::ListAsync()
{
    startRequest(TFtpRequest::ftpRqList, dataSteps() << Step::List);
}

void TCustomFtpCli::MlsdAsync()
{
    startRequest(TFtpRequest::ftpRqMlsd, dataSteps() << Step::Mlsd);
}

void TCustomFtpCli::GetAsync()
{
    startRequest(TFtpRequest::ftpRqGet, dataSteps() << Step::Retr);
}

void TCustomFtpCli::RenameAsync()
{
    startRequest(TFtpRequest::ftpRqRename, {Step::Rnfr, Step::Rnto});
}

void TCustomFtpCli::PutAsync()
{
    startRequest(TFtpRequest::ftpRqPut, dataSteps() << Step::Stor);
}

void TCustomFtpCli::QuitAsync()
{
    startRequest(TFtpRequest::ftpRqQuit, {Step::Quit});
}

// ---- blocking operations ---------------------------------------------------------------

TFtpClient::TFtpClient(QObject *parent) : TCustomFtpCli(parent)
{
    m_clock.start();
}

void TFtpClient::requestEnded()
{
    if (m_waitLoop)
        m_waitLoop->quit();
}

void TFtpClient::progressed()
{
    m_deadlineMs = m_clock.elapsed() + qint64(Timeout) * 1000;
}

bool TFtpClient::synchronize(void (TCustomFtpCli::*start)())
{
    // A blocking operation of this client from inside its own wait (a nested event
    // handler) would tangle two requests on one connection.
    if (m_waiting)
        return false;
    try {
        (this->*start)();
    } catch (const std::exception &) {
        return false;
    }
    m_waiting = true;
    m_deadlineMs = m_clock.elapsed() + qint64(Timeout) * 1000;
    bool result = false;
    for (;;) {
        if (State() == TFtpState::ftpReady || State() == TFtpState::ftpInternalReady) {
            result = RequestResult() == 0;
            break;
        }
        const qint64 remaining = m_deadlineMs - m_clock.elapsed();
        if (QCoreApplication::closingDown() || (Timeout >= 1 && remaining <= 0)) {
            m_waiting = false;
            const bool dataConnecting = dataConnectionPending();
            AbortAsync();
            if (dataConnecting)
                setTimedOutWaitingForData();
            else
                setTimedOut();
            return false;
        }
        QEventLoop loop;
        QTimer wake;
        wake.setTimerType(Qt::PreciseTimer);
        wake.setSingleShot(true);
        connect(&wake, &QTimer::timeout, &loop, &QEventLoop::quit);
        wake.start(int(std::clamp<qint64>(Timeout >= 1 ? remaining : 1000, 1, 1000)));
        m_waitLoop = &loop;
        loop.exec();
        m_waitLoop = nullptr;
    }
    m_waiting = false;
    return result;
}

bool TFtpClient::Open()
{
    return synchronize(&TCustomFtpCli::OpenAsync);
}

bool TFtpClient::User()
{
    return synchronize(&TCustomFtpCli::UserAsync);
}

bool TFtpClient::Pass()
{
    return synchronize(&TCustomFtpCli::PassAsync);
}

bool TFtpClient::Connect()
{
    return synchronize(&TCustomFtpCli::ConnectAsync);
}

bool TFtpClient::TypeBinary()
{
    return synchronize(&TCustomFtpCli::TypeBinaryAsync);
}

bool TFtpClient::Mkd()
{
    return synchronize(&TCustomFtpCli::MkdAsync);
}

bool TFtpClient::Cwd()
{
    return synchronize(&TCustomFtpCli::CwdAsync);
}

bool TFtpClient::Dele()
{
    return synchronize(&TCustomFtpCli::DeleAsync);
}

bool TFtpClient::Size()
{
    return synchronize(&TCustomFtpCli::SizeAsync);
}

bool TFtpClient::Mlst()
{
    return synchronize(&TCustomFtpCli::MlstAsync);
}

bool TFtpClient::List()
{
    return synchronize(&TCustomFtpCli::ListAsync);
}

bool TFtpClient::Mlsd()
{
    return synchronize(&TCustomFtpCli::MlsdAsync);
}

bool TFtpClient::Get()
{
    return synchronize(&TCustomFtpCli::GetAsync);
}

bool TFtpClient::Rename()
{
    return synchronize(&TCustomFtpCli::RenameAsync);
}

bool TFtpClient::Put()
{
    return synchronize(&TCustomFtpCli::PutAsync);
}

bool TFtpClient::Quit()
{
    return synchronize(&TCustomFtpCli::QuitAsync);
}

bool TFtpClient::Abort()
{
    AbortAsync();
    return true;
}

} // namespace norvex::transfer
