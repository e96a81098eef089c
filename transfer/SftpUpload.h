#pragma once

#include <QByteArray>
#include <QString>
#include <libssh/libssh.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace norvex::transfer {

// How far one upload may spread. A server lets each SSH channel owe it only its channel
// window (OpenSSH: 2 MiB), which caps one channel at window / round trip: 52 MB/s at
// 40 ms, 21 MB/s at 100 ms. Further SFTP channels ("lanes") of the same session, each with
// its own window and its own handle on the file, carry more.
struct UploadLimits
{
    // WRITE data the server may owe replies for, over all lanes: the memory in flight.
    quint64 maxInFlight = 16 * 1024 * 1024;
    int maxLanes = 8;
    // Lanes opened at the start whatever the link (tests and measurements); otherwise
    // lanes are added only while they pay off.
    int minLanes = 1;
};

// What the last upload did, for measurements and tests.
struct UploadStats
{
    int lanes = 0;            // SFTP channels that carried writes
    quint64 peakInFlight = 0; // most WRITE data awaiting replies at one time
    quint32 window = 0;       // the server's channel window when the upload began
    qint64 roundTripUs = -1;  // shortest request round trip seen
};

// One upload of a local file to an open remote handle. Runs the session in non-blocking
// mode for its duration, so that no lane waits on another: WRITE requests go to whichever
// lane has window, replies are taken from all lanes as they come, and every lane that waits
// for the server is bounded by the idle time-out.
//
// The upload starts with as many lanes as a fast link of the measured round trip would need
// (one on loopback and LAN), and adds more while the server's window is what holds it back:
// every lane's window is used up and the replies still come back about one bare round trip
// after their requests (a link that queues would make them later). The caller's handle carries
// the first lane; extra lanes open the same remote path for writing (no create, no
// truncate), write at their own offsets and close their handles before run() returns.
class SftpUpload
{
public:
    struct Context
    {
        ssh_session session = nullptr;
        ssh_channel channel = nullptr; // the caller's SFTP channel
        quint32 *lastId = nullptr;     // the caller's request ids, continued
        int idleTimeoutMs = 15000;
        quint32 chunk = 32 * 1024;
        qint64 roundTripUs = -1; // measured on the caller's channel; -1 unknown
        UploadLimits limits;
    };

    explicit SftpUpload(const Context &context);
    ~SftpUpload();
    SftpUpload(const SftpUpload &) = delete;
    SftpUpload &operator=(const SftpUpload &) = delete;

    // Writes the whole of fd (read from its current position, named localPath in texts) to
    // handle from offset 0. remotePath is the path handle was opened on, for extra lanes;
    // empty: the caller's channel only. onProgress gets the bytes acknowledged so far.
    bool run(int fd, const QString &localPath, const QByteArray &handle, const QString &remotePath,
             const std::function<void(quint64)> &onProgress);

    QString errorText() const { return m_error; }
    // The caller's channel is out of step (time-out, transport failure): drop the session.
    bool lost() const { return m_lost; }
    UploadStats stats() const { return m_stats; }

private:
    using Clock = std::chrono::steady_clock;
    struct Lane;

    bool receive(Lane &lane);
    bool handleReply(Lane &lane, const QByteArray &packet);
    void acknowledge(Lane &lane, quint32 id, quint32 code, const QString &message);
    bool advanceSetup(Lane &lane);
    bool assignWrites(int fd);
    bool flush(Lane &lane);
    bool closeFinished();
    void maybeGrow();
    int mostLanes() const;
    int firstLanes() const;
    void addLanes(int count);
    void dropLane(Lane &lane);
    bool finished() const;
    bool wait();
    bool lose(const QString &text);
    bool transportFailure(const QString &what);
    void failOnce(const QString &text);
    quint32 nextId(Lane &lane);

    Context m_ctx;
    std::vector<std::unique_ptr<Lane>> m_lanes;
    QString m_localPath;
    QString m_remotePath;
    std::function<void(quint64)> m_onProgress;
    quint64 m_fileSize = 0;
    quint64 m_offset = 0; // next file offset to send
    quint64 m_acknowledged = 0;
    quint64 m_inFlight = 0;
    bool m_atEof = false;
    bool m_windowLimited = false; // data was waiting and every lane's window was used up
    qint64 m_minRttUs = -1;
    qint64 m_lastLatencyUs = -1;
    int m_strays = 0;
    Clock::time_point m_lastProgress; // of the session: a reply, sent bytes, a lane step
    bool m_lost = false;
    QString m_failure; // first WRITE or local failure; the upload drains and fails
    QString m_error;
    UploadStats m_stats;
};

} // namespace norvex::transfer
