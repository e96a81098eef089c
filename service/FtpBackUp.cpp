#include "service/FtpBackUp.h"

#include "shared/mlb2.h"
#include "transfer/FtpCli.h"

#include <QFile>

namespace norvex::service {

namespace {

using transfer::TFtpClient;

// The server's current folder (login folder or sub-folder) as storeRotatePublish() sees it.
// FTP has no atomic replace: a file in the way is moved aside first.
class FtpGenerationFolder : public GenerationFolder
{
public:
    FtpGenerationFolder(TFtpClient &ftp, QString archivePath)
        : m_ftp(ftp), m_archivePath(std::move(archivePath))
    {
        // Which half of a rename the server refused.
        m_ftp.OnCommand = [this](transfer::TCustomFtpCli *, const QString &line) {
            m_lastVerb = line.section(QLatin1Char(' '), 0, 0);
        };
    }
    ~FtpGenerationFolder() override { m_ftp.OnCommand = nullptr; }

    void storePart(const QString &partName) override
    {
        m_ftp.LocalFileName = m_archivePath;
        m_ftp.HostFileName = partName;
        if (!m_ftp.Put())
            raiseStepError(kFtpUploadFailed, m_ftp.ErrorMessage());
    }

    Result findFile(const QString &name) override
    {
        // SIZE answers on the control connection alone; 550 is the usual "no such file".
        m_ftp.HostFileName = name;
        if (m_ftp.Size())
            return Result::Done;
        m_error = m_ftp.ErrorMessage();
        return m_ftp.StatusCode() == 550 ? Result::Absent : Result::Failed;
    }

    bool removeFile(const QString &name) override
    {
        m_ftp.HostFileName = name;
        return m_ftp.Dele();
    }

    Result moveFile(const QString &from, const QString &to) override
    {
        m_ftp.HostFileName = from;
        m_ftp.LocalFileName = to;
        m_lastVerb.clear();
        if (m_ftp.Rename())
            return Result::Done;
        m_error = m_ftp.ErrorMessage();
        // 550 to RNFR: no such file. Anything else (a lost connection, 421, ...) is a failure,
        // also an error to RNTO: some servers rename and still answer 550.
        return m_lastVerb == QLatin1String("RNFR") && m_ftp.StatusCode() == 550 ? Result::Absent
                                                                                : Result::Failed;
    }

    Result replaceFile(const QString &, const QString &) override { return Result::Unsupported; }

    QString lastError() const override { return m_error; }

    QString failureText() const override { return kFtpUploadFailed; }

private:
    TFtpClient &m_ftp;
    QString m_archivePath;
    QString m_lastVerb;
    QString m_error;
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
