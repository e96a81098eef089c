#pragma once

// The job list's two columns from the run status record (norvexctl shows the same): the last
// result (or the run in progress) and the last success, and whether the result cell warns.

#include <QDateTime>
#include <QString>

namespace norvex::shared {

struct JobStatus;

struct StatusCells
{
    QString result; // "正常終了 2026/12/09 02:01:10", "実行中 圧縮中 …"; empty: unknown
    QString toolTip;   // the error text of a failure, the alarm, a retry that waits
    QString warning;   // why the cell is red (its accessible description); empty: not red
    int progress = -1; // a run in progress: 0 to 1000 of its stage; -1 otherwise
    QString lastSuccess;

    bool operator==(const StatusCells &) const = default;
};

// `live`: the record's runs are those of a service process that still exists; a run left
// by a service that died is not shown as running. `interval` and `unit` are the job's
// backupint and backuptani, for the alarm of a job with no recent success.
StatusCells statusCells(const JobStatus *status, bool live, int interval, QChar unit,
                        const QDateTime &now);

} // namespace norvex::shared
