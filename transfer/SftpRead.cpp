// The reading side of the SFTP channel: folder listings and downloads (for restores).
#include "SftpChannel.h"
#include "SftpProtocol.h"
#include "SshWire.h"

#include "platform/Paths.h"

#include <QtEndian>

#include <cerrno>
#include <deque>
#include <unistd.h>

namespace norvex::transfer {

namespace {

using namespace sshwire;
using namespace sftpproto;

// Bytes per READ and READs in flight: OpenSSH answers up to 255 KiB; 32 KiB is what every
// server takes, and 32 in flight keep a fast link busy.
constexpr quint32 kReadChunk = 32 * 1024;
constexpr int kReadsInFlight = 32;

QByteArray packet(quint8 type, quint32 id, const QByteArray &payload)
{
    QByteArray b;
    startPacket(b, type, id);
    b.append(payload);
    patchLength(b);
    return b;
}

bool readAttributes(Reader &r, SftpDirEntry &e)
{
    const quint32 flags = r.u32();
    if (flags & AttrSize) {
        e.hasSize = true;
        e.size = r.u64();
    }
    if (flags & AttrUidGid) {
        r.u32();
        r.u32();
    }
    if (flags & AttrPermissions) {
        e.hasPermissions = true;
        e.permissions = r.u32();
    }
    if (flags & AttrTimes) {
        r.u32(); // atime
        e.hasTime = true;
        e.mtime = r.u32();
    }
    if (flags & AttrExtended) {
        const quint32 count = r.u32();
        for (quint32 i = 0; i < count && r.ok(); ++i) {
            r.string();
            r.string();
        }
    }
    return r.ok();
}

} // namespace

bool SftpChannel::readDir(const QByteArray &handle, QList<SftpDirEntry> *entries)
{
    const QString what = QStringLiteral("Cannot list the folder");
    QByteArray payload;
    putString(payload, handle);
    for (;;) {
        Reply reply;
        if (!request(FxpReadDir, payload, &reply))
            return false;
        if (reply.type == FxpStatus) {
            Reader r(reply.body);
            if (r.u32() == StatusEof && r.ok())
                return true;
            expectStatusOk(reply, what);
            return false;
        }
        if (reply.type != FxpName)
            return fail(what + QStringLiteral(": unexpected reply type %1").arg(reply.type));
        Reader r(reply.body);
        const quint32 count = r.u32();
        for (quint32 i = 0; i < count && r.ok(); ++i) {
            SftpDirEntry e;
            e.name = r.string();
            r.string(); // the long name, for people
            if (readAttributes(r, e))
                entries->append(e);
        }
        if (!r.ok())
            return fail(what + QStringLiteral(": malformed name reply"));
    }
}

bool SftpChannel::download(const QByteArray &handle, int fd,
                           const std::function<bool(quint64)> &onProgress)
{
    const QString what = QStringLiteral("Cannot read the remote file");
    struct Read
    {
        quint32 id;
        quint64 offset;
        quint32 length;
    };
    std::deque<Read> inFlight;
    quint64 next = 0;     // the offset of the next new READ
    bool atEnd = false;   // a READ met the end of the file
    quint64 received = 0; // bytes written to fd
    const auto send = [&](quint64 offset, quint32 length) {
        QByteArray payload;
        putString(payload, handle);
        putU32(payload, quint32(offset >> 32));
        putU32(payload, quint32(offset));
        putU32(payload, length);
        const quint32 id = nextId();
        inFlight.push_back({id, offset, length});
        return sendPacket(packet(FxpRead, id, payload));
    };
    for (;;) {
        while (!atEnd && inFlight.size() < std::size_t(kReadsInFlight)) {
            if (!send(next, kReadChunk))
                return false;
            next += kReadChunk;
        }
        if (inFlight.empty())
            return true;
        // Servers answer READs on one handle in order; awaitReply passes over others.
        const Read read = inFlight.front();
        inFlight.pop_front();
        Reply reply;
        if (!awaitReply(read.id, &reply))
            return false;
        if (reply.type == FxpStatus) {
            Reader r(reply.body);
            if (r.u32() == StatusEof && r.ok()) {
                atEnd = true;
                continue;
            }
            expectStatusOk(reply, what);
            return false;
        }
        if (reply.type != FxpData)
            return fail(what + QStringLiteral(": unexpected reply type %1").arg(reply.type));
        Reader r(reply.body);
        const QByteArray data = r.string();
        if (!r.ok() || quint32(data.size()) > read.length)
            return fail(what + QStringLiteral(": malformed data reply"));
        for (qsizetype done = 0; done < data.size();) {
            const ssize_t n = ::pwrite(fd, data.constData() + done, size_t(data.size() - done),
                                       off_t(read.offset + quint64(done)));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return fail(QStringLiteral("Cannot write the download: ") +
                            platform::systemErrorText(errno));
            done += n;
        }
        received += quint64(data.size());
        // A short answer that is not the end: ask for the rest of that range.
        if (quint32(data.size()) < read.length && !data.isEmpty() &&
            !send(read.offset + quint64(data.size()), read.length - quint32(data.size())))
            return false;
        if (data.isEmpty())
            atEnd = true;
        if (onProgress && !onProgress(received)) {
            // The replies still due are passed over by later requests on this channel.
            return fail(what + QStringLiteral(": cancelled"));
        }
    }
}

} // namespace norvex::transfer
