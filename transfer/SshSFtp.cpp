#include "SshSFtp.h"

#include "SftpChannel.h"
#include "SftpKnownHosts.h"
#include "SshKey.h"
#include "WSocket.h"
#include "platform/Paths.h"

#include <QElapsedTimer>
#include <QFile>
#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace norvex::transfer {

namespace {

QString serverKeyFingerprint(ssh_session session, QString *type)
{
    ssh_key key = nullptr;
    if (ssh_get_server_publickey(session, &key) != SSH_OK || !key)
        return QStringLiteral("(unknown)");
    unsigned char *hash = nullptr;
    size_t length = 0;
    QString text = QStringLiteral("(unknown)");
    if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length) == 0) {
        char *fp = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length);
        if (fp) {
            text = QString::fromLatin1(fp);
            ssh_string_free_char(fp);
        }
        ssh_clean_pubkey_hash(&hash);
    }
    *type = QString::fromLatin1(ssh_key_type_to_char(ssh_key_type(key)));
    ssh_key_free(key);
    return text;
}

// getaddrinfo has no time-out of its own and may wait long on a slow name server: it
// runs on a thread of its own, which frees the result itself when we stopped waiting.
int resolve(const QString &hostName, int port, int timeoutMs, addrinfo **result)
{
    struct Lookup
    {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool abandoned = false;
        int rc = EAI_AGAIN;
        addrinfo *list = nullptr;
    };
    auto lookup = std::make_shared<Lookup>();
    const QByteArray host = hostName.toUtf8();
    const QByteArray service = QByteArray::number(port);
    std::thread([lookup, host, service] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        // A written address is taken as it is, even where the machine has no address of
        // its family besides the loopback (which AI_ADDRCONFIG does not count).
        in6_addr probe{};
        hints.ai_flags = ::inet_pton(AF_INET6, host.constData(), &probe) == 1 ||
                                 ::inet_pton(AF_INET, host.constData(), &probe) == 1
                             ? AI_NUMERICHOST
                             : AI_ADDRCONFIG;
        addrinfo *list = nullptr;
        int rc = getaddrinfo(host.constData(), service.constData(), &hints, &list);
        std::lock_guard lock(lookup->mutex);
        if (lookup->abandoned) {
            if (rc == 0)
                freeaddrinfo(list);
            return;
        }
        lookup->rc = rc;
        lookup->list = rc == 0 ? list : nullptr;
        lookup->finished = true;
        lookup->done.notify_one();
    }).detach();
    std::unique_lock lock(lookup->mutex);
    if (!lookup->done.wait_for(lock, std::chrono::milliseconds(qMax(timeoutMs, 1)),
                               [&] { return lookup->finished; })) {
        lookup->abandoned = true;
        *result = nullptr;
        return EAI_AGAIN;
    }
    *result = lookup->list;
    return lookup->rc;
}

// From this round trip on, the kernel's self-sizing send buffer (at most 4 MiB unless the
// system says otherwise) caps an upload at about one buffer per round trip: 21 MB/s at
// 100 ms.
constexpr qint64 LongLinkMs = 10;
constexpr int WantedSendBuffer = 16 * 1024 * 1024;
constexpr int LargeSendBuffer = 8 * 1024 * 1024;

// A send buffer of fixed size replaces the self-sizing one for good, so it is set only
// where the system allows one of at least twice the usual self-sizing limit; a probe socket
// shows what it allows.
void raiseSendBuffer(int fd, int family)
{
    int probe = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return;
    int size = WantedSendBuffer;
    socklen_t length = sizeof(size);
    const bool allowed = ::setsockopt(probe, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)) == 0 &&
                         ::getsockopt(probe, SOL_SOCKET, SO_SNDBUF, &size, &length) == 0 &&
                         size >= LargeSendBuffer;
    ::close(probe);
    size = WantedSendBuffer;
    if (allowed)
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
}

QString toHex(const QByteArray &handle)
{
    return QString::fromLatin1(handle.toHex());
}

} // namespace

TSshSFtp::TSshSFtp() : m_knownHostsFile(platform::installFolder() + QStringLiteral("known_hosts"))
{
}

TSshSFtp::~TSshSFtp()
{
    if (m_sftp && !m_sftp->broken()) {
        const QStringList handles = m_openHandles;
        for (const QString &h : handles)
            m_sftp->close(QByteArray::fromHex(h.toLatin1()));
    }
    Disconnect();
}

void TSshSFtp::setIdleTimeoutMs(int ms)
{
    m_idleTimeoutMs = ms;
    if (m_session && m_authenticated)
        applySessionTimeout(ms);
}

int TSshSFtp::fail(const QString &text)
{
    m_error = text;
    return 0;
}

int TSshSFtp::failFromSession(const QString &what)
{
    QString reason = m_session ? QString::fromUtf8(ssh_get_error(m_session)) : QString();
    if (reason.isEmpty())
        return fail(what);
    return fail(what + QStringLiteral(": ") + reason);
}

void TSshSFtp::applySessionTimeout(int ms)
{
    // libssh adds the two values; an unset or zero time-out would mean its own defaults
    // (10 s for the handshake, forever for later calls).
    long secs = ms > 0 ? ms / 1000 : 0;
    long usecs = ms > 0 ? (ms % 1000) * 1000L : 1000;
    ssh_options_set(m_session, SSH_OPTIONS_TIMEOUT, &secs);
    ssh_options_set(m_session, SSH_OPTIONS_TIMEOUT_USEC, &usecs);
}

void TSshSFtp::Disconnect()
{
    m_openHandles.clear();
    m_writePaths.clear();
    bool broken = m_sftp && m_sftp->broken();
    m_sftp.reset();
    if (m_session) {
        // A session that timed out may have a half-sent packet queued: cut the socket so
        // the goodbye cannot wait on it.
        if (broken && m_fd >= 0)
            ::shutdown(m_fd, SHUT_RDWR);
        // libssh closes a socket it was given only in ssh_free without ssh_disconnect;
        // disconnect first and close the socket ourselves.
        ssh_disconnect(m_session);
        ssh_free(m_session);
        m_session = nullptr;
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_authenticated = false;
}

bool TSshSFtp::connectTcp(const QString &hostName, int port)
{
    QElapsedTimer timer;
    timer.start();
    addrinfo *list = nullptr;
    int rc = resolve(hostName, port, m_connectTimeoutMs, &list);
    if (rc == EAI_AGAIN && !list && timer.elapsed() >= m_connectTimeoutMs) {
        fail(QStringLiteral("Cannot resolve the host name \"%1\": no answer within %2 ms")
                 .arg(hostName)
                 .arg(m_connectTimeoutMs));
        return false;
    }
    if (rc != 0) {
        fail(QStringLiteral("Cannot resolve the host name \"%1\": %2")
                 .arg(hostName, QString::fromLocal8Bit(gai_strerror(rc))));
        return false;
    }
    QString lastError = QStringLiteral("no address");
    for (addrinfo *ai = list; ai; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          ai->ai_protocol);
        if (fd < 0) {
            lastError = platform::systemErrorText(errno);
            continue;
        }
        int err = 0;
        const qint64 connectStart = timer.elapsed();
        if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            err = errno;
            if (err == EINPROGRESS) {
                for (;;) {
                    qint64 left = m_connectTimeoutMs - timer.elapsed();
                    if (left <= 0) {
                        err = ETIMEDOUT;
                        break;
                    }
                    pollfd p{fd, POLLOUT, 0};
                    int n = ::poll(&p, 1, int(left));
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n < 0) {
                        err = errno;
                        break;
                    }
                    if (n == 0)
                        continue;
                    socklen_t len = sizeof(err);
                    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                        err = errno;
                    break;
                }
            }
        }
        if (err == 0) {
            // Small SFTP requests must not wait for Nagle; libssh sets this only on sockets
            // it creates itself. (libssh puts the socket into blocking mode once connected;
            // the upload switches it back for its own sends.)
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            // The TCP handshake took one round trip.
            if (timer.elapsed() - connectStart >= LongLinkMs)
                raiseSendBuffer(fd, ai->ai_family);
            m_fd = fd;
            freeaddrinfo(list);
            return true;
        }
        ::close(fd);
        lastError = err == ETIMEDOUT
                        ? QStringLiteral("no answer within %1 ms").arg(m_connectTimeoutMs)
                        : platform::systemErrorText(err);
        if (timer.elapsed() >= m_connectTimeoutMs)
            break;
    }
    freeaddrinfo(list);
    fail(
        QStringLiteral("Cannot connect to %1: %2").arg(WSocketHostPort(hostName, port), lastError));
    return false;
}

int TSshSFtp::Connect(const QString &hostField, int port)
{
    // "[::1]" as a host field is the address ::1, as in URLs and OpenSSH's known_hosts.
    const QString hostName = WSocketUnbracketed(hostField);
    Disconnect();
    m_error.clear();
    m_pendingHostKey = {};
    if (port <= 0 || port > 65535)
        return fail(QStringLiteral("Invalid port number %1").arg(port));
    QElapsedTimer timer;
    timer.start();
    if (!connectTcp(hostName, port))
        return 0;

    m_session = ssh_new();
    if (!m_session) {
        Disconnect();
        return fail(QStringLiteral("Cannot create an SSH session"));
    }
    const QByteArray host = hostName.toUtf8();
    const QByteArray knownHosts = QFile::encodeName(m_knownHostsFile);
    unsigned int portValue = unsigned(port);
    int off = 0;
    int verbosity = SSH_LOG_NOLOG;
    ssh_options_set(m_session, SSH_OPTIONS_HOST, host.constData());
    ssh_options_set(m_session, SSH_OPTIONS_PORT, &portValue);
    // No ~/.ssh/config or /etc/ssh/ssh_config: a "StrictHostKeyChecking no" there would
    // switch off the host-key check.
    ssh_options_set(m_session, SSH_OPTIONS_PROCESS_CONFIG, &off);
    ssh_options_set(m_session, SSH_OPTIONS_KNOWNHOSTS, knownHosts.constData());
    ssh_options_set(m_session, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, "/dev/null");
    ssh_options_set(m_session, SSH_OPTIONS_LOG_VERBOSITY, &verbosity);
    ssh_options_set(m_session, SSH_OPTIONS_FD, &m_fd);

    qint64 left = m_connectTimeoutMs - timer.elapsed();
    if (left <= 0) {
        Disconnect();
        return fail(QStringLiteral("Cannot connect to %1: no answer within %2 ms")
                        .arg(WSocketHostPort(hostName, port))
                        .arg(m_connectTimeoutMs));
    }
    applySessionTimeout(int(left));
    if (ssh_connect(m_session) != SSH_OK) {
        QString reason = QString::fromUtf8(ssh_get_error(m_session));
        if (timer.elapsed() >= m_connectTimeoutMs) {
            reason = QStringLiteral("the SSH handshake did not complete within %1 ms")
                         .arg(m_connectTimeoutMs);
        }
        Disconnect();
        return fail(QStringLiteral("SSH connection to %1 failed: %2")
                        .arg(WSocketHostPort(hostName, port), reason));
    }
    if (!checkHostKey(hostName, port)) {
        Disconnect();
        return 0;
    }
    applySessionTimeout(m_idleTimeoutMs);
    return 1;
}

QString TSshSFtp::negotiatedAlgorithms() const
{
    if (!m_session)
        return {};
    auto text = [](const char *s) { return s ? QString::fromLatin1(s) : QStringLiteral("?"); };
    return QStringLiteral("kex=%1 cipher=%2 mac=%3")
        .arg(text(ssh_get_kex_algo(m_session)), text(ssh_get_cipher_out(m_session)),
             text(ssh_get_hmac_out(m_session)));
}

bool TSshSFtp::checkHostKey(const QString &hostName, int port)
{
    const QString where = WSocketHostPort(hostName, port);
    QString type;
    const QString presented = serverKeyFingerprint(m_session, &type);
    const auto pending = [&](const QStringList &recorded) {
        m_pendingHostKey = {hostName, port, type + QLatin1Char(' ') + presented, recorded, {}};
        char *line = nullptr;
        if (ssh_session_export_known_hosts_entry(m_session, &line) == SSH_OK && line) {
            m_pendingHostKey.entry = QByteArray(line).trimmed() + '\n';
            ssh_string_free_char(line);
        }
    };
    switch (ssh_session_is_known_server(m_session)) {
    case SSH_KNOWN_HOSTS_OK:
        return true;
    case SSH_KNOWN_HOSTS_CHANGED:
    case SSH_KNOWN_HOSTS_OTHER: {
        QStringList stored = knownHostFingerprints(m_knownHostsFile, hostName, port);
        pending(stored);
        fail(QStringLiteral("The host key of %1 has changed: the server presented %2 %3, but %4 "
                            "holds %5 for it. Refused, as the server may be an impostor. If "
                            "the key was changed on purpose, remove the line for %1 from %4 "
                            "and connect again.")
                 .arg(where, type, presented, m_knownHostsFile,
                      stored.isEmpty() ? QStringLiteral("another key")
                                       : stored.join(QStringLiteral(", "))));
        return false;
    }
    case SSH_KNOWN_HOSTS_UNKNOWN:
    case SSH_KNOWN_HOSTS_NOT_FOUND:
        if (m_askBeforeTrusting) {
            pending({});
            fail(QStringLiteral("The host key of %1 is not trusted yet: the server presented "
                                "%2 %3, which %4 does not hold.")
                     .arg(where, type, presented, m_knownHostsFile));
            return false;
        }
        if (ssh_session_update_known_hosts(m_session) != SSH_OK) {
            failFromSession(QStringLiteral("Cannot record the host key of %1 in %2")
                                .arg(where, m_knownHostsFile));
            return false;
        }
        return true;
    case SSH_KNOWN_HOSTS_ERROR:
    default:
        failFromSession(QStringLiteral("Cannot check the host key of %1 against %2")
                            .arg(where, m_knownHostsFile));
        return false;
    }
}

int TSshSFtp::TrustHostKey(const TSshHostKey &key)
{
    m_error.clear();
    if (key.entry.isEmpty())
        return fail(
            QStringLiteral("No host key of %1 to record").arg(WSocketHostPort(key.host, key.port)));
    QString error;
    if (!replaceKnownHost(m_knownHostsFile, key.host, key.port, key.entry, &error))
        return fail(QStringLiteral("Cannot record the host key of %1 in %2: %3")
                        .arg(WSocketHostPort(key.host, key.port), m_knownHostsFile, error));
    return 1;
}

bool TSshSFtp::needSession(bool needAuth)
{
    m_error.clear();
    if (!m_session) {
        fail(QStringLiteral("Not connected"));
        return false;
    }
    if (needAuth && !m_authenticated) {
        fail(QStringLiteral("Not authenticated"));
        return false;
    }
    return true;
}

bool TSshSFtp::needSftp()
{
    if (!needSession(true))
        return false;
    if (!m_sftp) {
        fail(QStringLiteral("The SFTP session has not been started"));
        return false;
    }
    return true;
}

bool TSshSFtp::authenticated(int rc, const QString &what)
{
    switch (rc) {
    case SSH_AUTH_SUCCESS:
        m_authenticated = true;
        return true;
    case SSH_AUTH_DENIED:
        failFromSession(what);
        return false;
    case SSH_AUTH_PARTIAL:
        fail(what + QStringLiteral(": the server asks for a further authentication method"));
        return false;
    case SSH_AUTH_AGAIN:
        // A blocking call returns this only when the time-out ran out; the session is
        // left mid-request and cannot be reused.
        fail(what +
             QStringLiteral(": the server did not answer within %1 ms").arg(m_idleTimeoutMs));
        Disconnect();
        return false;
    default:
        failFromSession(what);
        return false;
    }
}

int TSshSFtp::AuthenticatePassword(const QString &userName, const QString &password)
{
    if (!needSession(false))
        return 0;
    const QByteArray user = userName.toUtf8();
    const QByteArray pass = password.toUtf8();
    ssh_options_set(m_session, SSH_OPTIONS_USER, user.constData());
    int rc = ssh_userauth_password(m_session, user.constData(), pass.constData());
    // Servers that check passwords through PAM often offer them only as
    // keyboard-interactive.
    if (rc == SSH_AUTH_DENIED &&
        (ssh_userauth_list(m_session, nullptr) & SSH_AUTH_METHOD_INTERACTIVE)) {
        rc = passwordByKeyboard(user, pass);
    }
    return authenticated(rc,
                         QStringLiteral("Password authentication as \"%1\" failed").arg(userName))
               ? 1
               : 0;
}

int TSshSFtp::passwordByKeyboard(const QByteArray &user, const QByteArray &password)
{
    int rc = ssh_userauth_kbdint(m_session, user.constData(), nullptr);
    bool answered = false;
    // A server asking for the password again has refused it: give up rather than repeat it.
    for (int round = 0; rc == SSH_AUTH_INFO && round < 8; ++round) {
        const int prompts = ssh_userauth_kbdint_getnprompts(m_session);
        for (int i = 0; i < prompts; ++i) {
            char echo = 0;
            ssh_userauth_kbdint_getprompt(m_session, unsigned(i), &echo);
            if (!echo && answered)
                return SSH_AUTH_DENIED;
            ssh_userauth_kbdint_setanswer(m_session, unsigned(i),
                                          echo ? user.constData() : password.constData());
            answered = answered || !echo;
        }
        rc = ssh_userauth_kbdint(m_session, user.constData(), nullptr);
    }
    return rc == SSH_AUTH_INFO ? SSH_AUTH_DENIED : rc;
}

int TSshSFtp::AuthenticateKey(const QString &userName, const TSshKey &key)
{
    if (!needSession(false))
        return 0;
    if (!key.key())
        return fail(QStringLiteral("No private key has been loaded"));
    const QByteArray user = userName.toUtf8();
    ssh_options_set(m_session, SSH_OPTIONS_USER, user.constData());
    int rc = ssh_userauth_publickey(m_session, user.constData(), key.key());
    return authenticated(rc, QStringLiteral("Key authentication as \"%1\" failed").arg(userName))
               ? 1
               : 0;
}

int TSshSFtp::StartSftp()
{
    if (!needSession(true))
        return 0;
    m_openHandles.clear();
    m_writePaths.clear();
    m_sftp = std::make_unique<SftpChannel>(m_session, m_idleTimeoutMs);
    if (!m_sftp->start()) {
        fail(QStringLiteral("Cannot start SFTP: ") + m_sftp->errorText());
        m_sftp.reset();
        return 0;
    }
    return 1;
}

QString TSshSFtp::OpenDirectory(const QString &path)
{
    if (!needSftp())
        return {};
    QByteArray handle;
    if (!m_sftp->openDir(path, &handle)) {
        fail(m_sftp->errorText());
        return {};
    }
    QString h = toHex(handle);
    m_openHandles << h;
    return h;
}

int TSshSFtp::ReadDirectory(const QString &handle, QList<SftpDirEntry> &entries)
{
    if (!needSftp())
        return 0;
    if (!m_openHandles.contains(handle))
        return fail(QStringLiteral("The handle \"%1\" is not open").arg(handle));
    return m_sftp->readDir(QByteArray::fromHex(handle.toLatin1()), &entries)
               ? 1
               : fail(m_sftp->errorText());
}

int TSshSFtp::DownloadFromHandle(const QString &handle, int fd,
                                 const std::function<bool(qint64)> &onProgress)
{
    if (!needSftp())
        return 0;
    if (!m_openHandles.contains(handle))
        return fail(QStringLiteral("The handle \"%1\" is not open").arg(handle));
    const auto progress = [&onProgress](quint64 done) {
        return !onProgress || onProgress(qint64(done));
    };
    return m_sftp->download(QByteArray::fromHex(handle.toLatin1()), fd, progress)
               ? 1
               : fail(m_sftp->errorText());
}

int TSshSFtp::CreateDirectory(const QString &path)
{
    if (!needSftp())
        return 0;
    return m_sftp->makeDir(path) ? 1 : fail(m_sftp->errorText());
}

int TSshSFtp::RemoveFile(const QString &path)
{
    if (!needSftp())
        return 0;
    return m_sftp->remove(path) ? 1 : fail(m_sftp->errorText());
}

int TSshSFtp::StatPath(const QString &path)
{
    if (!needSftp())
        return 0;
    return m_sftp->lstat(path) ? 1 : fail(m_sftp->errorText());
}

int TSshSFtp::RenamePath(const QString &oldPath, const QString &newPath)
{
    if (!needSftp())
        return 0;
    return m_sftp->rename(oldPath, newPath) ? 1 : fail(m_sftp->errorText());
}

bool TSshSFtp::HasPosixRename() const
{
    return m_sftp && m_sftp->hasPosixRename();
}

int TSshSFtp::PosixRenamePath(const QString &oldPath, const QString &newPath)
{
    if (!needSftp())
        return 0;
    if (!m_sftp->hasPosixRename())
        return fail(QStringLiteral("The server does not offer posix-rename@openssh.com"));
    return m_sftp->posixRename(oldPath, newPath) ? 1 : fail(m_sftp->errorText());
}

quint32 TSshSFtp::StatusCode() const
{
    return m_sftp ? m_sftp->lastStatus() : 0;
}

QString TSshSFtp::OpenRemoteFile(const QString &path, const QString &access,
                                 const QString &disposition, int mode)
{
    if (!needSftp())
        return {};
    quint32 flags = 0;
    if (access == QLatin1String("readOnly")) {
        flags = SftpChannel::Read;
    } else if (access == QLatin1String("writeOnly")) {
        flags = SftpChannel::Write;
    } else if (access == QLatin1String("readWrite")) {
        flags = SftpChannel::Read | SftpChannel::Write;
    } else {
        fail(QStringLiteral("Unknown access mode \"%1\"").arg(access));
        return {};
    }
    if (disposition == QLatin1String("createTruncate")) {
        flags |= SftpChannel::Create | SftpChannel::Truncate;
    } else if (disposition == QLatin1String("createNew")) {
        flags |= SftpChannel::Create | SftpChannel::Exclusive;
    } else if (disposition == QLatin1String("openOrCreate")) {
        flags |= SftpChannel::Create;
    } else if (disposition == QLatin1String("truncateExisting")) {
        flags |= SftpChannel::Truncate;
    } else if (disposition != QLatin1String("openExisting")) {
        fail(QStringLiteral("Unknown disposition \"%1\"").arg(disposition));
        return {};
    }
    QByteArray handle;
    if (!m_sftp->open(path, flags, &handle, mode)) {
        fail(m_sftp->errorText());
        return {};
    }
    QString h = toHex(handle);
    m_openHandles << h;
    if (flags & SftpChannel::Write)
        m_writePaths.insert(h, path);
    return h;
}

int TSshSFtp::UploadToHandle(const QString &handle, const QString &localPath,
                             const std::function<void(qint64)> &onProgress)
{
    if (!needSftp())
        return 0;
    if (!m_openHandles.contains(handle))
        return fail(QStringLiteral("The handle \"%1\" is not open").arg(handle));
    std::function<void(quint64)> report;
    if (onProgress)
        report = [&onProgress](quint64 bytes) { onProgress(qint64(bytes)); };
    m_sftp->setUploadLimits(m_uploadLimits);
    const bool ok = m_sftp->upload(QByteArray::fromHex(handle.toLatin1()), localPath,
                                   m_writePaths.value(handle), report);
    m_uploadStats = m_sftp->lastUploadStats();
    return ok ? 1
              : fail(QStringLiteral("Uploading \"%1\" failed: %2")
                         .arg(localPath, m_sftp->errorText()));
}

qint64 TSshSFtp::HandleSize(const QString &handle)
{
    if (!needSftp())
        return -1;
    if (!m_openHandles.contains(handle)) {
        fail(QStringLiteral("The handle \"%1\" is not open").arg(handle));
        return -1;
    }
    quint64 size = 0;
    if (!m_sftp->fstat(QByteArray::fromHex(handle.toLatin1()), &size)) {
        fail(m_sftp->errorText());
        return -1;
    }
    return qint64(size);
}

int TSshSFtp::CloseRemoteHandle(const QString &handle)
{
    if (!needSftp())
        return 0;
    if (!m_openHandles.removeOne(handle))
        return fail(QStringLiteral("The handle \"%1\" is not open").arg(handle));
    m_writePaths.remove(handle);
    return m_sftp->close(QByteArray::fromHex(handle.toLatin1())) ? 1 : fail(m_sftp->errorText());
}

} // namespace norvex::transfer
