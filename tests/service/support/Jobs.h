#pragma once

// Job tables and event logs for the service tests, written and read with the programs'
// own table engine (as the configuration program writes them).

#include "shared/JobTable.h"
#include "shared/mlb2.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QString>
#include <QStringList>

namespace norvex::testing {

using JobValues = QMap<QString, QString>;

// A local-folder ZIP job due at backupdt, every `interval` `unit`.
inline JobValues localJob(const QString &name, const QString &backupdt, int interval = 1,
                          const QString &unit = QStringLiteral("h"))
{
    JobValues job;
    for (const QString &field : shared::jobFieldNames())
        job[field] = QString();
    job[QStringLiteral("backupname")] = name;
    job[QStringLiteral("tobackup")] = QStringLiteral("Local");
    job[QStringLiteral("backupint")] = QString::number(interval);
    job[QStringLiteral("backuptani")] = unit;
    job[QStringLiteral("backupdt")] = backupdt;
    for (const char *op : {"op1", "op2", "op3"})
        job[QLatin1String(op)] = QStringLiteral("0");
    job[QStringLiteral("op4")] = QStringLiteral("0");
    return job;
}

inline bool writeJobs(const QString &installFolder, const QList<JobValues> &jobs)
{
    shared::TMlb2 table;
    table.SetSeparator(QLatin1Char(','));
    for (const QString &field : shared::jobFieldNames())
        table.AddField(field);
    for (const JobValues &job : jobs) {
        table.AppendRecord();
        // Fields after the 19 become columns of their own, as the editor adds them.
        for (auto it = job.begin(); it != job.end(); ++it)
            shared::setJobField(table, it.key(), it.value());
    }
    QDir().mkpath(installFolder + QStringLiteral("/Log"));
    return table.SaveToFile(shared::jobTablePath(installFolder));
}

inline QList<JobValues> readJobs(const QString &installFolder)
{
    shared::TMlb2 table;
    table.SetSeparator(QLatin1Char(','));
    QList<JobValues> jobs;
    if (!table.LoadFromFile(shared::jobTablePath(installFolder)))
        return jobs;
    for (table.First(); !table.Eof(); table.Next()) {
        JobValues job;
        for (int j = 1; j <= table.FieldCount(); ++j)
            job[table.FieldName(j)] = table.FieldByIndex(j);
        jobs.append(job);
    }
    return jobs;
}

// Every entry line of every day file (headers left out), in file order.
inline QStringList logLines(const QString &installFolder)
{
    QStringList lines;
    QDir dir(installFolder + QStringLiteral("/Log"));
    for (const QString &name : dir.entryList({QStringLiteral("*.log")}, QDir::Files, QDir::Name)) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QStringList fileLines =
            QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        for (qsizetype i = 1; i < fileLines.size(); ++i)
            lines.append(fileLines[i]);
    }
    return lines;
}

// "I\t<stamp>\t<text>" -> "I\t<text>": the entry without its time stamp.
inline QString withoutStamp(const QString &line)
{
    const QStringList parts = line.split(QLatin1Char('\t'));
    if (parts.size() < 3)
        return line;
    QStringList rest = parts.mid(2);
    return parts[0] + QLatin1Char('\t') + rest.join(QLatin1Char('\t'));
}

} // namespace norvex::testing
