// The data connection of TCustomFtpCli: PORT/EPRT (active) or EPSV/PASV (passive), then
// STOR (upload) or LIST (a listing).
#include "transfer/FtpCli.h"

#include <QRegularExpression>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <unistd.h>

namespace norvex::transfer {

namespace {

bool isLoopback(const QString &address)
{
    return address.startsWith(QLatin1String("127.")) || address == QLatin1String("::1");
}

// Addresses that cannot be the server's public address as seen from here.
bool isPrivateOrUnroutable(quint32 a, bool peerIsLoopback)
{
    const auto in = [a](quint32 net, int bits) {
        return (a >> (32 - bits)) == (net >> (32 - bits));
    };
    return in(0x00000000, 8) || in(0x0A000000, 8) || in(0x64400000, 10) || in(0xA9FE0000, 16) ||
           in(0xAC100000, 12) || in(0xC0A80000, 16) || (in(0x7F000000, 8) && !peerIsLoopback);
}

} // namespace

QString FtpPassiveAddress(const QString &replyAddress, const QString &controlPeer)
{
    if (replyAddress == controlPeer)
        return replyAddress;
    in_addr a{};
    if (inet_pton(AF_INET, replyAddress.toLatin1().constData(), &a) != 1)
        return controlPeer;
    return isPrivateOrUnroutable(ntohl(a.s_addr), isLoopback(controlPeer)) ? controlPeer
                                                                           : replyAddress;
}

QList<TCustomFtpCli::Step> TCustomFtpCli::dataSteps() const
{
    QList<Step> steps;
    if (Security == shared::FtpSecurity::ExplicitTls && !m_dataProtected)
        steps << Step::Pbsz << Step::Prot;
    steps << (DataMode == shared::FtpDataMode::Passive ? Step::Pasv : Step::Port);
    return steps;
}

void TCustomFtpCli::resetDataState()
{
    if (m_data->State() != TSocketState::wsClosed) {
        const TFtpState keep = m_state;
        m_state = TFtpState::ftpInternalAbort;
        m_data->Abort();
        m_state = keep;
    }
    m_storPhase = 0;
    m_startSeen = m_dataAccepted = m_goodFinal = m_dataClosed = false;
    m_eofReached = m_eofSent = m_sending = false;
    m_listingActive = false;
    m_dataConnecting = false;
    m_dataCloseError = 0;
    m_byteCount = 0;
}

void TCustomFtpCli::portStep()
{
    resetDataState();
    const bool ipv6 = WSocketIsIPv6(m_control->GetPeerAddr());

    m_data->SetProto(QStringLiteral("tcp"));
    m_data->SetAddr(ipv6 ? QStringLiteral("::") : QStringLiteral("0.0.0.0"));
    m_data->LingerOnOff = TSocketLingerOnOff::wsLingerOn;
    m_data->LingerTimeout = 10;
    auto bindFailed = [](const ESocketException &e) {
        return FtpException(QStringLiteral("Data connection winsock bind failed - ") +
                            WSocketErrorDesc(e.code()));
    };
    if (DataPortRangeStart == 0 && DataPortRangeEnd == 0) {
        m_data->SetPort(QStringLiteral("0"));
        try {
            m_data->Listen();
        } catch (const ESocketException &e) {
            throw bindFailed(e);
        }
    } else {
        if (DataPortRangeEnd < DataPortRangeStart)
            throw FtpException(
                QStringLiteral("DataPortRangeEnd must be greater than DataPortRangeStart"));
        const uint count = DataPortRangeEnd - DataPortRangeStart + 1;
        bool listening = false;
        for (uint i = 0; i < count && !listening; ++i) {
            uint port = m_lastDataPort + 1 + i;
            if (port < DataPortRangeStart || port > DataPortRangeEnd)
                port = DataPortRangeStart + (port - DataPortRangeStart) % count;
            m_data->SetPort(QString::number(port));
            try {
                m_data->Listen();
                listening = true;
                m_lastDataPort = port;
            } catch (const ESocketException &e) {
                if (e.code() != 10048)
                    throw bindFailed(e);
            }
        }
        if (!listening)
            throw FtpException(QStringLiteral("All ports in DataPortRange are in use"));
    }

    const uint port = m_data->LocalPort().toUInt();
    if (ipv6) {
        sendCommand("EPRT", QStringLiteral("|2|%1|%2|").arg(m_control->GetXAddr()).arg(port),
                    {200});
        return;
    }
    QString hostPart;
    // A server at 127.0.0.1 is told 127.0.0.1, whatever address the system picked locally.
    if (m_control->Addr() == QLatin1String("127.0.0.1"))
        hostPart = QStringLiteral("127,0,0,1");
    else
        hostPart = m_control->GetXAddr().split(QLatin1Char('.')).join(QLatin1Char(','));
    sendCommand("PORT", QStringLiteral("%1,%2,%3").arg(hostPart).arg(port >> 8).arg(port & 0xff),
                {200, 227});
}

void TCustomFtpCli::pasvStep()
{
    resetDataState();
    // PASV names IPv4 addresses only: over IPv6 the server must know EPSV.
    m_pasvSent = m_epsvRefused && !WSocketIsIPv6(m_control->GetPeerAddr());
    if (m_pasvSent)
        sendCommand("PASV", QString(), {227}, &TCustomFtpCli::pasvReply);
    else
        sendCommand("EPSV", QString(), {229}, &TCustomFtpCli::pasvReply);
}

void TCustomFtpCli::pasvReply(bool ok)
{
    const int code = m_statusCode;
    if (!ok && !m_pasvSent && (code == 500 || code == 502) && !m_epsvRefused) {
        m_epsvRefused = true;
        m_state = TFtpState::ftpInternalReady;
        pasvStep();
        return;
    }
    if (!ok) {
        stepDone(false);
        return;
    }
    const QString peer = m_control->GetPeerAddr();
    QString address;
    uint port = 0;
    if (m_pasvSent) {
        static const QRegularExpression numbers(
            QStringLiteral("(\\d+),(\\d+),(\\d+),(\\d+),(\\d+),(\\d+)"));
        const QRegularExpressionMatch m = numbers.match(m_lastResponse.mid(4));
        if (m.hasMatch()) {
            address = QStringLiteral("%1.%2.%3.%4")
                          .arg(m.captured(1), m.captured(2), m.captured(3), m.captured(4));
            port = m.captured(5).toUInt() * 256 + m.captured(6).toUInt();
            address = FtpPassiveAddress(address, peer);
        }
    } else {
        // "229 Entering Extended Passive Mode (|||port|)": the control peer's address.
        static const QRegularExpression delimited(QStringLiteral("\\((.)\\1\\1(\\d+)\\1\\)"));
        const QRegularExpressionMatch m = delimited.match(m_lastResponse);
        if (m.hasMatch()) {
            address = peer;
            port = m.captured(2).toUInt();
        }
    }
    if (address.isEmpty() || port == 0 || port > 65535) {
        m_statusCode = 500;
        m_errorMessage = QStringLiteral("500 No data address in the reply: ") + m_lastResponse;
        stepDone(false);
        return;
    }
    m_completion = nullptr;
    m_accepted.clear();
    m_dataTarget = address + QStringLiteral(" port ") + QString::number(port);
    display(QStringLiteral("! Data connection to ") + m_dataTarget);
    // Lines that arrive while connecting belong to no command.
    m_state = TFtpState::ftpPasvReady;
    m_dataConnecting = true;
    m_data->SetProto(QStringLiteral("tcp"));
    m_data->SetAddr(address);
    m_data->SetPort(QString::number(port));
    m_data->LingerOnOff = TSocketLingerOnOff::wsLingerOff;
    m_data->LingerTimeout = 10;
    try {
        m_data->Connect();
    } catch (const ESocketException &e) {
        m_dataConnecting = false;
        m_statusCode = 425;
        m_errorMessage = QStringLiteral("425 Cannot open the data connection to ") + m_dataTarget +
                         QStringLiteral(" - ") + e.message();
        endRequest(425);
    }
}

void TCustomFtpCli::dataSessionConnected(int error)
{
    if (!m_dataConnecting || m_state != TFtpState::ftpPasvReady)
        return;
    m_dataConnecting = false;
    if (error != 0) {
        m_statusCode = 425;
        m_errorMessage = QStringLiteral("425 Cannot open the data connection to ") + m_dataTarget +
                         QStringLiteral(" - ") + WSocketErrorDesc(error);
        endRequest(425);
        return;
    }
    // With TLS the handshake completes only once the server serves the command (STOR
    // or LIST), so the command goes out now and the transfer waits for the handshake.
    if (Security == shared::FtpSecurity::ExplicitTls) {
        startDataTls();
        if (m_state == TFtpState::ftpReady)
            return; // it failed
    } else {
        m_dataAccepted = true;
    }
    stepDone(true);
}

void TCustomFtpCli::storStep()
{
    if (!m_connected)
        throw FtpException(QStringLiteral("STOR/APPE: not connected"));
    if (LocalFileName.isEmpty())
        throw FtpException(QStringLiteral("LocalFileName empty"));
    m_localFile.close();
    m_localFile.setFileName(LocalFileName);
    if (!m_localFile.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        m_statusCode = 426;
        m_errorMessage = QStringLiteral("Unable to open local file ") + LocalFileName +
                         QStringLiteral(": ") + m_localFile.errorString();
        closeDataAndFile();
        endRequest(426);
        return;
    }
    m_storPhase = 1;
    sendCommand("STOR", HostFileName, {150, 125}, &TCustomFtpCli::storReply);
}

void TCustomFtpCli::listStep(const char *verb)
{
    if (!m_connected)
        throw FtpException(QString::fromLatin1(verb) + QStringLiteral(": not connected"));
    m_listing.clear();
    m_listingActive = true;
    m_storPhase = 1;
    // The same two replies as STOR: 150/125, then 226/250 once the listing is sent.
    sendCommand(verb, HostFileName, {150, 125}, &TCustomFtpCli::storReply);
}

void TCustomFtpCli::retrStep()
{
    if (!m_connected)
        throw FtpException(QStringLiteral("RETR: not connected"));
    m_localFile.setFileName(LocalFileName);
    if (!m_localFile.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw FtpException(QStringLiteral("Unable to create local file ") + LocalFileName +
                           QStringLiteral(": ") + m_localFile.errorString());
    m_byteCount = 0;
    m_retrActive = true;
    m_storPhase = 1;
    m_startTime.start();
    sendCommand("RETR", HostFileName, {150, 125}, &TCustomFtpCli::storReply);
}

void TCustomFtpCli::storReply(bool ok)
{
    if (m_storPhase == 1) {
        if (!ok) {
            closeDataAndFile();
            stepDone(false);
            return;
        }
        // The transfer has started; the same command now waits for its final reply.
        m_storPhase = 2;
        m_startSeen = true;
        m_accepted = {226, 250};
        startSendingIfReady();
        return;
    }
    if (!ok) {
        closeDataAndFile();
        display(QStringLiteral("! STOR Failed"));
        stepDone(false);
        return;
    }
    m_goodFinal = true;
    finishIfDone();
}

void TCustomFtpCli::dataSessionAvailable()
{
    if (m_data->State() != TSocketState::wsListening)
        return;
    QString peer;
    const int handle = m_data->Accept(&peer);
    if (handle < 0)
        return;
    // Only the server may take the archive: anyone else who finds the port is turned away
    // and the wait for the server goes on.
    if (peer.isEmpty() || peer != m_control->GetPeerAddr()) {
        ::close(handle);
        display(QStringLiteral("! Data connection from %1 refused").arg(peer));
        return;
    }
    m_dataAccepted = false; // the listening socket's close below is not the data closing
    m_data->Close();
    m_data->Dup(handle);
    m_data->LingerOnOff = TSocketLingerOnOff::wsLingerOff;
    m_data->LingerTimeout = 10;
    m_data->SetLingerOption();
    if (Security == shared::FtpSecurity::ExplicitTls) {
        startDataTls();
        return;
    }
    m_dataAccepted = true;
    startSendingIfReady();
}

void TCustomFtpCli::dataDataAvailable()
{
    constexpr qsizetype maxListing = 1 << 20;
    char sink[4096];
    const int n = m_data->Receive(sink, sizeof sink);
    if (n > 0 && m_listingActive) {
        m_byteCount += n;
        m_listing.append(sink, int(std::min<qsizetype>(n, maxListing - m_listing.size())));
    }
    if (n > 0 && m_retrActive) {
        if (m_localFile.write(sink, n) != n) {
            m_statusCode = 426;
            m_errorMessage = QStringLiteral("Unable to write local file ") + LocalFileName +
                             QStringLiteral(": ") + m_localFile.errorString();
            closeDataAndFile();
            endRequest(426);
            return;
        }
        m_byteCount += n;
        progressed();
        if (OnProgress)
            OnProgress(this, m_byteCount);
    }
}

void TCustomFtpCli::dataDataSent()
{
    if (m_sending)
        sendNextBlock();
}

void TCustomFtpCli::dataSessionClosed(int error)
{
    if (!m_dataAccepted || m_dataClosed || m_state == TFtpState::ftpAbort ||
        m_state == TFtpState::ftpInternalAbort)
        return;
    m_dataClosed = true;
    m_dataCloseError = error;
    m_activityTimer->stop();
    if (m_storPhase == 2)
        finishIfDone();
}

void TCustomFtpCli::startSendingIfReady()
{
    if (m_listingActive || m_retrActive)
        return;
    if (!m_startSeen || !m_dataAccepted || m_sending || m_eofSent || m_dataClosed)
        return;
    m_sending = true;
    m_startTime.start();
    m_lastAcked = 0;
    m_activityTimer->start();
    sendNextBlock();
}

void TCustomFtpCli::sendNextBlock()
{
    if (!m_sending || m_eofSent || m_data->State() != TSocketState::wsConnected)
        return;
    try {
        if (!m_eofReached) {
            const int blocks = std::max(1, UploadHandover / TWSocket::kBlockSize);
            const qint64 chunk = qint64(blocks) * TWSocket::kBlockSize;
            if (m_fileBuffer.size() != chunk)
                m_fileBuffer.resize(chunk);
            const qint64 n = m_localFile.read(m_fileBuffer.data(), chunk);
            if (n < 0) {
                m_statusCode = 426;
                m_errorMessage = QStringLiteral("Unable to read local file ") + LocalFileName +
                                 QStringLiteral(": ") + m_localFile.errorString();
                closeDataAndFile();
                endRequest(426);
                return;
            }
            if (n > 0) {
                m_byteCount += n;
                progressed();
                m_data->Send(m_fileBuffer.constData(), int(n));
                return;
            }
            m_eofReached = true;
        }
        // Shut the sending side only when every byte has left our buffer; OnDataSent
        // brings us back here once it has.
        if (m_data->AllSent()) {
            m_data->ShutDown(1);
            m_eofSent = true;
        }
    } catch (const ESocketException &e) {
        m_statusCode = 426;
        m_errorMessage = QStringLiteral("Socket Error - ") + WSocketErrorDesc(e.code());
        closeDataAndFile();
        endRequest(426);
    }
}

// The inactivity limit of an upload counts from the last byte the server took, not from
// the last handover: a slow but steady server may need longer than the limit to take one
// handover (or, after the last one, everything the kernel still holds).
void TCustomFtpCli::checkUploadActivity()
{
    const qint64 acked = m_byteCount - m_data->BufferedByteCount() - m_data->KernelOutQueue();
    if (acked > m_lastAcked) {
        m_lastAcked = acked;
        progressed();
        if (OnProgress)
            OnProgress(this, acked);
    }
}

void TCustomFtpCli::finishIfDone()
{
    if (!m_goodFinal || !m_dataClosed)
        return;
    const qint64 ms = m_startTime.isValid() ? m_startTime.elapsed() : 0;
    QString line = QStringLiteral("! ") + QString::number(m_byteCount) +
                   QStringLiteral(" bytes received/sent in ");
    if (ms < 5000)
        line += QString::number(ms) + QStringLiteral(" milliseconds");
    else
        line += QString::number(ms / 1000) + QStringLiteral(" seconds (") +
                QString::number(m_byteCount * 1000 / ms) + QStringLiteral(" Bytes/sec)");
    display(line);

    int result = m_dataCloseError;
    if (result != 0) {
        m_errorMessage = QStringLiteral("426 Data connection closed - ") + WSocketErrorDesc(result);
    } else if (m_retrActive && !m_localFile.flush()) {
        result = 426;
        m_errorMessage = QStringLiteral("Unable to write local file ") + LocalFileName +
                         QStringLiteral(": ") + m_localFile.errorString();
    } else if (!m_eofSent && !m_listingActive && !m_retrActive) {
        // 226 for a file we did not finish sending must not count as stored.
        result = 426;
        m_errorMessage =
            QStringLiteral("426 Data connection closed before the whole file was sent");
    }
    const bool upload = !m_listingActive && !m_retrActive;
    closeDataAndFile();
    if (result == 0) {
        if (upload && OnProgress)
            OnProgress(this, m_byteCount);
        stepDone(true);
    } else {
        m_statusCode = 426;
        endRequest(result);
    }
}

void TCustomFtpCli::closeDataAndFile()
{
    m_activityTimer->stop();
    m_localFile.close();
    m_sending = false;
    m_listingActive = false;
    m_retrActive = false;
    m_dataAccepted = false;
    m_dataConnecting = false;
    m_storPhase = 0;
    m_data->Abort();
}

} // namespace norvex::transfer
