#include "SftpChannel.h"
#include "SshWire.h"

#include "platform/Paths.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QtEndian>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace norvex::transfer {

namespace {

using namespace sshwire;

enum : quint8 {
    FxpInit = 1,
    FxpVersion = 2,
    FxpOpen = 3,
    FxpClose = 4,
    FxpWrite = 6,
    FxpLstat = 7,
    FxpFstat = 8,
    FxpOpenDir = 11,
    FxpRemove = 13,
    FxpMkDir = 14,
    FxpRename = 18,
    FxpStatus = 101,
    FxpHandle = 102,
    FxpAttrs = 105,
    FxpExtended = 200,
    FxpExtendedReply = 201,
};

constexpr quint32 StatusOk = 0;
constexpr quint32 AttrSize = 0x01;
constexpr quint32 AttrPermissions = 0x04;
// Replies larger than this are not SFTP v3 replies to anything we send.
constexpr quint32 MaxReply = 256 * 1024;
// OpenSSH closes the session for a packet above 256 KiB; stay well below it.
constexpr quint32 MaxWriteChunk = 255 * 1024;
// A server announcing a smaller write size would have us queue thousands of requests.
constexpr quint32 MinWriteChunk = 1024;
// Bytes of WRITE data we let the server owe us replies for.
constexpr quint32 InFlightBytes = 2 * 1024 * 1024;
// Replies to no request we are waiting for: a few are stale replies to requests given up
// after a failure; a stream of them is a server that would hold the run forever.
constexpr int MaxStrayReplies = 4096;

// Starts a packet in b, keeping b's allocation for the next one.
void startPacket(QByteArray &b, quint8 type, quint32 id)
{
    b.resize(0);
    putU32(b, 0); // length, patched by finish()
    b.append(char(type));
    putU32(b, id);
}

QByteArray header(quint8 type, quint32 id)
{
    QByteArray b;
    startPacket(b, type, id);
    return b;
}

void patchLength(QByteArray &b)
{
    qToBigEndian(quint32(b.size() - 4), b.data());
}

QByteArray finish(QByteArray b)
{
    patchLength(b);
    return b;
}

QString statusName(quint32 code)
{
    switch (code) {
    case 1:
        return QStringLiteral("end of file");
    case 2:
        return QStringLiteral("no such file");
    case 3:
        return QStringLiteral("permission denied");
    case 4:
        return QStringLiteral("failure");
    case 5:
        return QStringLiteral("bad message");
    case 6:
        return QStringLiteral("no connection");
    case 7:
        return QStringLiteral("connection lost");
    case 8:
        return QStringLiteral("operation unsupported");
    default:
        return QStringLiteral("error %1").arg(code);
    }
}

} // namespace

SftpChannel::SftpChannel(ssh_session session, int idleTimeoutMs)
    : m_session(session), m_idleTimeoutMs(idleTimeoutMs > 0 ? idleTimeoutMs : 1)
{
}

SftpChannel::~SftpChannel()
{
    if (m_channel) {
        // Closing waits for the server's answer only within the session's time-out.
        if (!m_broken)
            ssh_channel_close(m_channel);
        ssh_channel_free(m_channel);
    }
}

bool SftpChannel::fail(const QString &text)
{
    m_error = text;
    return false;
}

bool SftpChannel::lose(const QString &text)
{
    m_broken = true;
    m_lostReason = text;
    return fail(text);
}

bool SftpChannel::transportFailure(const QString &what)
{
    QString reason = QString::fromUtf8(ssh_get_error(m_session));
    if (reason.isEmpty())
        reason = QStringLiteral("the server did not answer within %1 ms").arg(m_idleTimeoutMs);
    return lose(what + QStringLiteral(": ") + reason);
}

bool SftpChannel::start()
{
    m_channel = ssh_channel_new(m_session);
    if (!m_channel)
        return transportFailure(QStringLiteral("Cannot create an SSH channel"));
    if (ssh_channel_open_session(m_channel) != SSH_OK)
        return transportFailure(QStringLiteral("Cannot open an SSH session channel"));
    if (ssh_channel_request_subsystem(m_channel, "sftp") != SSH_OK)
        return transportFailure(QStringLiteral("The server refused the SFTP subsystem"));

    QByteArray init;
    putU32(init, 5);
    init.append(char(FxpInit));
    putU32(init, 3);
    if (!sendPacket(init))
        return false;
    QByteArray packet;
    if (!readPacket(&packet))
        return false;
    if (packet.isEmpty() || quint8(packet[0]) != FxpVersion)
        return fail(QStringLiteral("The server did not answer the SFTP version request"));
    QByteArray rest = packet.mid(1);
    Reader r(rest);
    quint32 version = r.u32();
    if (!r.ok() || version < 3)
        return fail(
            QStringLiteral("The server speaks SFTP version %1; version 3 is needed").arg(version));
    while (r.ok() && !r.atEnd()) {
        QByteArray name = r.string();
        QByteArray data = r.string();
        if (r.ok() && name == "limits@openssh.com")
            m_hasLimits = true;
        if (r.ok() && name == "posix-rename@openssh.com")
            m_hasPosixRename = true;
    }
    if (m_hasLimits)
        queryLimits();
    return !m_broken;
}

void SftpChannel::queryLimits()
{
    QByteArray payload;
    putString(payload, "limits@openssh.com");
    Reply reply;
    if (!request(FxpExtended, payload, &reply) || reply.type != FxpExtendedReply)
        return;
    Reader r(reply.body);
    r.u64(); // max packet length
    r.u64(); // max read length
    quint64 maxWrite = r.u64();
    if (r.ok() && maxWrite > 0)
        m_writeChunk = quint32(qBound(quint64(MinWriteChunk), maxWrite, quint64(MaxWriteChunk)));
}

bool SftpChannel::sendPacket(const QByteArray &packet)
{
    if (m_broken)
        return fail(QStringLiteral("The SFTP session was lost earlier: ") + m_lostReason);
    int n = ssh_channel_write(m_channel, packet.constData(), quint32(packet.size()));
    if (n == packet.size())
        return true;
    if (n == SSH_ERROR)
        return transportFailure(QStringLiteral("Sending to the SFTP server failed"));
    // A short count is libssh's time-out: the server stopped taking data mid-packet.
    return lose(QStringLiteral("Sending to the SFTP server failed: the server took no data "
                               "for %1 ms")
                    .arg(m_idleTimeoutMs));
}

bool SftpChannel::readExact(char *dest, quint32 count)
{
    QElapsedTimer sinceProgress;
    sinceProgress.start();
    quint32 got = 0;
    while (got < count) {
        qint64 left = m_idleTimeoutMs - sinceProgress.elapsed();
        if (left <= 0) {
            return lose(
                QStringLiteral("The SFTP server did not answer within %1 ms").arg(m_idleTimeoutMs));
        }
        int n = ssh_channel_read_timeout(m_channel, dest + got, count - got, 0, int(left));
        if (n == SSH_ERROR)
            return transportFailure(QStringLiteral("Reading from the SFTP server failed"));
        if (n > 0) {
            got += quint32(n);
            sinceProgress.restart();
            continue;
        }
        if (ssh_channel_is_eof(m_channel) || ssh_channel_is_closed(m_channel)) {
            return lose(QStringLiteral("The server closed the SFTP session"));
        }
    }
    return true;
}

bool SftpChannel::readPacket(QByteArray *packet)
{
    if (m_broken)
        return fail(QStringLiteral("The SFTP session was lost earlier: ") + m_lostReason);
    char raw[4];
    if (!readExact(raw, 4))
        return false;
    quint32 length = qFromBigEndian<quint32>(raw);
    if (length == 0 || length > MaxReply) {
        return lose(
            QStringLiteral("The SFTP server sent a malformed packet (length %1)").arg(length));
    }
    packet->resize(length);
    return readExact(packet->data(), length);
}

bool SftpChannel::awaitReply(quint32 id, Reply *reply)
{
    // Replies to requests abandoned after an earlier failure may still arrive first.
    for (int stray = 0;; ++stray) {
        if (stray > MaxStrayReplies)
            return lose(QStringLiteral("The SFTP server sent too many replies to no request"));
        QByteArray packet;
        if (!readPacket(&packet))
            return false;
        if (packet.size() < 5) {
            return lose(QStringLiteral("The SFTP server sent a malformed reply"));
        }
        quint32 got = qFromBigEndian<quint32>(packet.constData() + 1);
        if (got != id)
            continue;
        reply->type = quint8(packet[0]);
        reply->id = got;
        reply->body = packet.mid(5);
        return true;
    }
}

bool SftpChannel::request(quint8 type, const QByteArray &payload, Reply *reply)
{
    quint32 id = nextId();
    m_status = 0;
    QByteArray b = header(type, id);
    b.append(payload);
    return sendPacket(finish(std::move(b))) && awaitReply(id, reply);
}

bool SftpChannel::expectStatusOk(const Reply &reply, const QString &what)
{
    if (reply.type != FxpStatus)
        return fail(what + QStringLiteral(": unexpected reply type %1").arg(reply.type));
    Reader r(reply.body);
    quint32 code = r.u32();
    QString message = QString::fromUtf8(r.string());
    if (!r.ok())
        return fail(what + QStringLiteral(": malformed status reply"));
    if (code == StatusOk)
        return true;
    m_status = code;
    if (message.isEmpty())
        message = statusName(code);
    return fail(QStringLiteral("%1: %2 (SFTP status %3)").arg(what, message).arg(code));
}

bool SftpChannel::expectHandle(const Reply &reply, const QString &what, QByteArray *handle)
{
    if (reply.type == FxpStatus) {
        if (expectStatusOk(reply, what))
            fail(what + QStringLiteral(": the server sent no handle"));
        return false;
    }
    if (reply.type != FxpHandle)
        return fail(what + QStringLiteral(": unexpected reply type %1").arg(reply.type));
    Reader r(reply.body);
    *handle = r.string();
    if (!r.ok() || handle->isEmpty())
        return fail(what + QStringLiteral(": malformed handle reply"));
    return true;
}

bool SftpChannel::openDir(const QString &path, QByteArray *handle)
{
    QByteArray payload;
    putString(payload, path.toUtf8());
    Reply reply;
    QString what = QStringLiteral("Cannot open the folder \"%1\"").arg(path);
    return request(FxpOpenDir, payload, &reply) && expectHandle(reply, what, handle);
}

bool SftpChannel::makeDir(const QString &path)
{
    QByteArray payload;
    putString(payload, path.toUtf8());
    putU32(payload, 0); // no attributes: the server's defaults and umask apply
    Reply reply;
    QString what = QStringLiteral("Cannot create the folder \"%1\"").arg(path);
    return request(FxpMkDir, payload, &reply) && expectStatusOk(reply, what);
}

bool SftpChannel::remove(const QString &path)
{
    QByteArray payload;
    putString(payload, path.toUtf8());
    Reply reply;
    QString what = QStringLiteral("Cannot remove \"%1\"").arg(path);
    return request(FxpRemove, payload, &reply) && expectStatusOk(reply, what);
}

bool SftpChannel::lstat(const QString &path)
{
    QByteArray payload;
    putString(payload, path.toUtf8());
    Reply reply;
    QString what = QStringLiteral("Cannot look up \"%1\"").arg(path);
    if (!request(FxpLstat, payload, &reply))
        return false;
    if (reply.type == FxpAttrs)
        return true;
    if (expectStatusOk(reply, what))
        return fail(what + QStringLiteral(": the server sent no attributes"));
    return false;
}

bool SftpChannel::rename(const QString &from, const QString &to)
{
    QByteArray payload;
    putString(payload, from.toUtf8());
    putString(payload, to.toUtf8());
    Reply reply;
    QString what = QStringLiteral("Cannot rename \"%1\" to \"%2\"").arg(from, to);
    return request(FxpRename, payload, &reply) && expectStatusOk(reply, what);
}

bool SftpChannel::posixRename(const QString &from, const QString &to)
{
    QByteArray payload;
    putString(payload, "posix-rename@openssh.com");
    putString(payload, from.toUtf8());
    putString(payload, to.toUtf8());
    Reply reply;
    QString what = QStringLiteral("Cannot rename \"%1\" to \"%2\"").arg(from, to);
    return request(FxpExtended, payload, &reply) && expectStatusOk(reply, what);
}

bool SftpChannel::open(const QString &path, quint32 flags, QByteArray *handle, int mode)
{
    QByteArray payload;
    putString(payload, path.toUtf8());
    putU32(payload, flags);
    if (mode >= 0) {
        putU32(payload, AttrPermissions);
        putU32(payload, quint32(mode));
    } else {
        putU32(payload, 0); // no attributes
    }
    Reply reply;
    QString what = QStringLiteral("Cannot open \"%1\"").arg(path);
    return request(FxpOpen, payload, &reply) && expectHandle(reply, what, handle);
}

bool SftpChannel::close(const QByteArray &handle)
{
    QByteArray payload;
    putString(payload, handle);
    Reply reply;
    return request(FxpClose, payload, &reply) &&
           expectStatusOk(reply, QStringLiteral("Closing the remote file failed"));
}

bool SftpChannel::fstat(const QByteArray &handle, quint64 *size)
{
    QByteArray payload;
    putString(payload, handle);
    Reply reply;
    const QString what = QStringLiteral("Cannot read the size of the remote file");
    if (!request(FxpFstat, payload, &reply))
        return false;
    if (reply.type != FxpAttrs) {
        if (expectStatusOk(reply, what))
            return fail(what + QStringLiteral(": the server sent no attributes"));
        return false;
    }
    Reader r(reply.body);
    const quint32 flags = r.u32();
    if (!r.ok() || !(flags & AttrSize))
        return fail(what + QStringLiteral(": the server sent no size"));
    *size = r.u64();
    return r.ok() || fail(what + QStringLiteral(": malformed attributes"));
}

bool SftpChannel::upload(const QByteArray &handle, const QString &localPath,
                         const std::function<void(quint64)> &onProgress)
{
    if (m_broken)
        return fail(QStringLiteral("The SFTP session was lost earlier: ") + m_lostReason);
    int fd = ::open(QFile::encodeName(localPath).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return fail(QStringLiteral("Cannot open the local file \"%1\": %2")
                        .arg(localPath, platform::systemErrorText(errno)));
    }
    struct FdCloser
    {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};

    const quint32 chunk = m_writeChunk;
    QHash<quint32, quint64> pending; // request id -> file offset
    quint64 pendingBytes = 0;
    quint64 offset = 0;
    quint64 acknowledged = 0;
    bool atEof = false;
    QString failure;
    int strays = 0;
    const QString what = QStringLiteral("Writing to the remote file failed");

    // Takes one reply off the wire: a WRITE acknowledgement we wait for, or a stale one.
    auto takeReply = [&]() -> bool {
        QByteArray packet;
        if (!readPacket(&packet))
            return false;
        if (packet.size() < 5) {
            return lose(QStringLiteral("The SFTP server sent a malformed reply"));
        }
        quint32 id = qFromBigEndian<quint32>(packet.constData() + 1);
        auto it = pending.find(id);
        if (it == pending.end()) {
            if (++strays > MaxStrayReplies)
                return lose(QStringLiteral("The SFTP server sent too many replies to no request"));
            return true;
        }
        quint64 at = it.value();
        pending.erase(it);
        pendingBytes -= qMin<quint64>(chunk, pendingBytes);
        Reply reply{quint8(packet[0]), id, packet.mid(5)};
        if (!expectStatusOk(reply, what) && failure.isEmpty())
            failure = m_error + QStringLiteral(" at offset %1").arg(at);
        // Every request but the last is a full chunk.
        acknowledged = qMin(acknowledged + chunk, offset);
        if (onProgress && failure.isEmpty())
            onProgress(acknowledged);
        return true;
    };

    QByteArray packet;
    packet.reserve(qsizetype(chunk) + 64 + handle.size());
    while (!atEof && failure.isEmpty()) {
        quint32 id = nextId();
        startPacket(packet, FxpWrite, id);
        putString(packet, handle);
        putU64(packet, offset);
        putU32(packet, 0); // data length, patched below
        const qsizetype dataAt = packet.size();
        packet.resize(dataAt + chunk);
        quint32 got = 0;
        while (got < chunk) {
            ssize_t n = ::read(fd, packet.data() + dataAt + got, chunk - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                return fail(QStringLiteral("Cannot read the local file \"%1\": %2")
                                .arg(localPath, platform::systemErrorText(errno)));
            }
            if (n == 0) {
                atEof = true;
                break;
            }
            got += quint32(n);
        }
        if (got == 0)
            break;
        packet.resize(dataAt + got);
        qToBigEndian(got, packet.data() + dataAt - 4);
        patchLength(packet);
        if (!sendPacket(packet))
            return false;
        pending.insert(id, offset);
        pendingBytes += chunk;
        offset += got;

        // Acknowledgements that are already here cost nothing to collect; beyond the
        // in-flight budget we wait for them.
        while (!pending.isEmpty()) {
            if (pendingBytes < InFlightBytes) {
                int available = ssh_channel_poll(m_channel, 0);
                if (available == SSH_ERROR)
                    return transportFailure(QStringLiteral("Reading from the SFTP server failed"));
                if (available <= 0)
                    break;
            }
            if (!takeReply())
                return false;
        }
    }
    while (!pending.isEmpty()) {
        if (!takeReply())
            return false;
    }
    if (!failure.isEmpty())
        return fail(failure);
    return true;
}

} // namespace norvex::transfer
