// Listing and downloading on a server. A connection lasts one call: listing, then the
// download of the one generation chosen, each logs in anew.
#include "restore/RemoteGenerations.h"

#include "platform/Paths.h"
#include "transfer/SshKey.h"
#include "transfer/SshSFtp.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace norvex::restore {

namespace {

// As long as the backup service waits.
constexpr int kTimeoutMs = 30000;

QString sftpFolder(const JobLocation &job)
{
    return job.folder.isEmpty() ? QStringLiteral(".") : QStringLiteral("./") + job.folder;
}

// Connected, logged in and with SFTP started; else false with error.
bool sftpLogin(const JobLocation &job, transfer::TSshSFtp &sftp, QString &error)
{
    sftp.setConnectTimeoutMs(kTimeoutMs);
    sftp.setIdleTimeoutMs(kTimeoutMs);
    if (!job.installFolder.isEmpty())
        sftp.setKnownHostsFile(job.installFolder + QStringLiteral("known_hosts"));
    const auto failed = [&](const QString &step, const QString &why) {
        error = QStringLiteral("SFTP サーバー %1 に%2できません。 %3").arg(job.host, step, why);
        return false;
    };
    if (sftp.Connect(job.host, job.port > 0 ? job.port : 22) != 1)
        return failed(QStringLiteral("接続"), sftp.ErrorText());
    if (!job.keyFile.isEmpty()) {
        transfer::TSshKey key;
        const QString text = key.ReadKeyFile(job.keyFile);
        if (text.isEmpty() || key.LoadKey(text) != 1)
            return failed(QStringLiteral("ログイン"), key.KeyErrorText());
        if (sftp.AuthenticateKey(job.user, key) != 1)
            return failed(QStringLiteral("ログイン"), sftp.ErrorText());
    } else if (sftp.AuthenticatePassword(job.user, job.password) != 1) {
        return failed(QStringLiteral("ログイン"), sftp.ErrorText());
    }
    if (sftp.StartSftp() != 1)
        return failed(QStringLiteral("接続"), sftp.ErrorText());
    return true;
}

// A new file of mode 0600 in folder, named after the archive; -1 with error.
int createDownloadFile(const QString &folder, const QString &fileName, QString &path,
                       QString &error)
{
    QByteArray name = QFile::encodeName(folder + QStringLiteral("/.norvex-restore-") + fileName +
                                        QStringLiteral(".XXXXXX"));
    const int fd = ::mkstemp(name.data()); // 0600
    if (fd < 0) {
        error = QStringLiteral("一時フォルダ %1 にファイルを作成できません: %2")
                    .arg(folder, platform::systemErrorText(errno));
        return -1;
    }
    path = QFile::decodeName(name);
    return fd;
}

QString notYet(const JobLocation &job)
{
    return QStringLiteral("%1 のバックアップ先からの復元にはまだ対応していません。")
        .arg(job.destination);
}

} // namespace

bool listSftp(const JobLocation &job, QList<Generation> &out, QString &error)
{
    transfer::TSshSFtp sftp;
    if (!sftpLogin(job, sftp, error))
        return false;
    const QString handle = sftp.OpenDirectory(sftpFolder(job));
    QList<transfer::SftpDirEntry> entries;
    if (handle.isEmpty() || sftp.ReadDirectory(handle, entries) != 1) {
        error = QStringLiteral("バックアップ先フォルダ %1 を一覧できません。 %2")
                    .arg(sftpFolder(job), sftp.ErrorText());
        return false;
    }
    sftp.CloseRemoteHandle(handle);
    for (const transfer::SftpDirEntry &e : std::as_const(entries)) {
        if (e.hasPermissions && !S_ISREG(e.permissions))
            continue;
        const QString name = QString::fromUtf8(e.name);
        const int k = generationNumber(name, job.fileName);
        if (k < 0)
            continue;
        out.append({k, name, qint64(e.size),
                    e.hasTime ? QDateTime::fromSecsSinceEpoch(e.mtime) : QDateTime()});
    }
    return true;
}

bool listFtp(const JobLocation &job, QList<Generation> &, QString &error)
{
    error = notYet(job);
    return false;
}

std::unique_ptr<FetchedArchive> downloadGeneration(const JobLocation &job,
                                                   const Generation &generation,
                                                   const QString &temporaryFolder, QString &error,
                                                   const FetchProgress &progress)
{
    if (job.destination != QLatin1String("SFTP")) {
        error = notYet(job);
        return nullptr;
    }
    transfer::TSshSFtp sftp;
    if (!sftpLogin(job, sftp, error))
        return nullptr;
    const QString remote = sftpFolder(job) + QLatin1Char('/') + generation.fileName;
    const QString handle =
        sftp.OpenRemoteFile(remote, QStringLiteral("readOnly"), QStringLiteral("openExisting"));
    if (handle.isEmpty()) {
        error = QStringLiteral("%1 を開けません。 %2").arg(remote, sftp.ErrorText());
        return nullptr;
    }
    QString path;
    const int fd = createDownloadFile(temporaryFolder, generation.fileName, path, error);
    if (fd < 0)
        return nullptr;
    // Removed again unless complete.
    auto fetched = std::make_unique<FetchedArchive>(path, true);
    const auto onProgress = [&](qint64 done) {
        return !progress || progress(done, generation.size);
    };
    const bool ok = sftp.DownloadFromHandle(handle, fd, onProgress) == 1;
    struct stat st
    {
    };
    const bool stated = ::fstat(fd, &st) == 0;
    const bool closed = ::close(fd) == 0;
    if (!ok) {
        error = QStringLiteral("%1 をダウンロードできません。 %2").arg(remote, sftp.ErrorText());
        return nullptr;
    }
    if (!stated || !closed || st.st_size != generation.size) {
        error = QStringLiteral("%1 のダウンロードが途中で終わりました（%2 バイトのうち %3 "
                               "バイト）。")
                    .arg(remote)
                    .arg(generation.size)
                    .arg(stated ? qint64(st.st_size) : -1);
        return nullptr;
    }
    return fetched;
}

} // namespace norvex::restore
