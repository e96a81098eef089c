// list, show, add, change and delete.
#include "ctl/Ctl.h"
#include "ctl/JobOptions.h"

#include "shared/Clock.h"
#include "shared/Exception.h"
#include "shared/ExcludePatterns.h"
#include "shared/JobRules.h"
#include "shared/JobTable.h"
#include "shared/ListStatus.h"
#include "shared/RunStatus.h"
#include "shared/ServiceCommands.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace norvex::ctl {

namespace {

QString field(const shared::TMlb2 &table, const char *name)
{
    return table.FieldByName(QLatin1String(name));
}

QString intervalText(const shared::TMlb2 &table)
{
    return field(table, "backupint") + (field(table, "backuptani") == QLatin1String("h")
                                            ? QStringLiteral("時間毎")
                                            : QStringLiteral("日毎"));
}

QString destinationText(const shared::TMlb2 &table)
{
    const QString kind = field(table, "tobackup");
    if (kind == QLatin1String("Local"))
        return kind + QLatin1Char(' ') + field(table, "localbackupdir");
    return kind + QLatin1Char(' ') + field(table, "username") + QLatin1Char('@') +
           field(table, "hostname") + QLatin1Char(':') + field(table, "port");
}

shared::StatusCells cellsOf(const shared::TMlb2 &table, int number,
                            const shared::RunStatusRecord &record)
{
    const QString unit = field(table, "backuptani");
    return shared::statusCells(
        shared::findJobStatus(record, number, field(table, "backupname")),
        shared::recordShowsRunInProgress(record), field(table, "backupint").toInt(),
        unit.size() == 1 ? unit.at(0) : QChar(), shared::SystemClock().now());
}

// The current record for scripts; passwords never leave the file.
QJsonObject jobJson(const shared::TMlb2 &table, int number, const shared::RunStatusRecord &record)
{
    QJsonObject job{
        {QStringLiteral("name"), field(table, "backupname")},
        {QStringLiteral("sources"),
         QJsonArray::fromStringList(shared::decodeSourceList(field(table, "backuplist")))},
        {QStringLiteral("destination"), field(table, "tobackup")},
        {QStringLiteral("interval"), field(table, "backupint").toInt()},
        {QStringLiteral("unit"), field(table, "backuptani")},
        {QStringLiteral("next"), field(table, "backupdt")},
        {QStringLiteral("format"),
         field(table, "op4") == QLatin1String("1") ? QStringLiteral("7z") : QStringLiteral("zip")},
        {QStringLiteral("archivePassword"), !field(table, "op2val").isEmpty()},
        {QStringLiteral("exclude"),
         QJsonArray::fromStringList(shared::decodeExcludes(field(table, shared::ExcludeField)))},
    };
    if (field(table, "tobackup") == QLatin1String("Local")) {
        job.insert(QStringLiteral("localFolder"), field(table, "localbackupdir"));
    } else {
        job.insert(QStringLiteral("host"), field(table, "hostname"));
        job.insert(QStringLiteral("port"), field(table, "port").toInt());
        job.insert(QStringLiteral("user"), field(table, "username"));
        if (field(table, "tobackup") == QLatin1String("SFTP"))
            job.insert(QStringLiteral("keyFile"), field(table, "keyfile"));
        else
            job.insert(QStringLiteral("ftp"), field(table, shared::FtpModeField) +
                                                  QLatin1Char('/') +
                                                  field(table, shared::FtpSecurityField));
    }
    try {
        if (shared::isOn(field(table, "op1")))
            job.insert(QStringLiteral("folder"), field(table, "op1val"));
        if (shared::isOn(field(table, "op3")))
            job.insert(QStringLiteral("generations"), field(table, "op3val").toInt());
    } catch (const shared::EConvertError &) {
    }
    const shared::StatusCells cells = cellsOf(table, number, record);
    job.insert(QStringLiteral("lastResult"), cells.result);
    job.insert(QStringLiteral("lastSuccess"), cells.lastSuccess);
    if (!cells.warning.isEmpty())
        job.insert(QStringLiteral("warning"), cells.warning);
    if (!cells.toolTip.isEmpty())
        job.insert(QStringLiteral("detail"), cells.toolTip);
    return job;
}

// Columns padded by display width: a CJK character takes two.
int width(const QString &text)
{
    int w = 0;
    for (QChar c : text)
        w += c.unicode() >= 0x1100 ? 2 : 1;
    return w;
}

void printTable(const QList<QStringList> &rows)
{
    QList<int> widths;
    for (const QStringList &row : rows)
        for (qsizetype i = 0; i < row.size(); ++i) {
            if (widths.size() <= i)
                widths << 0;
            widths[i] = std::max(widths[i], width(row[i]));
        }
    for (const QStringList &row : rows) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size())
                line += QString(widths[i] - width(row[i]) + 2, QLatin1Char(' '));
        }
        out(line.trimmed() + QLatin1Char('\n'));
    }
}

int report(shared::JobFileResult result, const QString &error, const QString &name)
{
    switch (result) {
    case shared::JobFileResult::Saved:
        return Success;
    case shared::JobFileResult::NotFound:
        err(QStringLiteral("バックアップ設定「%1」は一覧から削除されたか移動しています。"
                           "変更は保存されませんでした。\n")
                .arg(name));
        return Failure;
    case shared::JobFileResult::Duplicate:
        err(shared::duplicateJobNameText() + QLatin1Char('\n'));
        return Failure;
    case shared::JobFileResult::Unreadable:
    case shared::JobFileResult::Unwritable:
        break;
    }
    err(QStringLiteral("バックアップ設定を保存できませんでした。\n") + error + QLatin1Char('\n'));
    return Failure;
}

// The editor's checks; the first problem is printed.
bool acceptable(const shared::JobInput &input, const shared::TMlb2 &table,
                const QString &loadedName)
{
    const std::optional<shared::JobProblem> problem = shared::jobInputProblem(
        input, [&](const QString &name) { return shared::jobNameTaken(table, name, loadedName); });
    if (problem)
        err(problem->text + QLatin1Char('\n'));
    return !problem;
}

} // namespace

int listCommand(const Context &context, const QStringList &words)
{
    const Arguments args(words, {QStringLiteral("json")}, {});
    args.expectPositional(0, 0, QString());
    shared::TMlb2 table;
    if (!context.loadJobs(table))
        return Failure;
    const shared::RunStatusRecord record = shared::readRunStatus(context.installFolder());
    if (args.has(QStringLiteral("json"))) {
        QJsonArray jobs;
        for (int n = 1; n <= table.RecordCount(); ++n) {
            table.GoToRecord(n);
            jobs.append(jobJson(table, n, record));
        }
        out(QString::fromUtf8(QJsonDocument(jobs).toJson()));
        return Success;
    }
    QList<QStringList> rows = {{QStringLiteral("バックアップ名"), QStringLiteral("バックアップ先"),
                                QStringLiteral("バックアップ間隔"),
                                QStringLiteral("次回バックアップ時間"),
                                QStringLiteral("前回の結果"), QStringLiteral("最終成功")}};
    for (int n = 1; n <= table.RecordCount(); ++n) {
        table.GoToRecord(n);
        const shared::StatusCells cells = cellsOf(table, n, record);
        rows << QStringList{field(table, "backupname"), destinationText(table), intervalText(table),
                            field(table, "backupdt"),   cells.result,           cells.lastSuccess};
    }
    printTable(rows);
    return Success;
}

int showCommand(const Context &context, const QStringList &words)
{
    const Arguments args(words, {QStringLiteral("json")}, {});
    args.expectPositional(1, 1, QStringLiteral("バックアップ名"));
    shared::TMlb2 table;
    FoundJob job;
    if (const int code = context.findJob(table, args.positional()[0], &job))
        return code;
    const QJsonObject json =
        jobJson(table, job.number, shared::readRunStatus(context.installFolder()));
    if (args.has(QStringLiteral("json"))) {
        out(QString::fromUtf8(QJsonDocument(json).toJson()));
        return Success;
    }
    const shared::StatusCells cells =
        cellsOf(table, job.number, shared::readRunStatus(context.installFolder()));
    QList<QStringList> rows = {
        {QStringLiteral("バックアップ名"), job.name},
        {QStringLiteral("バックアップ対象"),
         shared::decodeSourceList(field(table, "backuplist")).join(QStringLiteral("\n  "))},
        {QStringLiteral("バックアップ先"), destinationText(table)},
        {QStringLiteral("バックアップ間隔"), intervalText(table)},
        {QStringLiteral("次回バックアップ時間"), field(table, "backupdt")},
        {QStringLiteral("圧縮方式"), json[QStringLiteral("format")].toString()},
    };
    if (json.contains(QStringLiteral("folder")))
        rows << QStringList{QStringLiteral("フォルダ名"),
                            json[QStringLiteral("folder")].toString()};
    if (json.contains(QStringLiteral("generations")))
        rows << QStringList{QStringLiteral("世代数"),
                            QString::number(json[QStringLiteral("generations")].toInt())};
    if (const QStringList excludes = shared::decodeExcludes(field(table, shared::ExcludeField));
        !excludes.isEmpty())
        rows << QStringList{QStringLiteral("除外するファイル、フォルダ"),
                            excludes.join(QStringLiteral("\n  "))};
    rows << QStringList{QStringLiteral("前回の結果"), cells.result}
         << QStringList{QStringLiteral("最終成功"), cells.lastSuccess};
    if (!cells.toolTip.isEmpty())
        rows << QStringList{QString(), cells.toolTip};
    for (const QStringList &row : rows)
        out(row[0] + (row[0].isEmpty() ? QString() : QStringLiteral(": ")) + row[1] +
            QLatin1Char('\n'));
    return Success;
}

int addCommand(const Context &context, const QStringList &words)
{
    const Arguments args(words, jobFlags(), jobValuedOptions());
    args.expectPositional(1, -1, QStringLiteral("バックアップ名"));
    shared::JobInput input;
    input.name = args.positional()[0];
    for (const QString &source : args.positional().mid(1))
        input.sources << QDir::cleanPath(QDir::current().absoluteFilePath(source));
    applyJobOptions(args, input, false);
    shared::ensureJobTable(context.installFolder());
    shared::TMlb2 table;
    if (const int code = context.refuseWhileInProgress(table))
        return code;
    if (!context.loadJobs(table) || !acceptable(input, table, QString()))
        return Failure;
    QString error;
    const shared::JobFileResult result = shared::appendJobToFile(
        table, context.jobTablePath(),
        [&input](shared::TMlb2 &job) { shared::writeJobInput(job, input); }, &error);
    return report(result, error, input.name);
}

int changeCommand(const Context &context, const QStringList &words)
{
    const Arguments args(words, jobFlags(),
                         jobValuedOptions() << QStringLiteral("name") << QStringLiteral("source"));
    args.expectPositional(1, 1, QStringLiteral("バックアップ名"));
    shared::TMlb2 table;
    FoundJob job;
    shared::JobInput input;
    if (const int code = context.findJob(table, args.positional()[0], &job, &input))
        return code;
    if (args.has(QStringLiteral("name")))
        input.name = args.value(QStringLiteral("name"));
    if (args.has(QStringLiteral("source"))) {
        input.sources.clear();
        for (const QString &source : args.values(QStringLiteral("source")))
            input.sources << QDir::cleanPath(QDir::current().absoluteFilePath(source));
    }
    applyJobOptions(args, input, true);
    if (const int code = context.refuseWhileInProgress(table))
        return code;
    if (!context.loadJobs(table) || !acceptable(input, table, job.name))
        return Failure;
    QString error;
    const shared::JobFileResult result = shared::changeJobInFile(
        table, context.jobTablePath(), job.number, job.name,
        [&input](shared::TMlb2 &record) { shared::writeJobInput(record, input); }, &error);
    return report(result, error, job.name);
}

int deleteCommand(const Context &context, const QStringList &words)
{
    const Arguments args(words, {QStringLiteral("yes")}, {});
    args.expectPositional(1, 1, QStringLiteral("バックアップ名"));
    shared::TMlb2 table;
    FoundJob job;
    if (const int code = context.findJob(table, args.positional()[0], &job))
        return code;
    if (!args.has(QStringLiteral("yes"))) {
        if (!stdinIsTerminal())
            throw UsageError(QStringLiteral("削除するには --yes を指定してください。"));
        err(QStringLiteral("バックアップ設定「%1」を削除します。よろしいですか？ [y/N] ")
                .arg(job.name));
        if (!answeredYes())
            return Failure;
    }
    if (const int code = context.refuseWhileInProgress(table))
        return code;
    QString error;
    const shared::JobFileResult result =
        shared::deleteJobInFile(table, context.jobTablePath(), job.number, job.name, &error);
    return report(result, error, job.name);
}

} // namespace norvex::ctl
