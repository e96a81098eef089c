// Listing and downloading on a server. A connection lasts one call: listing, then the
// download of the one generation chosen, each logs in anew.
#include "restore/RemoteGenerations.h"

#include "platform/Paths.h"
#include "transfer/FtpCli.h"
#include "transfer/FtpListing.h"
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

// Connected, logged in, in binary mode and in the job's folder; else false with error.
bool ftpLogin(const JobLocation &job, transfer::TFtpClient &ftp, QString &error)
{
    ftp.Timeout = kTimeoutMs / 1000;
    ftp.HostName = job.host;
    ftp.Port = job.port > 0 ? QString::number(job.port) : QStringLiteral("21");
    ftp.UserName = job.user;
    ftp.PassWord = job.password;
    ftp.DataMode = job.ftpMode;
    ftp.Security = job.ftpSecurity;
    if (!job.installFolder.isEmpty())
        ftp.KnownCertsFile = job.installFolder + QStringLiteral("known_certs");
    if (!ftp.Connect()) {
        error = QStringLiteral("FTP サーバー %1 に接続できません。 %2")
                    .arg(job.host, ftp.ErrorMessage());
        return false;
    }
    bool ok = ftp.TypeBinary();
    if (ok && !job.folder.isEmpty()) {
        ftp.HostDirName = job.folder;
        ok = ftp.Cwd();
    }
    if (!ok)
        error = QStringLiteral("FTP サーバー %1 のバックアップ先フォルダを開けません。 %2")
                    .arg(job.host, ftp.ErrorMessage());
    return ok;
}

// Checks a finished download against the listed size; the file goes when it is short.
std::unique_ptr<FetchedArchive> complete(std::unique_ptr<FetchedArchive> fetched,
                                         const QString &remote, qint64 size, QString &error)
{
    struct stat st
    {
    };
    const bool stated = ::stat(QFile::encodeName(fetched->path()).constData(), &st) == 0;
    if (stated && st.st_size == size)
        return fetched;
    error = QStringLiteral("%1 のダウンロードが途中で終わりました（%2 バイトのうち %3 バイト）。")
                .arg(remote)
                .arg(size)
                .arg(stated ? qint64(st.st_size) : -1);
    return nullptr;
}

std::unique_ptr<FetchedArchive> downloadFtp(const JobLocation &job, const Generation &generation,
                                            const QString &temporaryFolder, QString &error,
                                            const FetchProgress &progress)
{
    transfer::TFtpClient ftp;
    if (!ftpLogin(job, ftp, error))
        return nullptr;
    QString path;
    const int fd = createDownloadFile(temporaryFolder, generation.fileName, path, error);
    if (fd < 0)
        return nullptr;
    ::close(fd); // the client writes the file by its name; it keeps the mode 0600
    auto fetched = std::make_unique<FetchedArchive>(path, true);
    ftp.HostFileName = generation.fileName;
    ftp.LocalFileName = path;
    // No way to stop a RETR half-way here: the listing stays the only point to cancel.
    ftp.OnProgress = [&](transfer::TCustomFtpCli *, qint64 done) {
        if (progress)
            progress(done, generation.size);
    };
    const QString remote = job.folder.isEmpty()
                               ? generation.fileName
                               : job.folder + QLatin1Char('/') + generation.fileName;
    if (!ftp.Get()) {
        error = QStringLiteral("%1 をダウンロードできません。 %2").arg(remote, ftp.ErrorMessage());
        return nullptr;
    }
    ftp.Quit();
    return complete(std::move(fetched), remote, generation.size, error);
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

bool listFtp(const JobLocation &job, QList<Generation> &out, QString &error)
{
    transfer::TFtpClient ftp;
    if (!ftpLogin(job, ftp, error))
        return false;
    ftp.HostFileName.clear();
    QList<transfer::FtpListEntry> files;
    // MLSD gives exact sizes and UTC times; servers without it get LIST.
    if (ftp.Mlsd()) {
        files = transfer::mlsdFiles(ftp.ListingData());
        for (transfer::FtpListEntry &file : files)
            file.modified = file.modified.toLocalTime();
    } else if (ftp.List()) {
        files = transfer::listFiles(ftp.ListingData(), QDateTime::currentDateTime());
    } else {
        error = QStringLiteral("FTP サーバー %1 のバックアップ先フォルダを一覧できません。 %2")
                    .arg(job.host, ftp.ErrorMessage());
        return false;
    }
    ftp.Quit();
    for (const transfer::FtpListEntry &file : std::as_const(files)) {
        const int k = generationNumber(file.name, job.fileName);
        if (k >= 0)
            out.append({k, file.name, file.size, file.modified});
    }
    return true;
}

std::unique_ptr<FetchedArchive> downloadGeneration(const JobLocation &job,
                                                   const Generation &generation,
                                                   const QString &temporaryFolder, QString &error,
                                                   const FetchProgress &progress)
{
    if (job.destination == QLatin1String("FTP"))
        return downloadFtp(job, generation, temporaryFolder, error, progress);
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
    const bool closed = ::close(fd) == 0;
    if (!ok || !closed) {
        error = QStringLiteral("%1 をダウンロードできません。 %2").arg(remote, sftp.ErrorText());
        return nullptr;
    }
    return complete(std::move(fetched), remote, generation.size, error);
}

} // namespace norvex::restore
