#include "SftpChannel.h"
#include "SftpProtocol.h"
#include "SftpUpload.h"
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
using namespace sftpproto;

// OpenSSH closes the session for a packet above 256 KiB; stay well below it.
constexpr quint32 MaxWriteChunk = 255 * 1024;
// A server announcing a smaller write size would have us queue thousands of requests.
constexpr quint32 MinWriteChunk = 1024;

QByteArray header(quint8 type, quint32 id)
{
    QByteArray b;
    startPacket(b, type, id);
    return b;
}

QByteArray finish(QByteArray b)
{
    patchLength(b);
    return b;
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
    QElapsedTimer roundTrip;
    roundTrip.start();
    if (!sendPacket(finish(std::move(b))) || !awaitReply(id, reply))
        return false;
    const qint64 us = roundTrip.nsecsElapsed() / 1000;
    if (m_roundTripUs < 0 || us < m_roundTripUs)
        m_roundTripUs = us;
    return true;
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
    return fail(statusText(what, code, message));
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
                         const QString &remotePath, const std::function<void(quint64)> &onProgress)
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

    SftpUpload::Context context;
    context.session = m_session;
    context.channel = m_channel;
    context.lastId = &m_lastId;
    context.idleTimeoutMs = m_idleTimeoutMs;
    context.chunk = m_writeChunk;
    context.roundTripUs = m_roundTripUs;
    context.limits = m_uploadLimits;
    SftpUpload upload(context);
    const bool ok = upload.run(fd, localPath, handle, remotePath, onProgress);
    m_uploadStats = upload.stats();
    if (upload.lost())
        return lose(upload.errorText());
    return ok || fail(upload.errorText());
}

} // namespace norvex::transfer
