#include "transfer/WSocket.h"

#include <QPointer>
#include <QPromise>
#include <QSocketNotifier>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <optional>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace norvex::transfer {

struct DnsAnswer
{
    QStringList addresses;
    int error = 0;
};

namespace {

int lastSocketError()
{
    return errnoToWinsock(errno);
}

// Connect outcomes that a non-blocking connect can report at once on Linux (loopback);
// Winsock always reports them later through the connect event, so they are deferred.
bool isConnectOutcome(int err)
{
    return err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH || err == ETIMEDOUT ||
           err == ECONNRESET;
}

} // namespace

TWSocket::TWSocket(QObject *parent) : QObject(parent)
{
}

TWSocket::~TWSocket()
{
    CancelDnsLookup();
    tlsFree();
    if (m_handle != -1) {
        destroyNotifiers();
        ::close(m_handle);
        m_handle = -1;
    }
}

void TWSocket::refuseUnlessClosed(const char *what) const
{
    if (m_state != TSocketState::wsClosed)
        throw ESocketException(
            QStringLiteral("Cannot change %1 if not closed").arg(QLatin1String(what)));
}

void TWSocket::SetAddr(const QString &value)
{
    refuseUnlessClosed("Addr");
    m_addr = value.trimmed();
}

void TWSocket::SetPort(const QString &value)
{
    refuseUnlessClosed("Port");
    m_port = value.trimmed();
}

void TWSocket::SetProto(const QString &value)
{
    refuseUnlessClosed("Proto");
    m_proto = value.trimmed();
}

void TWSocket::SetLocalAddr(const QString &value)
{
    refuseUnlessClosed("LocalAddr");
    m_localAddr = value.isEmpty() ? QStringLiteral("0.0.0.0") : value.trimmed();
}

void TWSocket::SetLocalPort(const QString &value)
{
    refuseUnlessClosed("LocalPort");
    m_localPort = value.isEmpty() ? QStringLiteral("0") : value.trimmed();
}

void TWSocket::changeState(TSocketState next)
{
    const TSocketState old = m_state;
    if (old == next)
        return;
    m_state = next;
    if (OnChangeState)
        OnChangeState(this, old, next);
}

ESocketException TWSocket::makeError(int code, const QString &operation)
{
    m_lastError = code;
    // A reset or never-connected socket is of no further use: report it closed first.
    if ((code == WSAECONNRESET || code == WSAENOTCONN) && m_handle != -1)
        internalClose(code, true);
    return ESocketException(WSocketErrorText(code) + QStringLiteral(" (#") + QString::number(code) +
                                QStringLiteral(" in ") + operation + QLatin1Char(')'),
                            code);
}

void TWSocket::socketError(int code, const QString &operation)
{
    const ESocketException e = makeError(code, operation);
    if (!OnError)
        throw e;
    OnError(this, e);
}

void TWSocket::raiseSocketError(int code, const QString &operation)
{
    throw makeError(code, operation);
}

// ---- notifiers and event dispatch ------------------------------------------------------

void TWSocket::createNotifiers()
{
    m_readNotifier = new QSocketNotifier(m_handle, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, [this] { onNotifier(); });
    m_writeNotifier = new QSocketNotifier(m_handle, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, [this] { onNotifier(); });
}

void TWSocket::destroyNotifiers()
{
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
}

void TWSocket::updateWriteInterest()
{
    if (!m_writeNotifier)
        return;
    const bool want =
        m_state == TSocketState::wsConnecting || m_bufferedBytes > 0 || m_tlsWantWrite;
    if (m_writeNotifier->isEnabled() != want)
        m_writeNotifier->setEnabled(want);
}

void TWSocket::onNotifier()
{
    if (m_inDispatch)
        return; // a handler runs a nested event loop; the level-triggered notifier comes back
    m_inDispatch = true;
    QPointer<TWSocket> self(this);
    try {
        dispatchEventsUnguarded();
    } catch (const std::exception &e) {
        if (self && !(OnBgException && OnBgException(this, e)))
            Abort();
    }
    if (self)
        m_inDispatch = false;
}

void TWSocket::dispatchEventsUnguarded()
{
    QPointer<TWSocket> self(this);
    const int serial = m_serial;
    auto alive = [&] { return self && m_serial == serial && m_handle != -1; };
    if (m_handle == -1)
        return;

    const bool wantWrite =
        m_bufferedBytes > 0 || m_state == TSocketState::wsConnecting || m_tlsWantWrite;
    pollfd p{m_handle, short(POLLIN | (wantWrite ? POLLOUT : 0)), 0};
    if (::poll(&p, 1, 0) <= 0)
        return;
    const short rev = p.revents;

    if (m_state == TSocketState::wsConnecting) {
        if (!(rev & (POLLOUT | POLLERR | POLLHUP | POLLIN)))
            return;
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(m_handle, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            m_lastError = errnoToWinsock(err);
            const int code = m_lastError;
            changeState(TSocketState::wsConnected);
            if (OnSessionConnected)
                OnSessionConnected(this, code);
            if (alive())
                internalClose(code, false);
            return;
        }
        changeState(TSocketState::wsConnected);
        updateWriteInterest();
        if (OnSessionConnected)
            OnSessionConnected(this, 0);
        if (!alive())
            return;
    }

    if (m_tlsHandshaking) {
        tlsHandshakeStep();
        return;
    }

    if (m_state == TSocketState::wsListening) {
        if ((rev & POLLIN) && OnSessionAvailable)
            OnSessionAvailable(this, 0);
        return;
    }

    if (m_state != TSocketState::wsConnected && m_state != TSocketState::wsSocksConnected)
        return;

    bool peerClosed = false;
    int closeError = 0;
    if (rev & (POLLIN | POLLHUP | POLLERR)) {
        peerClosed = deliverData(&closeError);
        if (!alive())
            return;
    }
    if (!peerClosed && (rev & POLLOUT)) {
        handleWritable();
        if (!alive())
            return;
    }
    if (peerClosed)
        handlePeerClosed(closeError);
}

// Delivers every pending byte; true when the peer has closed (after all data was taken).
bool TWSocket::deliverData(int *closeError)
{
    QPointer<TWSocket> self(this);
    const int serial = m_serial;
    for (;;) {
        // TLS: close_notify ends the stream even while the peer keeps the socket open.
        // Servers wait for our close_notify in answer before they confirm a transfer.
        if (m_ssl && (SSL_get_shutdown(m_ssl) & SSL_RECEIVED_SHUTDOWN)) {
            if (!(SSL_get_shutdown(m_ssl) & SSL_SENT_SHUTDOWN))
                SSL_shutdown(m_ssl);
            *closeError = 0;
            return true;
        }
        int pending = 0;
        if (ioctl(m_handle, FIONREAD, &pending) != 0)
            pending = 0;
        if (m_ssl)
            pending += SSL_pending(m_ssl);
        if (pending > 0) {
            if (OnDataAvailable) {
                const qint64 before = m_readCount;
                OnDataAvailable(this, 0);
                if (!self || m_serial != serial || m_handle == -1)
                    return false;
                // A close_notify the handler's read took leaves nothing in the socket to
                // bring another event: the loop's start reports the close.
                if (m_ssl && (SSL_get_shutdown(m_ssl) & SSL_RECEIVED_SHUTDOWN))
                    continue;
                if ((ComponentOptions & wsoNoReceiveLoop) || m_readCount == before)
                    return false; // the handler left data: its next event comes soon
            } else {
                char sink[1024];
                if (Receive(sink, sizeof sink) <= 0 &&
                    !(m_ssl && (SSL_get_shutdown(m_ssl) & SSL_RECEIVED_SHUTDOWN)))
                    return false;
            }
            continue;
        }
        char c;
        const ssize_t n = ::recv(m_handle, &c, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0)
            continue;
        if (n == 0) {
            *closeError = 0;
            return true;
        }
        if (errno == EAGAIN || errno == EINTR)
            return false;
        *closeError = lastSocketError();
        return true;
    }
}

void TWSocket::handleWritable()
{
    if (m_tlsShutdownPending) {
        tlsContinueShutdown();
        return;
    }
    if (m_bufferedBytes > 0) {
        if (!tryToSend() || m_bufferedBytes > 0)
            return;
    }
    updateWriteInterest();
    if (m_sendPending) {
        m_sendPending = false;
        if (OnDataSent)
            OnDataSent(this, 0);
    }
}

void TWSocket::handlePeerClosed(int error)
{
    QPointer<TWSocket> self(this);
    const int serial = m_serial;
    if (!m_closeInvoked) {
        m_closeInvoked = true;
        if (OnSessionClosed)
            OnSessionClosed(this, error);
    }
    if (self && m_serial == serial)
        internalClose(error, false);
}

void TWSocket::postDataSent()
{
    if (m_dataSentPosted)
        return;
    m_dataSentPosted = true;
    const int serial = m_serial;
    QMetaObject::invokeMethod(
        this,
        [this, serial] {
            m_dataSentPosted = false;
            if (serial != m_serial || m_handle == -1)
                return;
            QPointer<TWSocket> self(this);
            try {
                handleWritable();
            } catch (const std::exception &e) {
                if (self && !(OnBgException && OnBgException(this, e)))
                    Abort();
            }
        },
        Qt::QueuedConnection);
}

// ---- lookup ----------------------------------------------------------------------------

void TWSocket::DnsLookup(const QString &hostName)
{
    CancelDnsLookup();
    if (hostName.isEmpty()) {
        m_lastError = WSAEINVAL;
        ESocketException e(QStringLiteral("DNS lookup: invalid host name."), WSAEINVAL);
        if (!OnError)
            throw e;
        OnError(this, e);
        if (OnDnsLookupDone)
            OnDnsLookupDone(this, WSAEINVAL);
        return;
    }
    if (WSocketIsDottedIP(hostName) || WSocketIsIPv6(hostName)) {
        m_dnsResultList = QStringList{WSocketUnbracketed(hostName)};
        if (OnDnsLookupDone)
            OnDnsLookupDone(this, 0);
        return;
    }

    QPromise<DnsAnswer> promise;
    QFuture<DnsAnswer> future = promise.future();
    promise.start();
    try {
        std::thread([p = std::move(promise), name = hostName.toUtf8()]() mutable {
            DnsAnswer answer;
            answer.error = WSocketLookUp(name, &answer.addresses);
            p.addResult(answer);
            p.finish();
        }).detach();
    } catch (const std::system_error &e) {
        const int code = errnoToWinsock(e.code().value());
        throw ESocketException(hostName + QStringLiteral(": can't start DNS lookup - ") +
                                   WSocketErrorDesc(code),
                               code);
    }
    m_lookup = new QFutureWatcher<DnsAnswer>(this);
    connect(m_lookup, &QFutureWatcherBase::finished, this, [this] { lookupFinished(); });
    m_lookup->setFuture(future);
}

void TWSocket::lookupFinished()
{
    QFutureWatcher<DnsAnswer> *watcher = m_lookup;
    m_lookup = nullptr;
    if (!watcher)
        return;
    const DnsAnswer answer =
        watcher->future().resultCount() > 0 ? watcher->future().result() : DnsAnswer{{}, 11003};
    watcher->deleteLater();
    if (answer.error == 0)
        m_dnsResultList = answer.addresses;
    m_lastError = answer.error;
    try {
        if (OnDnsLookupDone)
            OnDnsLookupDone(this, answer.error);
    } catch (const std::exception &e) {
        if (!(OnBgException && OnBgException(this, e)))
            Abort();
    }
}

void TWSocket::CancelDnsLookup()
{
    if (!m_lookup)
        return;
    m_lookup->disconnect(this);
    m_lookup->deleteLater();
    m_lookup = nullptr;
}

// ---- connect, listen, accept -----------------------------------------------------------

void TWSocket::applyOptions()
{
    if (ComponentOptions & wsoTcpNoDelay) {
        const int on = 1;
        if (setsockopt(m_handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
            raiseSocketError(lastSocketError(),
                             QStringLiteral("setsockopt(IPPROTO_TCP, TCP_NODELAY)"));
    }
    SetLingerOption();
    if (KeepAliveOnOff != TSocketKeepAliveOnOff::wsKeepAliveOff) {
        const int on = 1;
        if (setsockopt(m_handle, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
            raiseSocketError(lastSocketError(), QStringLiteral("setsockopt(SO_KEEPALIVE)"));
        if (KeepAliveOnOff == TSocketKeepAliveOnOff::wsKeepAliveOnCustom) {
            const int idle = std::max(1, KeepAliveTime / 1000);
            const int interval = std::max(1, KeepAliveInterval / 1000);
            if (setsockopt(m_handle, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
                setsockopt(m_handle, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0)
                raiseSocketError(lastSocketError(), QStringLiteral("setsockopt(SO_KEEPALIVE)"));
        }
    }
}

void TWSocket::SetLingerOption()
{
    if (m_handle == -1 || LingerOnOff == TSocketLingerOnOff::wsLingerNoSet)
        return;
    linger l{};
    l.l_onoff = LingerOnOff == TSocketLingerOnOff::wsLingerOn ? 1 : 0;
    l.l_linger = LingerTimeout;
    if (setsockopt(m_handle, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0)
        raiseSocketError(lastSocketError(), QStringLiteral("setsockopt(SO_LINGER)"));
}

void TWSocket::Connect()
{
    if (m_handle != -1 && m_state != TSocketState::wsClosed)
        throw ESocketException(QStringLiteral("Connect: Socket already in use"));
    if (m_port.isEmpty())
        throw ESocketException(QStringLiteral("Connect: No Port Specified"));
    if (m_addr.isEmpty())
        throw ESocketException(QStringLiteral("Connect: No IP Address Specified"));

    sockaddr_storage peer{};
    socklen_t peerLength = 0;
    try {
        WSocketResolveProto(m_proto);
        peerLength = WSocketResolveAddress(m_addr, WSocketResolvePort(m_port, m_proto), &peer);
    } catch (const ESocketException &e) {
        throw ESocketException(QStringLiteral("connect: ") + e.message(), e.code());
    }

    const int fd = ::socket(peer.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        raiseSocketError(lastSocketError(), QStringLiteral("socket"));
    m_handle = fd;
    ++m_serial;
    m_closeInvoked = false;
    m_sendPending = false;
    changeState(TSocketState::wsOpened);
    try {
        int size = 0;
        socklen_t len = sizeof size;
        if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &len) != 0)
            raiseSocketError(lastSocketError(), QStringLiteral("getsockopt(SO_SNDBUF)"));
        len = sizeof size;
        if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len) != 0)
            raiseSocketError(lastSocketError(), QStringLiteral("getsockopt(SO_RCVBUF)"));
        const int on = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
            raiseSocketError(lastSocketError(), QStringLiteral("setsockopt(SO_REUSEADDR)"));
        applyOptions();
        // The default local address of IPv4 means "any" for an IPv6 peer too.
        const bool anyLocal =
            m_localAddr == QLatin1String("0.0.0.0") || m_localAddr == QLatin1String("::");
        if (m_localPort != QLatin1String("0") || !anyLocal) {
            sockaddr_storage local{};
            const socklen_t localLength = WSocketResolveAddress(
                anyLocal && peer.ss_family == AF_INET6 ? QStringLiteral("::") : m_localAddr,
                WSocketResolvePort(m_localPort, m_proto), &local);
            if (::bind(fd, reinterpret_cast<sockaddr *>(&local), localLength) != 0)
                raiseSocketError(lastSocketError(), QStringLiteral("Bind"));
        }
        createNotifiers();
        if (::connect(fd, reinterpret_cast<sockaddr *>(&peer), peerLength) != 0) {
            const int err = errno;
            if (isConnectOutcome(err)) {
                changeState(TSocketState::wsConnecting);
                const int serial = m_serial;
                const int code = errnoToWinsock(err);
                QMetaObject::invokeMethod(
                    this, [this, serial, code] { deliverDeferredConnect(serial, code); },
                    Qt::QueuedConnection);
                return;
            }
            if (err != EINPROGRESS)
                raiseSocketError(errnoToWinsock(err), QStringLiteral("Connect"));
        }
    } catch (...) {
        internalClose(0, false);
        throw;
    }
    changeState(TSocketState::wsConnecting);
    updateWriteInterest();
}

void TWSocket::deliverDeferredConnect(int serial, int error)
{
    if (serial != m_serial || m_state != TSocketState::wsConnecting)
        return;
    QPointer<TWSocket> self(this);
    m_lastError = error;
    try {
        changeState(TSocketState::wsConnected);
        if (OnSessionConnected)
            OnSessionConnected(this, error);
    } catch (const std::exception &e) {
        if (self && !(OnBgException && OnBgException(this, e)))
            Abort();
    }
    if (self && serial == m_serial)
        internalClose(error, false);
}

void TWSocket::Listen()
{
    if (m_port.isEmpty())
        throw ESocketException(QStringLiteral("listen: port not assigned"));
    if (m_proto.isEmpty())
        throw ESocketException(QStringLiteral("listen: protocol not assigned"));
    if (m_addr.isEmpty())
        throw ESocketException(QStringLiteral("listen: address not assigned"));
    if (m_handle != -1 && m_state != TSocketState::wsClosed)
        throw ESocketException(QStringLiteral("listen: Socket already in use"));

    sockaddr_storage local{};
    WSocketResolveProto(m_proto);
    const socklen_t localLength =
        WSocketResolveAddress(m_addr, WSocketResolvePort(m_port, m_proto), &local);

    const int fd = ::socket(local.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        raiseSocketError(lastSocketError(), QStringLiteral("socket"));
    m_handle = fd;
    ++m_serial;
    m_closeInvoked = false;
    try {
        changeState(TSocketState::wsOpened);
        SetLingerOption();
        if (::bind(fd, reinterpret_cast<sockaddr *>(&local), localLength) != 0)
            raiseSocketError(lastSocketError(), QStringLiteral("Bind"));
        changeState(TSocketState::wsBound);
        if (::listen(fd, ListenBacklog) != 0)
            raiseSocketError(lastSocketError(), QStringLiteral("Listen"));
        m_localPort = GetXPort();
        createNotifiers();
    } catch (...) {
        internalClose(0, false);
        throw;
    }
    changeState(TSocketState::wsListening);
}

int TWSocket::Accept(QString *peerAddr)
{
    if (m_state != TSocketState::wsListening)
        throw ESocketException(QStringLiteral("not a listening socket"));
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(m_handle, reinterpret_cast<sockaddr *>(&peer), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        m_lastError = lastSocketError();
        if (m_lastError != WSAEWOULDBLOCK)
            socketError(m_lastError, QStringLiteral("Accept"));
        return -1;
    }
    if (peerAddr)
        *peerAddr = WSocketAddressText(reinterpret_cast<const sockaddr *>(&peer));
    return fd;
}

void TWSocket::Dup(int handle)
{
    if (m_handle != -1)
        internalClose(0, false);
    const int flags = fcntl(handle, F_GETFL);
    fcntl(handle, F_SETFL, flags | O_NONBLOCK);
    m_handle = handle;
    ++m_serial;
    m_closeInvoked = false;
    m_sendPending = false;
    createNotifiers();
    changeState(TSocketState::wsConnected);
}

// ---- data ------------------------------------------------------------------------------

int TWSocket::Receive(void *buffer, int size)
{
    if (m_handle == -1) {
        m_lastError = WSAENOTSOCK;
        return -1;
    }
    if (m_ssl)
        return tlsReceive(buffer, size);
    const ssize_t n = ::recv(m_handle, buffer, size_t(size), MSG_DONTWAIT);
    if (n < 0) {
        m_lastError = lastSocketError();
        return -1;
    }
    m_readCount += n;
    return int(n);
}

QByteArray TWSocket::ReceiveStr()
{
    int pending = 0;
    if (m_handle == -1 || ioctl(m_handle, FIONREAD, &pending) != 0 || pending <= 0)
        return {};
    if (m_ssl)
        pending = std::max(pending, 16384);
    QByteArray data(pending, Qt::Uninitialized);
    const int n = Receive(data.data(), pending);
    data.resize(std::max(0, n));
    return data;
}

void TWSocket::appendToBuffer(const char *data, qint64 size)
{
    while (size > 0) {
        if (m_blocks.empty() || m_blocks.back().end == kBlockSize) {
            m_blocks.push_back(Block{QByteArray(kBlockSize, Qt::Uninitialized), 0, 0});
        }
        Block &last = m_blocks.back();
        const int room = kBlockSize - last.end;
        const int take = int(std::min<qint64>(room, size));
        memcpy(last.data.data() + last.end, data, size_t(take));
        last.end += take;
        m_bufferedBytes += take;
        data += take;
        size -= take;
    }
}

int TWSocket::Send(const void *data, int size)
{
    if (m_state != TSocketState::wsConnected && m_state != TSocketState::wsSocksConnected) {
        socketError(WSAENOTCONN, QStringLiteral("Send"));
        return -1;
    }
    if (size <= 0)
        return 0;
    const char *bytes = static_cast<const char *>(data);
    qint64 rest = size;
    m_sendPending = true;
    if (m_ssl) {
        m_tlsOut.append(bytes, size);
        m_bufferedBytes += size;
        if (!m_tlsHandshaking && !tlsSendBuffered())
            return -1;
        if (m_bufferedBytes == 0)
            postDataSent();
        else
            updateWriteInterest();
        return size;
    }
    // With nothing queued the bytes go straight to the kernel; only what it cannot take
    // now is copied into the block buffer. The order on the wire is the same.
    if (m_bufferedBytes == 0) {
        const ssize_t n = ::send(m_handle, bytes, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            bytes += n;
            rest -= n;
        } else if (errno != EAGAIN && errno != EINTR) {
            const int code = lastSocketError();
            if (code == WSAEINVAL || code == WSAENOTSOCK || code == WSAECONNABORTED ||
                code == WSAECONNRESET || code == WSAENOTCONN) {
                m_lastError = code;
                internalClose(code, true);
                return -1;
            }
            socketError(code, QStringLiteral("TryToSend failed"));
            return -1;
        }
    }
    if (rest > 0)
        appendToBuffer(bytes, rest);
    if (m_bufferedBytes == 0)
        postDataSent();
    else
        updateWriteInterest();
    return size;
}

bool TWSocket::tryToSend()
{
    if (m_ssl)
        return m_tlsHandshaking || tlsSendBuffered();
    while (m_bufferedBytes > 0) {
        iovec parts[64];
        int count = 0;
        for (auto it = m_blocks.begin(); it != m_blocks.end() && count < 64; ++it, ++count) {
            parts[count].iov_base = it->data.data() + it->start;
            parts[count].iov_len = size_t(it->end - it->start);
        }
        msghdr msg{};
        msg.msg_iov = parts;
        msg.msg_iovlen = size_t(count);
        ssize_t n = ::sendmsg(m_handle, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                break;
            const int code = lastSocketError();
            m_lastError = code;
            if (code == WSAEINVAL || code == WSAENOTSOCK || code == WSAECONNABORTED ||
                code == WSAECONNRESET || code == WSAENOTCONN) {
                internalClose(code, true);
                return false;
            }
            socketError(code, QStringLiteral("TryToSend failed"));
            return false;
        }
        m_bufferedBytes -= n;
        while (n > 0) {
            Block &front = m_blocks.front();
            const int take = int(std::min<ssize_t>(n, front.end - front.start));
            front.start += take;
            n -= take;
            if (front.start == front.end)
                m_blocks.pop_front();
        }
    }
    updateWriteInterest();
    return true;
}

qint64 TWSocket::KernelOutQueue() const
{
    int queued = 0;
    if (m_handle == -1 || ioctl(m_handle, SIOCOUTQ, &queued) != 0)
        return 0;
    return queued;
}

// ---- closing ---------------------------------------------------------------------------

void TWSocket::ShutDown(int how)
{
    if (m_handle == -1)
        return;
    if (m_ssl && !m_tlsHandshaking && how != SHUT_RD) {
        m_tlsShutdownPending = true;
        m_tlsShutdownHow = how;
        tlsContinueShutdown();
        return;
    }
    ::shutdown(m_handle, how);
}

void TWSocket::internalClose(int error, bool notify)
{
    if (m_handle == -1)
        return;
    destroyNotifiers();
    tlsFree();
    ::close(m_handle);
    m_handle = -1;
    ++m_serial;
    m_blocks.clear();
    m_bufferedBytes = 0;
    m_sendPending = false;
    changeState(TSocketState::wsClosed);
    if (notify && !m_closeInvoked) {
        m_closeInvoked = true;
        if (OnSessionClosed)
            OnSessionClosed(this, error);
    }
}

void TWSocket::Close()
{
    if (m_handle == -1)
        return;
    if (m_state == TSocketState::wsConnected) {
        if (TlsEstablished())
            SSL_shutdown(m_ssl); // close_notify, as far as the socket takes it now
        ::shutdown(m_handle, SHUT_WR);
    }
    internalClose(0, true);
}

void TWSocket::Abort()
{
    CancelDnsLookup();
    m_blocks.clear();
    m_bufferedBytes = 0;
    if (m_handle == -1)
        return;
    if (m_state == TSocketState::wsConnected) {
        linger l{};
        setsockopt(m_handle, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    internalClose(0, true);
}

// ---- addresses -------------------------------------------------------------------------

// The local or the peer address of a socket, or nothing when there is none.
static std::optional<sockaddr_storage> socketAddress(int handle, bool peer)
{
    sockaddr_storage address{};
    socklen_t len = sizeof address;
    auto *addr = reinterpret_cast<sockaddr *>(&address);
    if (handle == -1 ||
        (peer ? getpeername(handle, addr, &len) : getsockname(handle, addr, &len)) != 0)
        return std::nullopt;
    return address;
}

static QString portText(const sockaddr_storage &address)
{
    const quint16 port = address.ss_family == AF_INET6
                             ? reinterpret_cast<const sockaddr_in6 &>(address).sin6_port
                             : reinterpret_cast<const sockaddr_in &>(address).sin_port;
    return QString::number(ntohs(port));
}

QString TWSocket::GetXAddr() const
{
    const auto a = socketAddress(m_handle, false);
    return a ? WSocketAddressText(reinterpret_cast<const sockaddr *>(&*a)) : QString();
}

QString TWSocket::GetXPort() const
{
    const auto a = socketAddress(m_handle, false);
    return a ? portText(*a) : QString();
}

QString TWSocket::GetPeerAddr() const
{
    const auto a = socketAddress(m_handle, true);
    return a ? WSocketAddressText(reinterpret_cast<const sockaddr *>(&*a)) : QString();
}

QString TWSocket::GetPeerPort() const
{
    const auto a = socketAddress(m_handle, true);
    return a ? portText(*a) : QString();
}

} // namespace norvex::transfer
