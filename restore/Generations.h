#pragma once

// The archives a job has stored at its destination, and a local copy of one to read.
//
// A job stores F ("Norvex-<backupname>.zip" or ".7z") or, with generation management,
// generation k as F's base + "-k-" + F's extension (generation 1 the newest). Files a
// run leaves while it works (".part", the hidden ".aside") are no generations and are not
// listed.

#include "shared/JobTable.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

namespace norvex::shared {
class TMlb2;
}

namespace norvex::restore {

// Where and how a job stores its archives, read from its row of the job table.
struct JobLocation
{
    QString name;        // backupname
    QString destination; // "Local", "SFTP" or "FTP"
    // The folder holding the archives: for Local the full path; for a server the
    // sub-folder below the login folder ("" for the login folder itself).
    QString folder;
    QString host;
    int port = 0;
    QString user;
    QString password;
    QString keyFile;
    shared::FtpDataMode ftpMode = shared::FtpDataMode::Active;
    shared::FtpSecurity ftpSecurity = shared::FtpSecurity::None;
    QString fileName;        // F
    int generations = 0;     // 0: no generation management
    QString archivePassword; // the 7z password the job writes with, when it has one
    // The installation folder (known_hosts and known_certs live there), with '/'.
    QString installFolder;

    // Reads the current record of a job table. Throws EConvertError for a field that
    // cannot be read (a port that is no number, an unknown FTP mode).
    static JobLocation fromJobRow(const shared::TMlb2 &row, const QString &installFolder);
};

struct Generation
{
    int number = 0; // k of generation k; 0 for F itself
    QString fileName;
    qint64 size = 0;
    QDateTime modified; // as the destination reports it (local time)
};

// k when name is generation k of F, 0 when it is F, -1 otherwise.
int generationNumber(const QString &name, const QString &fileName);

// The job's archives at its destination, newest first (by time, then by k). False with
// error when the destination cannot be listed.
bool listGenerations(const JobLocation &job, QList<Generation> &out, QString &error);

// A stored archive readable as a local file: the file itself for a local destination, else
// a copy downloaded into the temporary folder (mode 0600), removed with this object.
class FetchedArchive
{
public:
    FetchedArchive(QString path, bool temporary) : m_path(std::move(path)), m_temporary(temporary)
    {
    }
    ~FetchedArchive();
    FetchedArchive(const FetchedArchive &) = delete;
    FetchedArchive &operator=(const FetchedArchive &) = delete;
    const QString &path() const { return m_path; }

private:
    QString m_path;
    bool m_temporary;
};

// Bytes received so far of the total; returning false cancels the download.
using FetchProgress = std::function<bool(qint64 done, qint64 total)>;

// Makes generation readable locally (downloads it once for a server). Null with error when
// it cannot; a download that ends short of the listed size is an error too.
std::unique_ptr<FetchedArchive> fetchGeneration(const JobLocation &job,
                                                const Generation &generation,
                                                const QString &temporaryFolder, QString &error,
                                                const FetchProgress &progress = {});

} // namespace norvex::restore
