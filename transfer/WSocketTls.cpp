// TLS inside TWSocket: OpenSSL works non-blocking on the socket's own descriptor, and its
// wishes to read or write are mapped onto the socket's notifiers, so the events reach the
// owner exactly as for a plain connection.
#include "transfer/WSocket.h"

#include <QPointer>
#include <cerrno>
#include <climits>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

namespace norvex::transfer {

void TWSocket::StartTls(SSL_CTX *context, const QString &host, SSL_SESSION *resume)
{
    if (m_state != TSocketState::wsConnected || m_handle == -1)
        throw ESocketException(QStringLiteral("StartTls: Socket is not connected"), WSAENOTCONN);
    if (m_ssl)
        throw ESocketException(QStringLiteral("StartTls: TLS already started"), WSAEINVAL);
    m_tlsError.clear();
    m_ssl = SSL_new(context);
    if (!m_ssl || SSL_set_fd(m_ssl, m_handle) != 1) {
        tlsFree();
        throw ESocketException(QStringLiteral("StartTls: cannot set up TLS"), WSAEINVAL);
    }
    SSL_set_mode(m_ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    const QByteArray name = WSocketUnbracketed(host.trimmed()).toUtf8();
    if (WSocketIsIPv6(QString::fromUtf8(name)) || WSocketIsDottedIP(QString::fromUtf8(name))) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), name.constData());
    } else {
        SSL_set_tlsext_host_name(m_ssl, name.constData());
        SSL_set1_host(m_ssl, name.constData());
    }
    if (resume)
        SSL_set_session(m_ssl, resume);
    m_tlsHandshaking = true;
    // The first step only writes the ClientHello; its outcome (even a failure) is reported
    // from the event loop, never inside this call.
    ERR_clear_error();
    const int rc = SSL_connect(m_ssl);
    const int err = SSL_get_error(m_ssl, rc);
    m_tlsWantWrite = err == SSL_ERROR_WANT_WRITE;
    updateWriteInterest();
    if (rc == 1 || (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)) {
        m_tlsWantWrite = true; // a writable socket brings the next step at once
        updateWriteInterest();
    }
}

// The text of the TLS failure behind result (of SSL_connect, SSL_read, ...); returns the
// Winsock code that goes with it.
int TWSocket::tlsFailure(int result, const char *operation)
{
    const int err = SSL_get_error(m_ssl, result);
    const int savedErrno = errno;
    const unsigned long first = ERR_peek_error();
    int code = WSAECONNABORTED;
    QString reason;
    if (first != 0) {
        const char *text = ERR_reason_error_string(first);
        reason = text ? QString::fromLatin1(text) : QStringLiteral("error %1").arg(first);
    } else if (err == SSL_ERROR_SYSCALL && savedErrno != 0) {
        code = errnoToWinsock(savedErrno);
        reason = WSocketErrorDesc(code);
    } else if (err == SSL_ERROR_SYSCALL || err == SSL_ERROR_ZERO_RETURN) {
        reason = QStringLiteral("the peer closed the connection");
    } else {
        reason = QStringLiteral("error %1").arg(err);
    }
    ERR_clear_error();
    m_lastError = code;
    m_tlsError = QString::fromLatin1(operation) + QStringLiteral(" failed: ") + reason;
    return code;
}

void TWSocket::tlsHandshakeStep()
{
    ERR_clear_error();
    const int rc = SSL_connect(m_ssl);
    if (rc == 1) {
        m_tlsHandshaking = false;
        m_tlsWantWrite = false;
        QPointer<TWSocket> self(this);
        const int serial = m_serial;
        if (m_bufferedBytes > 0 && !tlsSendBuffered())
            return;
        updateWriteInterest();
        if (OnTlsDone)
            OnTlsDone(this, 0);
        if (self && serial == m_serial && m_bufferedBytes == 0 && m_sendPending)
            postDataSent();
        return;
    }
    const int err = SSL_get_error(m_ssl, rc);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
        m_tlsWantWrite = err == SSL_ERROR_WANT_WRITE;
        updateWriteInterest();
        return;
    }
    const int code = tlsFailure(rc, "TLS handshake");
    m_tlsHandshaking = false;
    m_tlsWantWrite = false;
    updateWriteInterest();
    if (OnTlsDone)
        OnTlsDone(this, code);
}

bool TWSocket::tlsSendBuffered()
{
    m_tlsWantWrite = false;
    while (m_bufferedBytes > 0) {
        const qsizetype rest = m_tlsOut.size() - m_tlsOutStart;
        ERR_clear_error();
        const int n = SSL_write(m_ssl, m_tlsOut.constData() + m_tlsOutStart,
                                int(std::min<qsizetype>(rest, INT_MAX)));
        if (n > 0) {
            m_tlsOutStart += n;
            m_bufferedBytes -= n;
            continue;
        }
        const int err = SSL_get_error(m_ssl, n);
        if (err == SSL_ERROR_WANT_WRITE || err == SSL_ERROR_WANT_READ) {
            m_tlsWantWrite = err == SSL_ERROR_WANT_WRITE;
            break;
        }
        const int code = tlsFailure(n, "TLS write");
        internalClose(code, true);
        return false;
    }
    if (m_bufferedBytes == 0) {
        m_tlsOut.clear();
        m_tlsOutStart = 0;
    }
    updateWriteInterest();
    return true;
}

int TWSocket::tlsReceive(void *buffer, int size)
{
    if (m_tlsHandshaking) {
        m_lastError = WSAEWOULDBLOCK;
        return -1;
    }
    ERR_clear_error();
    const int n = SSL_read(m_ssl, buffer, size);
    if (n > 0) {
        m_readCount += n;
        return n;
    }
    const int err = SSL_get_error(m_ssl, n);
    if (err == SSL_ERROR_ZERO_RETURN)
        return 0;
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
        m_lastError = WSAEWOULDBLOCK;
        return -1;
    }
    // A peer that closes without close_notify: the stream ends like a plain one. What
    // depends on having everything (an upload) is confirmed by the server's reply anyway.
    if (err == SSL_ERROR_SYSCALL && errno == 0 && ERR_peek_error() == 0)
        return 0;
    if (ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        return 0;
    }
    const int code = tlsFailure(n, "TLS read");
    internalClose(code, true);
    return -1;
}

void TWSocket::tlsContinueShutdown()
{
    ERR_clear_error();
    const int rc = SSL_shutdown(m_ssl);
    if (rc < 0 && SSL_get_error(m_ssl, rc) == SSL_ERROR_WANT_WRITE) {
        m_tlsWantWrite = true;
        updateWriteInterest();
        return;
    }
    ERR_clear_error();
    m_tlsShutdownPending = false;
    m_tlsWantWrite = false;
    updateWriteInterest();
    ::shutdown(m_handle, m_tlsShutdownHow);
}

void TWSocket::tlsFree()
{
    if (m_ssl) {
        // Freed without a close_notify of ours, OpenSSL would mark the session as not
        // resumable, and the next data connection that resumes it would be refused.
        SSL_set_shutdown(m_ssl, SSL_get_shutdown(m_ssl) | SSL_SENT_SHUTDOWN);
        SSL_free(m_ssl);
        m_ssl = nullptr;
    }
    m_tlsHandshaking = false;
    m_tlsWantWrite = false;
    m_tlsShutdownPending = false;
    m_tlsOut.clear();
    m_tlsOutStart = 0;
}

} // namespace norvex::transfer
