#pragma once

#include "SftpChannel.h"
#include "SftpUpload.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <functional>
#include <libssh/libssh.h>
#include <memory>

namespace norvex::transfer {

class SftpChannel;
class TSshKey;

// A server key that Connect did not trust.
struct TSshHostKey
{
    QString host;
    int port = 0;
    QString presented;    // "ssh-ed25519 SHA256:..." as OpenSSH prints it
    QStringList recorded; // the host's keys in known_hosts, same form; empty: a new host
    QByteArray entry;     // the known_hosts line that trusts the presented key
    bool isEmpty() const { return presented.isEmpty(); }
};

// The connection object of the SSH/SFTP component. libssh carries the connection, the
// authentication and the host-key check; file operations go through our own SFTP v3
// layer. Results: 1 (or a non-empty handle) is success; nothing raises; ErrorText says
// why the last failed call failed. No call blocks longer than its time-out: the TCP
// connect and the SSH handshake share ConnectTimeoutMs, every later call waits at most
// IdleTimeoutMs for the server to make progress.
//
// Host keys are trusted on first use and recorded in known_hosts in the installation
// folder (or, asking first, only once a person agreed); a server presenting another key
// later is refused. Use one object on one thread.
class TSshSFtp
{
public:
    TSshSFtp();
    ~TSshSFtp();
    TSshSFtp(const TSshSFtp &) = delete;
    TSshSFtp &operator=(const TSshSFtp &) = delete;

    int ConnectTimeoutMs() const { return m_connectTimeoutMs; }
    void setConnectTimeoutMs(int ms) { m_connectTimeoutMs = ms; }
    int IdleTimeoutMs() const { return m_idleTimeoutMs; }
    void setIdleTimeoutMs(int ms);
    QString ErrorText() const { return m_error; }

    // Where trusted host keys are recorded; defaults to known_hosts in the installation
    // folder.
    QString knownHostsFile() const { return m_knownHostsFile; }
    void setKnownHostsFile(const QString &path) { m_knownHostsFile = path; }
    // False (the service): the key of a server seen for the first time is recorded and
    // trusted. True (the window's check): Connect fails instead, and PendingHostKey() says
    // what was presented so that a person can decide. A changed key fails either way.
    bool askBeforeTrusting() const { return m_askBeforeTrusting; }
    void setAskBeforeTrusting(bool ask) { m_askBeforeTrusting = ask; }
    // After a failed Connect: the key that was not trusted; empty for other failures.
    const TSshHostKey &PendingHostKey() const { return m_pendingHostKey; }
    // Records the key in knownHostsFile; every line the file holds for that host goes (a
    // changed key replaces the old one). 1 on success, else ErrorText says why.
    int TrustHostKey(const TSshHostKey &key);

    // hostField: a host name, or an IPv4 or IPv6 address, the latter also as "[::1]". Every
    // address the name resolves to is tried in turn within ConnectTimeoutMs.
    int Connect(const QString &hostField, int port);
    // What the open connection negotiated: "kex=... cipher=... mac=..." (client to server);
    // empty when not connected.
    QString negotiatedAlgorithms() const;
    // The "password" method; keyboard-interactive with the same password where the server
    // offers only that (PAM set-ups).
    int AuthenticatePassword(const QString &userName, const QString &password);
    int AuthenticateKey(const QString &userName, const TSshKey &key);
    int StartSftp();
    QString OpenDirectory(const QString &path);
    // Every entry of a folder opened with OpenDirectory.
    int ReadDirectory(const QString &handle, QList<SftpDirEntry> &entries);
    // The whole file opened for reading into the local descriptor fd; onProgress gets the
    // bytes received so far and may return false to stop.
    int DownloadFromHandle(const QString &handle, int fd,
                           const std::function<bool(qint64)> &onProgress = {});
    int CreateDirectory(const QString &path);
    int RemoveFile(const QString &path);
    // 1 when path is there (LSTAT); else 0, with StatusCode() 2 when it does not exist.
    int StatPath(const QString &path);
    // SFTP v3 RENAME: never replaces an existing newPath.
    int RenamePath(const QString &oldPath, const QString &newPath);
    // Whether the server offers posix-rename@openssh.com (known after StartSftp), and that
    // rename, which replaces newPath atomically.
    bool HasPosixRename() const;
    int PosixRenamePath(const QString &oldPath, const QString &newPath);
    // The SFTP status code with which the server refused the last failed call (2: no such
    // file); 0 when it failed for another reason.
    quint32 StatusCode() const;
    // access: "readOnly", "writeOnly" or "readWrite"; disposition: "createTruncate",
    // "createNew", "openOrCreate", "openExisting" or "truncateExisting". A file the server
    // creates gets the permission bits mode (less the server's umask); -1: its defaults.
    QString OpenRemoteFile(const QString &path, const QString &access, const QString &disposition,
                           int mode = -1);
    // onProgress gets the bytes the server has acknowledged so far. A handle opened for
    // writing may be written through further SFTP channels of the session at the same time,
    // each opening its path again for writing (see SftpUpload).
    int UploadToHandle(const QString &handle, const QString &localPath,
                       const std::function<void(qint64)> &onProgress = {});
    // The size of the open remote file as the server reports it (FSTAT); -1 on failure.
    qint64 HandleSize(const QString &handle);
    int CloseRemoteHandle(const QString &handle);
    void Disconnect();

    // Bounds of the next uploads, and what the last one did.
    void setUploadLimits(const UploadLimits &limits) { m_uploadLimits = limits; }
    UploadStats uploadStats() const { return m_uploadStats; }

private:
    int fail(const QString &text);
    int failFromSession(const QString &what);
    bool connectTcp(const QString &hostName, int port);
    bool checkHostKey(const QString &hostName, int port);
    bool authenticated(int rc, const QString &what);
    int passwordByKeyboard(const QByteArray &user, const QByteArray &password);
    bool needSession(bool needAuth);
    bool needSftp();
    void applySessionTimeout(int ms);

    int m_connectTimeoutMs = 15000;
    int m_idleTimeoutMs = 15000;
    QString m_error;
    QString m_knownHostsFile;
    bool m_askBeforeTrusting = false;
    TSshHostKey m_pendingHostKey;
    int m_fd = -1;
    ssh_session m_session = nullptr;
    bool m_authenticated = false;
    std::unique_ptr<SftpChannel> m_sftp;
    QStringList m_openHandles;            // closed again when the object is released
    QHash<QString, QString> m_writePaths; // handle opened for writing -> its path
    UploadLimits m_uploadLimits;
    UploadStats m_uploadStats;
};

} // namespace norvex::transfer
