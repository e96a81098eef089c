#include "service/FtpBackUp.h"

#include "shared/EventLog.h"
#include "shared/JobTable.h"
#include "shared/mlb2.h"
#include "transfer/FtpCli.h"
#include "transfer/FtpListing.h"

#include <QDateTime>
#include <QFile>

namespace norvex::service {

namespace {

using transfer::TFtpClient;

// The server's current folder (login folder or sub-folder) as storeRotatePublish() sees it.
// FTP has no atomic replace: a file in the way is moved aside first.
class FtpGenerationFolder : public GenerationFolder
{
public:
    FtpGenerationFolder(TFtpClient &ftp, QString archivePath,
                        std::function<void(qint64)> onProgress)
        : m_ftp(ftp), m_archivePath(std::move(archivePath))
    {
        // Which half of a rename the server refused.
        m_ftp.OnCommand = [this](transfer::TCustomFtpCli *, const QString &line) {
            m_lastVerb = line.section(QLatin1Char(' '), 0, 0);
        };
        if (onProgress)
            m_ftp.OnProgress = [onProgress](transfer::TCustomFtpCli *, qint64 count) {
                onProgress(count);
            };
    }
    ~FtpGenerationFolder() override
    {
        m_ftp.OnCommand = nullptr;
        m_ftp.OnProgress = nullptr;
    }

    // A 226 only says the data connection ended well: the size the server then reports
    // for the file is what it really holds.
    qint64 storePart(const QString &partName) override
    {
        m_ftp.LocalFileName = m_archivePath;
        m_ftp.HostFileName = partName;
        if (!m_ftp.Put())
            raiseStepError(kFtpUploadFailed, m_ftp.ErrorMessage());
        qint64 size = -1;
        const Result there = lookUp(partName, &size);
        if (there != Result::Done || size < 0)
            raiseStepError(kFtpUploadFailed,
                           QStringLiteral("転送したファイルのサイズを確認できませんでした。 ") +
                               (there == Result::Done ? m_ftp.LastResponse() : m_error));
        return size;
    }

    Result findFile(const QString &name) override
    {
        qint64 size = -1;
        return lookUp(name, &size);
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
    // 500 to 504: the server does not know the command (or not in this form); another
    // way may still work. 550 and 450 are the usual "no such file".
    static bool unknownCommand(int code) { return code >= 500 && code <= 504; }
    static bool noSuchFile(int code) { return code == 550 || code == 450; }

    // Whether name is there and its size (-1 when the answer holds none): SIZE, or where
    // the server lacks it, MLST, then LIST. A command refused as unknown is not asked
    // again on this connection.
    Result lookUp(const QString &name, qint64 *size)
    {
        m_ftp.HostFileName = name;
        if (m_haveSize) {
            if (m_ftp.Size()) {
                bool ok = false;
                *size = m_ftp.LastResponse().mid(4).trimmed().toLongLong(&ok);
                if (!ok)
                    *size = -1;
                return Result::Done;
            }
            if (!usable(unknownCommand(m_ftp.StatusCode()), &m_haveSize))
                return refused();
        }
        if (m_haveMlst) {
            if (m_ftp.Mlst()) {
                *size = transfer::mlstSize(m_ftp.ResponseText());
                return Result::Done;
            }
            if (!usable(unknownCommand(m_ftp.StatusCode()), &m_haveMlst))
                return refused();
        }
        if (!m_ftp.List())
            return refused();
        bool empty = false;
        *size = transfer::listSize(m_ftp.ListingData(), &empty);
        return empty ? Result::Absent : Result::Done;
    }

    // After a refusal: false when it settles the question; a command the server does not
    // know is switched off when the connection is still up for the next way.
    bool usable(bool unknown, bool *command)
    {
        if (!unknown || !m_ftp.Connected())
            return false;
        *command = false;
        return true;
    }

    Result refused()
    {
        m_error = m_ftp.ErrorMessage();
        return noSuchFile(m_ftp.StatusCode()) && m_ftp.Connected() ? Result::Absent
                                                                   : Result::Failed;
    }

    TFtpClient &m_ftp;
    QString m_archivePath;
    bool m_haveSize = true;
    bool m_haveMlst = true;
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
    ftp.KnownCertsFile = ctx.installFolder + QStringLiteral("known_certs");
    try {
        // An unknown text fails the run before any connection: a job meant for TLS must
        // never log in in clear text.
        ftp.DataMode = shared::readFtpMode(job.FieldByName(QLatin1String(shared::FtpModeField)));
        ftp.Security =
            shared::readFtpSecurity(job.FieldByName(QLatin1String(shared::FtpSecurityField)));
    } catch (const shared::Exception &e) {
        raiseStepError(kFtpConnectFailed, e.message());
    }

    try {
        const bool connected = ftp.Connect();
        if (!ftp.NewlyTrustedCertificate().isEmpty())
            shared::WriteLog(ctx.installFolder, shared::LogInformation,
                             job.FieldByName(QStringLiteral("backupname")) +
                                 QStringLiteral(" FTPサーバの証明書を初めての接続で信頼し、"
                                                "記録しました。\tサーバ %1 ポート %2 %3")
                                     .arg(ftp.HostName, ftp.Port, ftp.NewlyTrustedCertificate()),
                             QDateTime::currentDateTime());
        if (!connected)
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
        FtpGenerationFolder folder(ftp, ctx.archivePath, ctx.onProgress);
        storeRotatePublish(folder, ctx);
        if (!ftp.Quit())
            raiseStepError(kFtpCloseFailed, ftp.ErrorMessage());
    } catch (...) {
        ftp.Abort();
        throw;
    }
    QFile::remove(ctx.archivePath);
}

} // namespace norvex::service
