// The data connection of TCustomFtpCli: PORT, then STOR (upload) or LIST (a listing).
#include "transfer/FtpCli.h"

#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <unistd.h>

namespace norvex::transfer {

void TCustomFtpCli::portStep()
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
    m_dataCloseError = 0;
    m_byteCount = 0;

    m_data->SetProto(QStringLiteral("tcp"));
    m_data->SetAddr(QStringLiteral("0.0.0.0"));
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
    QString hostPart;
    // A server at 127.0.0.1 is told 127.0.0.1, whatever address the system picked locally.
    if (m_control->Addr() == QLatin1String("127.0.0.1"))
        hostPart = QStringLiteral("127,0,0,1");
    else
        hostPart = m_control->GetXAddr().split(QLatin1Char('.')).join(QLatin1Char(','));
    sendCommand("PORT", QStringLiteral("%1,%2,%3").arg(hostPart).arg(port >> 8).arg(port & 0xff),
                {200, 227});
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

void TCustomFtpCli::listStep()
{
    if (!m_connected)
        throw FtpException(QStringLiteral("LIST: not connected"));
    m_listing.clear();
    m_listingActive = true;
    m_storPhase = 1;
    // The same two replies as STOR: 150/125, then 226/250 once the listing is sent.
    sendCommand("LIST", HostFileName, {150, 125}, &TCustomFtpCli::storReply);
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
    if (m_listingActive)
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
    } else if (!m_eofSent && !m_listingActive) {
        // 226 for a file we did not finish sending must not count as stored.
        result = 426;
        m_errorMessage =
            QStringLiteral("426 Data connection closed before the whole file was sent");
    }
    const bool upload = !m_listingActive;
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
    m_dataAccepted = false;
    m_storPhase = 0;
    m_data->Abort();
}

} // namespace norvex::transfer
