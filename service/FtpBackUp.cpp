#include "service/FtpBackUp.h"

#include "shared/mlb2.h"
#include "transfer/FtpCli.h"

#include <QFile>

namespace norvex::service {

namespace {

using transfer::TFtpClient;

// The server's current folder (login folder or sub-folder) as storeRotatePublish() sees it.
class FtpGenerationFolder : public GenerationFolder
{
public:
    FtpGenerationFolder(TFtpClient &ftp, QString archivePath)
        : m_ftp(ftp), m_archivePath(std::move(archivePath))
    {
    }

    void storePart(const QString &partName) override
    {
        m_ftp.LocalFileName = m_archivePath;
        m_ftp.HostFileName = partName;
        if (!m_ftp.Put())
            raiseStepError(kFtpUploadFailed, m_ftp.ErrorMessage());
    }

    bool removeFile(const QString &name) override
    {
        m_ftp.HostFileName = name;
        return m_ftp.Dele();
    }

    bool renameFile(const QString &from, const QString &to) override
    {
        m_ftp.HostFileName = from;
        m_ftp.LocalFileName = to;
        return m_ftp.Rename();
    }

    void publishPart(const QString &partName, const QString &finalName) override
    {
        if (renameFile(partName, finalName))
            return;
        // Some servers will not rename over an existing file (F of the previous run). The
        // new archive is complete under its ".part" name, so the old F may go first.
        const QString reason = m_ftp.ErrorMessage();
        if (!removeFile(finalName) || !renameFile(partName, finalName))
            raiseStepError(kFtpUploadFailed,
                           m_ftp.ErrorMessage().isEmpty() ? reason : m_ftp.ErrorMessage());
    }

private:
    TFtpClient &m_ftp;
    QString m_archivePath;
};

} // namespace

void FtpBackUp(const TransferContext &ctx)
{
    const shared::TMlb2 &job = ctx.jobRow;
    TFtpClient ftp;
    ftp.Timeout = 15;
    ftp.HostName = job.FieldByName(QStringLiteral("hostname"));
    ftp.Port = job.FieldByName(QStringLiteral("port"));
    ftp.UserName = job.FieldByName(QStringLiteral("username"));
    ftp.PassWord = job.FieldByName(QStringLiteral("password"));

    try {
        if (!ftp.Connect())
            raiseStepError(kFtpConnectFailed, ftp.ErrorMessage());
        if (!ftp.TypeBinary())
            raiseStepError(kFtpBinaryFailed, ftp.ErrorMessage());
        if (ctx.subFolder) {
            // Usually there from earlier runs: a failing MKD is expected.
            ftp.HostFileName = ctx.subFolderName;
            ftp.Mkd();
            ftp.HostDirName = ctx.subFolderName;
            if (!ftp.Cwd())
                raiseStepError(kFtpFolderFailed, ftp.ErrorMessage());
        }
        FtpGenerationFolder folder(ftp, ctx.archivePath);
        storeRotatePublish(folder, ctx.archiveFileName, ctx.generations);
        if (!ftp.Quit())
            raiseStepError(kFtpCloseFailed, ftp.ErrorMessage());
    } catch (...) {
        ftp.Abort();
        throw;
    }
    QFile::remove(ctx.archivePath);
}

} // namespace norvex::service
