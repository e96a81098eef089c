#include "restore/Generations.h"

#include "restore/RemoteGenerations.h"
#include "shared/mlb2.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace norvex::restore {

JobLocation JobLocation::fromJobRow(const shared::TMlb2 &row, const QString &installFolder)
{
    const auto field = [&row](const char *name) {
        return row.FieldByName(QString::fromLatin1(name));
    };
    JobLocation job;
    job.name = field("backupname");
    job.destination = field("tobackup");
    job.installFolder = installFolder;
    const bool sevenZ = field("op4") == QLatin1String("1");
    job.fileName = QStringLiteral("Norvex-") + job.name +
                   (sevenZ ? QStringLiteral(".7z") : QStringLiteral(".zip"));
    if (sevenZ && shared::isOn(field("op2")))
        job.archivePassword = field("op2val");
    if (shared::isOn(field("op3")))
        job.generations = shared::readInteger(QStringLiteral("op3val"), field("op3val"));
    const QString sub = shared::isOn(field("op1")) ? field("op1val") : QString();
    if (job.destination == QLatin1String("Local")) {
        job.folder = field("localbackupdir");
        if (!sub.isEmpty())
            job.folder += QLatin1Char('/') + sub;
        return job;
    }
    job.folder = sub;
    job.host = field("hostname");
    job.user = field("username");
    job.password = field("password");
    job.keyFile = field("keyfile");
    const QString port = field("port");
    if (!port.isEmpty())
        job.port = shared::readInteger(QStringLiteral("port"), port);
    if (job.destination == QLatin1String("FTP")) {
        job.ftpMode = shared::readFtpMode(field(shared::FtpModeField));
        job.ftpSecurity = shared::readFtpSecurity(field(shared::FtpSecurityField));
    }
    return job;
}

int generationNumber(const QString &name, const QString &fileName)
{
    if (name == fileName)
        return 0;
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const QString base = (dot < 0 ? fileName : fileName.left(dot)) + QLatin1Char('-');
    const QString ext = QLatin1Char('-') + (dot < 0 ? QString() : fileName.mid(dot));
    if (name.size() <= base.size() + ext.size() || !name.startsWith(base) || !name.endsWith(ext))
        return -1;
    const QString digits = name.mid(base.size(), name.size() - base.size() - ext.size());
    bool ok = false;
    const int k = digits.toInt(&ok);
    // "01" is no name the service gives.
    return ok && k > 0 && digits == QString::number(k) ? k : -1;
}

namespace {

bool listLocal(const JobLocation &job, QList<Generation> &out, QString &error)
{
    const QDir dir(job.folder);
    if (!dir.exists()) {
        error = QStringLiteral("バックアップ先フォルダ %1 がありません。").arg(job.folder);
        return false;
    }
    const QFileInfoList files = dir.entryInfoList(QDir::Files | QDir::NoSymLinks);
    for (const QFileInfo &info : files) {
        const int k = generationNumber(info.fileName(), job.fileName);
        if (k >= 0)
            out.append({k, info.fileName(), info.size(), info.lastModified()});
    }
    return true;
}

} // namespace

void sortNewestFirst(QList<Generation> &generations)
{
    std::sort(generations.begin(), generations.end(), [](const Generation &a, const Generation &b) {
        if (a.modified != b.modified)
            return a.modified > b.modified;
        return a.number < b.number;
    });
}

bool listGenerations(const JobLocation &job, QList<Generation> &out, QString &error)
{
    out.clear();
    bool ok = false;
    if (job.destination == QLatin1String("Local"))
        ok = listLocal(job, out, error);
    else if (job.destination == QLatin1String("SFTP"))
        ok = listSftp(job, out, error);
    else if (job.destination == QLatin1String("FTP"))
        ok = listFtp(job, out, error);
    else
        error = QStringLiteral("バックアップ先 tobackup 「%1」 は SFTP、FTP、Local "
                               "のいずれでもありません。")
                    .arg(job.destination);
    if (ok)
        sortNewestFirst(out);
    return ok;
}

FetchedArchive::~FetchedArchive()
{
    if (m_temporary)
        QFile::remove(m_path);
}

std::unique_ptr<FetchedArchive> fetchGeneration(const JobLocation &job,
                                                const Generation &generation,
                                                const QString &temporaryFolder, QString &error,
                                                const FetchProgress &progress)
{
    if (job.destination == QLatin1String("Local"))
        return std::make_unique<FetchedArchive>(job.folder + QLatin1Char('/') + generation.fileName,
                                                false);
    return downloadGeneration(job, generation, temporaryFolder, error, progress);
}

} // namespace norvex::restore
