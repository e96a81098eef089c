#pragma once

#include "SftpUpload.h"

#include <QByteArray>
#include <QString>
#include <libssh/libssh.h>

#include <QList>

#include <functional>

namespace norvex::transfer {

// SFTP version 3 over one libssh channel on the "sftp" subsystem. Our own layer rather
// than libssh's sftp_*: those wait one round trip per write and retry reads forever when
// the server stops answering. Every wait here is bounded by the idle time-out; after a
// transport failure or a time-out the channel is marked broken and every later call fails
// at once, because the packet stream can no longer be trusted.
// One entry of a folder listing (READDIR). The name is the server's bytes.
struct SftpDirEntry
{
    QByteArray name;
    bool hasSize = false;
    quint64 size = 0;
    bool hasTime = false;
    quint32 mtime = 0; // seconds since 1970
    bool hasPermissions = false;
    quint32 permissions = 0; // st_mode, type bits included
};

class SftpChannel
{
public:
    // SSH_FXF_* open flags.
    static constexpr quint32 Read = 0x01;
    static constexpr quint32 Write = 0x02;
    static constexpr quint32 Append = 0x04;
    static constexpr quint32 Create = 0x08;
    static constexpr quint32 Truncate = 0x10;
    static constexpr quint32 Exclusive = 0x20;

    SftpChannel(ssh_session session, int idleTimeoutMs);
    ~SftpChannel();
    SftpChannel(const SftpChannel &) = delete;
    SftpChannel &operator=(const SftpChannel &) = delete;

    // Opens the channel, requests the subsystem and exchanges INIT / VERSION.
    bool start();

    bool openDir(const QString &path, QByteArray *handle);
    bool makeDir(const QString &path);
    bool remove(const QString &path);
    // LSTAT: true when path is there (a link counts as itself); lastStatus() 2 when not.
    bool lstat(const QString &path);
    bool rename(const QString &from, const QString &to);
    // posix-rename@openssh.com: replaces to atomically. Only when hasPosixRename().
    bool posixRename(const QString &from, const QString &to);
    // mode >= 0 is sent as the permissions of a file the server creates.
    bool open(const QString &path, quint32 flags, QByteArray *handle, int mode = -1);
    bool close(const QByteArray &handle);
    // FSTAT of an open handle: the size the server holds for it.
    bool fstat(const QByteArray &handle, quint64 *size);
    // Writes the whole local file from offset 0, with as many WRITE requests in flight as
    // the link and uploadLimits() allow (see SftpUpload). remotePath is the path handle was
    // opened on; with it the upload may spread over further channels. onProgress gets the
    // bytes the server has acknowledged, after each reply.
    bool upload(const QByteArray &handle, const QString &localPath, const QString &remotePath = {},
                const std::function<void(quint64)> &onProgress = {});
    // READDIR on an open folder handle until the server says there is no more.
    bool readDir(const QByteArray &handle, QList<SftpDirEntry> *entries);
    // Reads the file behind handle from offset 0 to its end into fd (pwrite at the same
    // offsets), several READ requests in flight. onProgress gets the bytes received so
    // far; returning false stops the download (a failure, "cancelled").
    bool download(const QByteArray &handle, int fd,
                  const std::function<bool(quint64)> &onProgress = {});
    void setUploadLimits(const UploadLimits &limits) { m_uploadLimits = limits; }
    UploadStats lastUploadStats() const { return m_uploadStats; }

    bool broken() const { return m_broken; }
    QString errorText() const { return m_error; }
    // The SFTP status code of the last refused request; 0 when it failed otherwise.
    quint32 lastStatus() const { return m_status; }
    bool hasPosixRename() const { return m_hasPosixRename; }
    // Bytes per WRITE request, chosen from the server's limits after start().
    quint32 writeChunk() const { return m_writeChunk; }

private:
    struct Reply
    {
        quint8 type = 0;
        quint32 id = 0;
        QByteArray body; // after type and id
    };

    quint32 nextId() { return ++m_lastId; }
    bool sendPacket(const QByteArray &packet);
    bool readPacket(QByteArray *packet);
    bool readExact(char *dest, quint32 count);
    bool request(quint8 type, const QByteArray &payload, Reply *reply);
    bool awaitReply(quint32 id, Reply *reply);
    bool expectStatusOk(const Reply &reply, const QString &what);
    bool expectHandle(const Reply &reply, const QString &what, QByteArray *handle);
    void queryLimits();
    bool fail(const QString &text);
    // Fails and marks the channel unusable: the packet stream is out of step.
    bool lose(const QString &text);
    bool transportFailure(const QString &what);

    ssh_session m_session;
    ssh_channel m_channel = nullptr;
    int m_idleTimeoutMs;
    quint32 m_lastId = 0;
    quint32 m_writeChunk = 32 * 1024;
    qint64 m_roundTripUs = -1; // the shortest request round trip seen
    UploadLimits m_uploadLimits;
    UploadStats m_uploadStats;
    bool m_hasLimits = false;
    bool m_hasPosixRename = false;
    quint32 m_status = 0;
    bool m_broken = false;
    QString m_error;
    QString m_lostReason;
};

} // namespace norvex::transfer
