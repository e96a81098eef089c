// Explicit TLS of TCustomFtpCli: AUTH TLS after the greeting, the certificate check, and
// TLS on the data connections, each resuming the control connection's session.
//
// Trust: a certificate that verifies against the system's trust store for HostName is
// trusted. Any other is compared with the fingerprint recorded in KnownCertsFile: the same
// one is trusted; none recorded is recorded and trusted (AskBeforeTrusting false) or left
// to a person (true: Open fails with PendingCertificate() filled); a different one fails
// every connection. Nothing of the login is sent before this has passed.
#include "transfer/FtpCli.h"

#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace norvex::transfer {

namespace {

QString subjectLine(X509 *certificate)
{
    BIO *out = BIO_new(BIO_s_mem());
    X509_NAME_print_ex(out, X509_get_subject_name(certificate), 0,
                       (XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) | ASN1_STRFLGS_UTF8_CONVERT);
    char *data = nullptr;
    const long size = BIO_get_mem_data(out, &data);
    const QString text = QString::fromUtf8(data, qsizetype(size));
    BIO_free(out);
    return text;
}

QByteArray derOf(X509 *certificate)
{
    const int size = i2d_X509(certificate, nullptr);
    if (size <= 0)
        return {};
    QByteArray der(size, Qt::Uninitialized);
    auto *p = reinterpret_cast<unsigned char *>(der.data());
    i2d_X509(certificate, &p);
    return der;
}

} // namespace

SSL_CTX *TCustomFtpCli::tlsContext()
{
    if (!m_tlsContext) {
        m_tlsContext = SSL_CTX_new(TLS_client_method());
        if (!m_tlsContext)
            throw FtpException(QStringLiteral("TLS cannot be set up (OpenSSL)"));
        SSL_CTX_set_min_proto_version(m_tlsContext, TLS1_2_VERSION);
        SSL_CTX_set_default_verify_paths(m_tlsContext);
        // The handshake goes on whatever the chain: the verdict is read afterwards, so a
        // certificate that does not verify can still be trusted on first use.
        SSL_CTX_set_verify(m_tlsContext, SSL_VERIFY_NONE, nullptr);
    }
    return m_tlsContext;
}

void TCustomFtpCli::failOpen(int code, const QString &message)
{
    m_statusCode = code;
    m_requestResult = code;
    m_errorMessage = message;
    const TFtpState keep = m_state;
    m_state = TFtpState::ftpInternalAbort;
    m_control->Abort();
    m_state = keep;
    m_connected = false;
    endRequest(code);
}

void TCustomFtpCli::authReply(bool ok)
{
    if (!ok) {
        // Never on in clear text: the job asked for TLS.
        failOpen(m_statusCode,
                 m_lastResponse + QStringLiteral(" (the server refused AUTH TLS; the login "
                                                 "was not sent without encryption)"));
        return;
    }
    m_completion = nullptr;
    m_accepted.clear();
    m_state = TFtpState::ftpConnected;
    try {
        m_control->StartTls(tlsContext(), HostName, nullptr);
    } catch (const shared::Exception &e) {
        failOpen(500, QStringLiteral("500 ") + e.message());
    }
}

void TCustomFtpCli::protReply(bool ok)
{
    m_dataProtected = ok;
    stepDone(ok);
}

void TCustomFtpCli::controlTlsDone(int error)
{
    if (m_state != TFtpState::ftpConnected)
        return;
    if (error != 0) {
        failOpen(500, QStringLiteral("500 TLS handshake with the server failed - ") +
                          m_control->TlsErrorText());
        return;
    }
    if (!certificateTrusted())
        return;
    display(QStringLiteral("! TLS: ") +
            QString::fromLatin1(SSL_get_version(m_control->TlsHandle())) + QLatin1Char(' ') +
            QString::fromLatin1(SSL_get_cipher_name(m_control->TlsHandle())));
    stepDone(true);
}

bool TCustomFtpCli::certificateTrusted()
{
    SSL *ssl = m_control->TlsHandle();
    X509 *certificate = SSL_get1_peer_certificate(ssl);
    if (!certificate) {
        failOpen(500, QStringLiteral("500 The server presented no TLS certificate"));
        return false;
    }
    const long verdict = SSL_get_verify_result(ssl);
    TFtpCertificate presented;
    presented.subject = subjectLine(certificate);
    presented.fingerprint = certificateFingerprint(derOf(certificate));
    presented.verifyError = QString::fromLatin1(X509_verify_cert_error_string(verdict));
    X509_free(certificate);
    if (verdict == X509_V_OK)
        return true;

    int port = 0;
    try {
        port = WSocketResolvePort(Port, QStringLiteral("tcp"));
    } catch (const ESocketException &) {
        port = m_control->GetPeerPort().toInt();
    }
    const QString host = HostName.trimmed();
    presented.recorded = recordedCertificate(KnownCertsFile, host, port);
    if (presented.recorded == presented.fingerprint)
        return true;
    if (presented.recorded.isEmpty() && !AskBeforeTrusting) {
        QString why;
        if (!recordCertificate(KnownCertsFile, host, port, presented.fingerprint, &why)) {
            failOpen(500,
                     QStringLiteral("500 The certificate of %1 could not be recorded in %2: %3")
                         .arg(host, KnownCertsFile, why));
            return false;
        }
        m_newlyTrusted = presented.fingerprint;
        display(QStringLiteral("! Certificate of ") + host +
                QStringLiteral(" trusted on first use: ") + presented.fingerprint);
        return true;
    }
    m_pendingCertificate = presented;
    if (presented.recorded.isEmpty())
        failOpen(500,
                 QStringLiteral("500 The certificate of %1 is not trusted (%2): %3, %4")
                     .arg(host, presented.verifyError, presented.subject, presented.fingerprint));
    else
        failOpen(500,
                 QStringLiteral("500 The certificate of %1 has changed: recorded %2, presented %3. "
                                "Nothing is sent to this server until the recorded fingerprint "
                                "is removed from %4")
                     .arg(host, presented.recorded, presented.fingerprint, KnownCertsFile));
    return false;
}

void TCustomFtpCli::startDataTls()
{
    SSL_SESSION *session = SSL_get1_session(m_control->TlsHandle());
    try {
        m_data->StartTls(tlsContext(), HostName, session);
    } catch (const shared::Exception &e) {
        SSL_SESSION_free(session);
        m_statusCode = 426;
        m_errorMessage = QStringLiteral("426 ") + e.message();
        closeDataAndFile();
        endRequest(426);
        return;
    }
    SSL_SESSION_free(session);
}

void TCustomFtpCli::dataTlsDone(int error)
{
    if (m_state != TFtpState::ftpWaitingResponse && m_state != TFtpState::ftpInternalReady)
        return;
    if (error != 0) {
        m_statusCode = 426;
        m_errorMessage =
            QStringLiteral("426 TLS on the data connection failed - ") + m_data->TlsErrorText();
        closeDataAndFile();
        endRequest(426);
        return;
    }
    display(QStringLiteral("! Data connection TLS, session %1")
                .arg(SSL_session_reused(m_data->TlsHandle()) ? QStringLiteral("resumed")
                                                             : QStringLiteral("new")));
    m_dataAccepted = true;
    startSendingIfReady();
}

} // namespace norvex::transfer
