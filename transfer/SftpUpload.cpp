#include "SftpUpload.h"
#include "SftpProtocol.h"
#include "SshWire.h"

#include "platform/Paths.h"

#include <QHash>
#include <QtEndian>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvex::transfer {

using namespace sftpproto;
using namespace sshwire;

namespace {

// A reply this much later than the bare round trip means the link queues: more data in
// flight would only wait longer.
constexpr qint64 QueueingSlackUs = 1000;
// What a lane setup assumes a link may carry before its replies say so: 100 MB/s. At 40 ms
// that is 2 lanes of OpenSSH's 2 MiB window, at 100 ms 5.
constexpr quint64 FastLinkBytesPerSecond = 100 * 1000 * 1000;

qint64 microsBetween(std::chrono::steady_clock::time_point from,
                     std::chrono::steady_clock::time_point to)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(to - from).count();
}

} // namespace

struct SftpUpload::Lane
{
    enum class State { Opening, Subsystem, Greeting, Ready, Closing, Done };
    struct Request
    {
        quint64 offset;
        quint32 size;
        Clock::time_point sent;
    };

    ssh_channel channel = nullptr;
    bool extra = false; // opened by this upload, closed before it returns
    State state = State::Ready;
    QByteArray handle;
    quint32 lastId = 0; // request ids of an extra lane
    quint32 openId = 0;
    quint32 closeId = 0;
    QByteArray out; // the packet being sent
    qsizetype outAt = 0;
    QByteArray in; // reply bytes not yet taken apart
    QHash<quint32, Request> pending;
    quint64 inFlight = 0;
    bool wrote = false;

    bool sending() const { return outAt < out.size(); }
    // Waiting for the server: for a reply, a setup step, or window for queued bytes.
    bool waiting() const
    {
        return channel &&
               (!pending.isEmpty() || sending() || (state != State::Ready && state != State::Done));
    }
    bool settingUp() const
    {
        return channel &&
               (state == State::Opening || state == State::Subsystem || state == State::Greeting);
    }
};

SftpUpload::SftpUpload(const Context &context) : m_ctx(context)
{
}

SftpUpload::~SftpUpload()
{
    for (auto &lane : m_lanes) {
        if (lane->extra)
            dropLane(*lane);
    }
}

bool SftpUpload::lose(const QString &text)
{
    m_lost = true;
    m_error = text;
    return false;
}

bool SftpUpload::transportFailure(const QString &what)
{
    QString reason = QString::fromUtf8(ssh_get_error(m_ctx.session));
    if (reason.isEmpty())
        reason = QStringLiteral("the connection failed");
    return lose(what + QStringLiteral(": ") + reason);
}

void SftpUpload::failOnce(const QString &text)
{
    if (m_failure.isEmpty())
        m_failure = text;
}

quint32 SftpUpload::nextId(Lane &lane)
{
    return lane.extra ? ++lane.lastId : ++*m_ctx.lastId;
}

bool SftpUpload::run(int fd, const QString &localPath, const QByteArray &handle,
                     const QString &remotePath, const std::function<void(quint64)> &onProgress)
{
    m_localPath = localPath;
    m_remotePath = remotePath;
    m_onProgress = onProgress;
    m_minRttUs = m_ctx.roundTripUs;
    struct stat st
    {
    };
    if (::fstat(fd, &st) == 0 && st.st_size > 0)
        m_fileSize = quint64(st.st_size);

    auto first = std::make_unique<Lane>();
    first->channel = m_ctx.channel;
    first->handle = handle;
    m_lanes.push_back(std::move(first));
    m_stats.window = ssh_channel_window_size(m_ctx.channel);

    ssh_set_blocking(m_ctx.session, 0);
    // libssh leaves a socket it was given in blocking mode, and flushes its whole output
    // buffer (megabytes with several lanes) in one send(): to a server that stopped reading
    // that send would never return, whatever the idle time-out says.
    const int socketFd = ssh_get_fd(m_ctx.session);
    const int socketFlags = fcntl(socketFd, F_GETFL);
    if (socketFlags >= 0)
        fcntl(socketFd, F_SETFL, socketFlags | O_NONBLOCK);
    m_lastProgress = Clock::now();
    if (!m_remotePath.isEmpty())
        addLanes(std::max(std::min(m_ctx.limits.minLanes, m_ctx.limits.maxLanes), firstLanes()) -
                 1);

    while (!m_lost) {
        bool moved = false;
        for (auto &lane : m_lanes) {
            if (!m_lost)
                moved |= receive(*lane);
        }
        for (auto &lane : m_lanes) {
            if (!m_lost)
                moved |= advanceSetup(*lane);
        }
        if (m_lost)
            break;
        moved |= assignWrites(fd);
        for (auto &lane : m_lanes) {
            if (!m_lost)
                moved |= flush(*lane);
        }
        if (m_lost)
            break;
        moved |= closeFinished();
        maybeGrow();
        if (finished() || m_lost)
            break;
        if (!moved && !wait())
            break;
    }
    // Closing an extra lane's channel does not wait: libssh frees it when the server's
    // close arrives.
    for (auto &lane : m_lanes) {
        if (lane->extra)
            dropLane(*lane);
    }
    if (socketFlags >= 0)
        fcntl(socketFd, F_SETFL, socketFlags);
    ssh_set_blocking(m_ctx.session, 1);

    for (const auto &lane : m_lanes)
        m_stats.lanes += lane->wrote ? 1 : 0;
    m_stats.roundTripUs = m_minRttUs;
    if (!m_lost && !m_lanes.front()->in.isEmpty())
        lose(QStringLiteral("The SFTP server sent a reply to no request"));
    if (m_lost)
        return false;
    if (!m_failure.isEmpty()) {
        m_error = m_failure;
        return false;
    }
    return true;
}

bool SftpUpload::receive(Lane &lane)
{
    if (!lane.channel || lane.state == Lane::State::Opening || lane.state == Lane::State::Subsystem)
        return false;
    bool moved = false;
    char buffer[64 * 1024];
    for (;;) {
        const int n = ssh_channel_read_nonblocking(lane.channel, buffer, sizeof(buffer), 0);
        if (n > 0) {
            lane.in.append(buffer, n);
            m_lastProgress = Clock::now();
            moved = true;
            continue;
        }
        if (n == SSH_ERROR)
            return transportFailure(QStringLiteral("Reading from the SFTP server failed"));
        break;
    }
    qsizetype at = 0;
    while (lane.in.size() - at >= 4) {
        const quint32 length = qFromBigEndian<quint32>(lane.in.constData() + at);
        if (length == 0 || length > MaxReply) {
            return lose(
                QStringLiteral("The SFTP server sent a malformed packet (length %1)").arg(length));
        }
        if (quint64(lane.in.size() - at - 4) < length)
            break;
        const QByteArray packet = lane.in.mid(at + 4, length);
        at += 4 + qsizetype(length);
        if (!handleReply(lane, packet))
            return false;
        if (!lane.channel)
            return true; // dropped
    }
    lane.in.remove(0, at);
    if (lane.waiting() &&
        (ssh_channel_is_eof(lane.channel) || ssh_channel_is_closed(lane.channel))) {
        if (!lane.extra)
            return lose(QStringLiteral("The server closed the SFTP session"));
        if (!lane.pending.isEmpty() || lane.state == Lane::State::Closing)
            failOnce(QStringLiteral("The server closed an SFTP channel of the upload"));
        dropLane(lane);
        return true;
    }
    return moved;
}

bool SftpUpload::handleReply(Lane &lane, const QByteArray &packet)
{
    const quint8 type = quint8(packet[0]);
    if (lane.state == Lane::State::Greeting && type == FxpVersion)
        return true;
    if (packet.size() < 5)
        return lose(QStringLiteral("The SFTP server sent a malformed reply"));
    const quint32 id = qFromBigEndian<quint32>(packet.constData() + 1);
    const QByteArray body = packet.mid(5);

    if (lane.state == Lane::State::Greeting && id == lane.openId) {
        Reader r(body);
        if (type == FxpHandle) {
            lane.handle = r.string();
            if (r.ok() && !lane.handle.isEmpty()) {
                lane.state = Lane::State::Ready;
                return true;
            }
        }
        // The server would not open the file a second time: the other lanes carry on.
        dropLane(lane);
        return true;
    }
    const bool isWrite = lane.pending.contains(id);
    const bool isClose = lane.state == Lane::State::Closing && id == lane.closeId;
    if (isWrite || isClose) {
        const QString what = isWrite ? QStringLiteral("Writing to the remote file failed")
                                     : QStringLiteral("Closing the remote file failed");
        Reader r(body);
        const quint32 code = r.u32();
        const QString message = QString::fromUtf8(r.string());
        QString failure;
        if (type != FxpStatus)
            failure = what + QStringLiteral(": unexpected reply type %1").arg(type);
        else if (!r.ok())
            failure = what + QStringLiteral(": malformed status reply");
        else if (code != StatusOk)
            failure = statusText(what, code, message);
        if (isWrite) {
            const Lane::Request request = lane.pending.take(id);
            lane.inFlight -= request.size;
            m_inFlight -= request.size;
            const qint64 latency = microsBetween(request.sent, Clock::now());
            m_lastLatencyUs = latency;
            if (m_minRttUs < 0 || latency < m_minRttUs)
                m_minRttUs = latency;
            if (!failure.isEmpty()) {
                failOnce(failure + QStringLiteral(" at offset %1").arg(request.offset));
            } else {
                m_acknowledged += request.size;
                if (m_onProgress && m_failure.isEmpty())
                    m_onProgress(m_acknowledged);
            }
        } else {
            if (!failure.isEmpty())
                failOnce(failure);
            dropLane(lane);
        }
        return true;
    }
    if (++m_strays > MaxStrayReplies)
        return lose(QStringLiteral("The SFTP server sent too many replies to no request"));
    return true;
}

bool SftpUpload::advanceSetup(Lane &lane)
{
    if (!lane.extra || !lane.channel)
        return false;
    bool moved = false;
    if (lane.state == Lane::State::Opening) {
        const int rc = ssh_channel_open_session(lane.channel);
        if (rc == SSH_AGAIN)
            return false;
        if (rc != SSH_OK) {
            // Refused (OpenSSH's MaxSessions, for one): the upload goes on without it.
            dropLane(lane);
            return true;
        }
        lane.state = Lane::State::Subsystem;
        m_lastProgress = Clock::now();
        moved = true;
    }
    if (lane.state == Lane::State::Subsystem) {
        const int rc = ssh_channel_request_subsystem(lane.channel, "sftp");
        if (rc == SSH_AGAIN)
            return moved;
        if (rc != SSH_OK || m_atEof || !m_failure.isEmpty()) {
            dropLane(lane);
            return true;
        }
        // INIT and OPEN together: the server answers them in order, VERSION first.
        lane.out.resize(0);
        putU32(lane.out, 5);
        lane.out.append(char(FxpInit));
        putU32(lane.out, 3);
        QByteArray open;
        lane.openId = nextId(lane);
        startPacket(open, FxpOpen, lane.openId);
        putString(open, m_remotePath.toUtf8());
        putU32(open, 0x02); // SSH_FXF_WRITE: the file is there, and must stay as it is
        putU32(open, 0);    // no attributes
        patchLength(open);
        lane.out.append(open);
        lane.outAt = 0;
        lane.state = Lane::State::Greeting;
        m_lastProgress = Clock::now();
        return true;
    }
    return moved;
}

bool SftpUpload::assignWrites(int fd)
{
    m_windowLimited = false;
    const quint32 chunk = m_ctx.chunk;
    bool moved = false;
    while (!m_atEof && m_failure.isEmpty()) {
        if (m_inFlight > 0 && m_inFlight + chunk > m_ctx.limits.maxInFlight)
            break;
        // The lane with the most window; else one with nothing in flight, whose window may
        // be smaller than one request: it sends what fits and the rest as the window opens.
        Lane *best = nullptr;
        Lane *empty = nullptr;
        quint32 bestWindow = 0;
        for (auto &lane : m_lanes) {
            if (!lane->channel || lane->state != Lane::State::Ready || lane->sending())
                continue;
            const quint32 window = ssh_channel_window_size(lane->channel);
            if (window >= chunk + 64 + quint32(lane->handle.size()) && window > bestWindow) {
                best = lane.get();
                bestWindow = window;
            }
            if (!empty && lane->pending.isEmpty())
                empty = lane.get();
        }
        if (!best)
            best = empty;
        if (!best) {
            m_windowLimited = true;
            break;
        }
        Lane &lane = *best;
        const quint32 id = nextId(lane);
        startPacket(lane.out, FxpWrite, id);
        putString(lane.out, lane.handle);
        putU64(lane.out, m_offset);
        putU32(lane.out, 0); // data length, patched below
        const qsizetype dataAt = lane.out.size();
        lane.out.resize(dataAt + chunk);
        quint32 got = 0;
        while (got < chunk) {
            const ssize_t n = ::read(fd, lane.out.data() + dataAt + got, chunk - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                failOnce(QStringLiteral("Cannot read the local file \"%1\": %2")
                             .arg(m_localPath, platform::systemErrorText(errno)));
                lane.out.resize(0);
                return true;
            }
            if (n == 0) {
                m_atEof = true;
                break;
            }
            got += quint32(n);
        }
        if (got == 0) {
            lane.out.resize(0);
            lane.outAt = 0;
            break;
        }
        lane.out.resize(dataAt + got);
        qToBigEndian(got, lane.out.data() + dataAt - 4);
        patchLength(lane.out);
        lane.outAt = 0;
        lane.pending.insert(id, {m_offset, got, Clock::now()});
        lane.inFlight += got;
        lane.wrote = true;
        m_inFlight += got;
        m_stats.peakInFlight = std::max(m_stats.peakInFlight, m_inFlight);
        m_offset += got;
        moved = true;
        if (!flush(lane))
            return moved;
    }
    return moved;
}

bool SftpUpload::flush(Lane &lane)
{
    if (!lane.channel || !lane.sending())
        return false;
    const int n = ssh_channel_write(lane.channel, lane.out.constData() + lane.outAt,
                                    quint32(lane.out.size() - lane.outAt));
    if (n == SSH_ERROR)
        return transportFailure(QStringLiteral("Sending to the SFTP server failed"));
    if (n <= 0)
        return false; // no window, or a key exchange in progress
    lane.outAt += n;
    m_lastProgress = Clock::now();
    return true;
}

bool SftpUpload::closeFinished()
{
    if (!m_atEof && m_failure.isEmpty())
        return false;
    bool moved = false;
    for (auto &lane : m_lanes) {
        if (!lane->extra || !lane->channel || lane->state != Lane::State::Ready ||
            !lane->pending.isEmpty() || lane->sending())
            continue;
        lane->closeId = nextId(*lane);
        startPacket(lane->out, FxpClose, lane->closeId);
        putString(lane->out, lane->handle);
        patchLength(lane->out);
        lane->outAt = 0;
        lane->state = Lane::State::Closing;
        flush(*lane);
        moved = true;
    }
    return moved;
}

void SftpUpload::maybeGrow()
{
    if (m_remotePath.isEmpty() || m_atEof || !m_failure.isEmpty() || !m_windowLimited)
        return;
    int lanes = 0;
    for (const auto &lane : m_lanes) {
        if (lane->settingUp())
            return; // judge the lanes there are first
        lanes += lane->channel ? 1 : 0;
    }
    const quint64 window = std::max<quint64>(m_stats.window, 1);
    const int most = mostLanes();
    if (lanes >= most || m_fileSize <= m_offset || m_fileSize - m_offset < lanes * window)
        return;
    if (m_minRttUs < 0 || m_lastLatencyUs < 0 || m_lastLatencyUs > 2 * m_minRttUs + QueueingSlackUs)
        return;
    addLanes(std::min(lanes, most - lanes));
}

int SftpUpload::mostLanes() const
{
    const quint64 window = std::max<quint64>(m_stats.window, 1);
    return int(std::min<quint64>(quint64(std::max(m_ctx.limits.maxLanes, 1)),
                                 std::max<quint64>(m_ctx.limits.maxInFlight / window, 1)));
}

int SftpUpload::firstLanes() const
{
    // As many lanes as a fast link of the measured round trip needs; the replies show later
    // whether it needs more (maybeGrow).
    if (m_minRttUs <= 0 || m_stats.window == 0 || m_fileSize < 2 * quint64(m_stats.window))
        return 1;
    const quint64 wanted =
        std::min(m_fileSize, FastLinkBytesPerSecond * quint64(m_minRttUs) / 1000000);
    return int(std::clamp<quint64>((wanted + m_stats.window - 1) / m_stats.window, 1,
                                   quint64(mostLanes())));
}

void SftpUpload::addLanes(int count)
{
    for (int i = 0; i < count; ++i) {
        ssh_channel channel = ssh_channel_new(m_ctx.session);
        if (!channel)
            return;
        auto lane = std::make_unique<Lane>();
        lane->channel = channel;
        lane->extra = true;
        lane->state = Lane::State::Opening;
        m_lanes.push_back(std::move(lane));
    }
}

void SftpUpload::dropLane(Lane &lane)
{
    if (!lane.channel)
        return;
    m_inFlight -= lane.inFlight;
    lane.inFlight = 0;
    lane.pending.clear();
    lane.out.clear();
    lane.outAt = 0;
    if (ssh_channel_is_open(lane.channel))
        ssh_channel_close(lane.channel);
    ssh_channel_free(lane.channel);
    lane.channel = nullptr;
    lane.state = Lane::State::Done;
}

bool SftpUpload::finished() const
{
    if (!m_atEof && m_failure.isEmpty())
        return false;
    for (const auto &lane : m_lanes) {
        if (!lane->channel)
            continue;
        if (lane->extra || !lane->pending.isEmpty() || lane->sending())
            return false;
    }
    return true;
}

bool SftpUpload::wait()
{
    // The session as a whole must move: on a slow link each lane's replies come only as
    // often as the lanes take turns, but some reply or some sent bytes come all the time.
    const qint64 waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_lastProgress)
            .count();
    const qint64 leftMs = m_ctx.idleTimeoutMs - waited;
    if (leftMs <= 0) {
        return lose(
            QStringLiteral("The SFTP server did not answer within %1 ms").arg(m_ctx.idleTimeoutMs));
    }
    pollfd p{ssh_get_fd(m_ctx.session), POLLIN, 0};
    if (ssh_get_poll_flags(m_ctx.session) & SSH_WRITE_PENDING)
        p.events |= POLLOUT;
    if (::poll(&p, 1, int(std::min<qint64>(leftMs, 1000))) < 0 && errno != EINTR) {
        return lose(QStringLiteral("Waiting for the SFTP server failed: %1")
                        .arg(platform::systemErrorText(errno)));
    }
    return true;
}

} // namespace norvex::transfer
