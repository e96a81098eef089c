#include "restore/RemoteGenerations.h"

namespace norvex::restore {

namespace {
QString notYet(const JobLocation &job)
{
    return QStringLiteral("%1 のバックアップ先からの復元にはまだ対応していません。")
        .arg(job.destination);
}
} // namespace

bool listSftp(const JobLocation &job, QList<Generation> &, QString &error)
{
    error = notYet(job);
    return false;
}

bool listFtp(const JobLocation &job, QList<Generation> &, QString &error)
{
    error = notYet(job);
    return false;
}

std::unique_ptr<FetchedArchive> downloadGeneration(const JobLocation &job, const Generation &,
                                                   const QString &, QString &error,
                                                   const FetchProgress &)
{
    error = notYet(job);
    return nullptr;
}

} // namespace norvex::restore
