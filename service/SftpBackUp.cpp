#include "service/SftpBackUp.h"

#include "shared/JobTable.h"
#include "shared/mlb2.h"
#include "transfer/SshKey.h"
#include "transfer/SshSFtp.h"

#include <QFile>

namespace norvex::service {

namespace {

using transfer::TSshKey;
using transfer::TSshSFtp;

constexpr int TimeoutMs = 15000;

constexpr quint32 NoSuchFile = 2;

// The remote destination folder as storeRotatePublish() sees it: names are put behind
// the "./<sub-folder>/" prefix (or none).
class SftpGenerationFolder : public GenerationFolder
{
public:
    SftpGenerationFolder(TSshSFtp &sftp, QString prefix, QString archivePath,
                         std::function<void(qint64)> onProgress)
        : m_sftp(sftp), m_prefix(std::move(prefix)), m_archivePath(std::move(archivePath)),
          m_onProgress(std::move(onProgress))
    {
    }

    qint64 storePart(const QString &partName) override
    {
        // Created private whatever the server's umask: it holds the user's files.
        const QString h = m_sftp.OpenRemoteFile(m_prefix + partName, QStringLiteral("writeOnly"),
                                                QStringLiteral("createTruncate"), 0600);
        if (h.isEmpty())
            raiseStepError(kSftpUploadFailed, m_sftp.ErrorText());
        if (m_sftp.UploadToHandle(h, m_archivePath, m_onProgress) != 1) {
            const QString reason = m_sftp.ErrorText();
            m_sftp.CloseRemoteHandle(h);
            raiseStepError(kSftpUploadFailed, reason);
        }
        // What the server holds for the handle we wrote, not whatever the name leads to.
        const qint64 size = m_sftp.HandleSize(h);
        if (size < 0) {
            const QString reason = m_sftp.ErrorText();
            m_sftp.CloseRemoteHandle(h);
            raiseStepError(kSftpUploadFailed, reason);
        }
        if (m_sftp.CloseRemoteHandle(h) != 1)
            raiseStepError(kSftpCloseFailed, m_sftp.ErrorText());
        return size;
    }

    Result findFile(const QString &name) override
    {
        if (m_sftp.StatPath(m_prefix + name) == 1)
            return Result::Done;
        m_error = m_sftp.ErrorText();
        return m_sftp.StatusCode() == NoSuchFile ? Result::Absent : Result::Failed;
    }

    bool removeFile(const QString &name) override
    {
        return m_sftp.RemoveFile(m_prefix + name) == 1;
    }

    Result moveFile(const QString &from, const QString &to) override
    {
        // SFTP v3 RENAME never replaces an existing file.
        if (m_sftp.RenamePath(m_prefix + from, m_prefix + to) == 1)
            return Result::Done;
        m_error = m_sftp.ErrorText();
        return m_sftp.StatusCode() == NoSuchFile ? Result::Absent : Result::Failed;
    }

    Result replaceFile(const QString &from, const QString &to) override
    {
        // A refused posix-rename changed nothing; the safe sequence may still work.
        if (!m_sftp.HasPosixRename() || m_sftp.PosixRenamePath(m_prefix + from, m_prefix + to) != 1)
            return Result::Unsupported;
        return Result::Done;
    }

    QString lastError() const override { return m_error; }

    QString failureText() const override { return kSftpUploadFailed; }

private:
    TSshSFtp &m_sftp;
    QString m_prefix;
    QString m_archivePath;
    std::function<void(qint64)> m_onProgress;
    QString m_error;
};

} // namespace

void SftpBackUp(const TransferContext &ctx)
{
    const shared::TMlb2 &job = ctx.jobRow;
    const int port =
        shared::readInteger(QStringLiteral("port"), job.FieldByName(QStringLiteral("port")));

    // Released at the end of the step, also after an error: it closes a handle still open
    // and ends the connection.
    TSshSFtp sftp;
    sftp.setConnectTimeoutMs(TimeoutMs);
    sftp.setIdleTimeoutMs(TimeoutMs);
    if (!ctx.installFolder.isEmpty())
        sftp.setKnownHostsFile(ctx.installFolder + QStringLiteral("known_hosts"));

    if (sftp.Connect(job.FieldByName(QStringLiteral("hostname")), port) != 1)
        raiseStepError(kSftpConnectFailed, sftp.ErrorText());

    const QString user = job.FieldByName(QStringLiteral("username"));
    const QString keyFile = job.FieldByName(QStringLiteral("keyfile"));
    if (!keyFile.isEmpty()) {
        TSshKey key;
        // The key object knows why a key could not be read or loaded; the connection
        // object has nothing to say about it.
        auto reason = [&] {
            return sftp.ErrorText().isEmpty() ? key.KeyErrorText() : sftp.ErrorText();
        };
        const QString text = key.ReadKeyFile(keyFile);
        if (text.isEmpty())
            raiseStepError(kSftpKeyReadFailed, reason());
        if (key.LoadKey(text) != 1)
            raiseStepError(kSftpKeyLoadFailed, reason());
        if (sftp.AuthenticateKey(user, key) != 1)
            raiseStepError(kSftpKeyAuthFailed, sftp.ErrorText());
    } else if (sftp.AuthenticatePassword(user, job.FieldByName(QStringLiteral("password"))) != 1) {
        raiseStepError(kSftpPasswordAuthFailed, sftp.ErrorText());
    }

    if (sftp.StartSftp() != 1)
        raiseStepError(kSftpStartFailed, sftp.ErrorText());

    QString prefix;
    if (ctx.subFolder) {
        const QString dir = QStringLiteral("./") + ctx.subFolderName;
        QString h = sftp.OpenDirectory(dir);
        if (h.isEmpty() && sftp.CreateDirectory(ctx.subFolderName) != 1) {
            // Another job with this folder may have created it a moment ago: a refused
            // create fails only when the folder still cannot be opened.
            const QString why = sftp.ErrorText();
            h = sftp.OpenDirectory(dir);
            if (h.isEmpty())
                raiseStepError(kSftpFolderFailed, why);
        }
        if (!h.isEmpty())
            sftp.CloseRemoteHandle(h);
        prefix = QStringLiteral("./") + ctx.subFolderName + QLatin1Char('/');
    }

    SftpGenerationFolder folder(sftp, prefix, ctx.archivePath, ctx.onProgress);
    storeRotatePublish(folder, ctx);
    QFile::remove(ctx.archivePath);
}

} // namespace norvex::service
