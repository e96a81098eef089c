// generations and restore: the window's restore dialog from a shell, through the same calls.
#include "ctl/Ctl.h"
#include "ctl/JobOptions.h"
#include "platform/Paths.h"
#include "restore/Generations.h"
#include "restore/Restore.h"
#include "shared/Exception.h"
#include "shared/IniFileCompo.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <atomic>
#include <csignal>

namespace norvex::ctl {

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void onInterrupt(int)
{
    g_interrupted = true;
}

// The job's row as the restore reads it; prints why and returns the exit code when it
// cannot be read.
int locate(const Context &context, const QString &name, restore::JobLocation *job)
{
    shared::TMlb2 table;
    FoundJob found;
    if (const int code = context.findJob(table, name, &found); code != Success)
        return code;
    table.GoToRecord(found.number);
    try {
        *job = restore::JobLocation::fromJobRow(table, context.installFolder());
    } catch (const shared::Exception &e) {
        err(e.message() + QLatin1Char('\n'));
        return Failure;
    }
    return Success;
}

int listed(const restore::JobLocation &job, QList<restore::Generation> *generations)
{
    QString error;
    if (!restore::listGenerations(job, *generations, error)) {
        err(error + QLatin1Char('\n'));
        return Failure;
    }
    if (generations->isEmpty()) {
        err(QStringLiteral("バックアップ先に復元できるアーカイブがありません。\n"));
        return Failure;
    }
    return Success;
}

QString generationText(const restore::Generation &g)
{
    return g.number > 0 ? QString::number(g.number) : QStringLiteral("-");
}

QString temporaryFolder(const Context &context)
{
    shared::TIniFileCompo ini;
    ini.SetAutoUpdate(false);
    ini.SetDefaultFolder(shared::TIniFileCompo::dfUser);
    ini.SetFileName(context.installFolder() + QStringLiteral("Norvex.ini"));
    const QString folder = ini.ReadValue(QStringLiteral("Option"), QStringLiteral("TmpFolder"), {});
    return folder.isEmpty() ? platform::defaultTempFolder() : folder;
}

void showProgress(const QString &line)
{
    static QString shown;
    if (line != shown)
        out(QStringLiteral("\r\033[K") + line);
    shown = line;
}

} // namespace

int generationsCommand(const Context &context, const QStringList &words)
{
    const Arguments args(words, {QStringLiteral("json")}, {});
    args.expectPositional(1, 1, QStringLiteral("バックアップ名"));
    restore::JobLocation job;
    if (const int code = locate(context, args.positional()[0], &job); code != Success)
        return code;
    QList<restore::Generation> generations;
    if (const int code = listed(job, &generations); code != Success)
        return code;
    const QString timeFormat = QStringLiteral("yyyy/MM/dd HH:mm:ss");
    if (args.has(QStringLiteral("json"))) {
        QJsonArray array;
        for (const restore::Generation &g : generations)
            array.append(
                QJsonObject{{QStringLiteral("generation"), g.number},
                            {QStringLiteral("file"), g.fileName},
                            {QStringLiteral("size"), double(g.size)},
                            {QStringLiteral("modified"), g.modified.toString(timeFormat)}});
        out(QString::fromUtf8(QJsonDocument(array).toJson()));
        return Success;
    }
    out(QStringLiteral("世代  日時                 サイズ      ファイル\n"));
    for (const restore::Generation &g : generations)
        out(QStringLiteral("%1  %2  %3  %4\n")
                .arg(generationText(g), -4)
                .arg(g.modified.toString(timeFormat), -19)
                .arg(restore::sizeText(quint64(g.size)), 10)
                .arg(g.fileName));
    return Success;
}

int restoreCommand(const Context &context, const QStringList &words)
{
    const Arguments args(
        words, {QStringLiteral("overwrite")},
        {QStringLiteral("generation"), QStringLiteral("to"), QStringLiteral("password-file")});
    args.expectPositional(1, -1, QStringLiteral("バックアップ名"));
    restore::JobLocation job;
    if (const int code = locate(context, args.positional()[0], &job); code != Success)
        return code;
    QString password = job.archivePassword;
    if (args.has(QStringLiteral("password-file")))
        password = readSecret(QStringLiteral("password-file"),
                              args.value(QStringLiteral("password-file")));
    int wanted = -1;
    if (args.has(QStringLiteral("generation")))
        wanted = integerOption(args, QStringLiteral("generation"), 0, 7);

    QList<restore::Generation> generations;
    if (const int code = listed(job, &generations); code != Success)
        return code;
    const restore::Generation *chosen = &generations.first();
    if (wanted >= 0) {
        chosen = nullptr;
        for (const restore::Generation &g : generations)
            if (g.number == wanted)
                chosen = &g;
        if (!chosen) {
            err(QStringLiteral("世代 %1 はバックアップ先にありません。\n").arg(wanted));
            return Failure;
        }
    }

    g_interrupted = false;
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    const bool terminal = stdoutIsTerminal();
    QString error;
    const std::unique_ptr<restore::FetchedArchive> fetched = restore::fetchGeneration(
        job, *chosen, temporaryFolder(context), error, [terminal](qint64 done, qint64 total) {
            if (terminal)
                showProgress(
                    QStringLiteral("ダウンロード %1 / %2")
                        .arg(restore::sizeText(quint64(done)), restore::sizeText(quint64(total))));
            return !g_interrupted.load();
        });
    if (terminal)
        out(QStringLiteral("\r\033[K"));
    if (!fetched) {
        err(error + QLatin1Char('\n'));
        return Failure;
    }
    restore::RestoreArchive archive;
    if (!archive.open(fetched->path(), restore::kindOf(chosen->fileName), password)) {
        err(archive.errorText() + QLatin1Char('\n'));
        return Failure;
    }

    restore::RestoreOptions options;
    options.overwrite = args.has(QStringLiteral("overwrite"));
    options.target =
        args.has(QStringLiteral("to"))
            ? QDir::cleanPath(QDir::current().absoluteFilePath(args.value(QStringLiteral("to"))))
            : restore::defaultTarget(QDir::homePath(), job.name, QDateTime::currentDateTime());
    for (const QString &path : args.positional().mid(1)) {
        QByteArray name = QFile::encodeName(QDir::cleanPath(path));
        while (name.startsWith('/'))
            name.remove(0, 1);
        const auto &items = archive.items();
        const bool present = std::any_of(items.begin(), items.end(), [&](const auto &item) {
            return item.path == name || item.path.startsWith(name + '/');
        });
        if (!present)
            throw UsageError(QStringLiteral("アーカイブに「%1」はありません。").arg(path));
        options.paths << name;
    }

    out(QStringLiteral("%1 (%2) を %3 に復元します。\n")
            .arg(chosen->fileName, chosen->modified.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")),
                 options.target));
    const restore::RestoreSummary summary = archive.restore(
        options,
        [terminal](const restore::RestoreProgress &progress) {
            if (terminal)
                showProgress(QStringLiteral("%1 / %2  %3")
                                 .arg(restore::sizeText(progress.bytesDone),
                                      restore::sizeText(progress.bytesTotal),
                                      restore::displayPath(progress.currentFile)));
            return true;
        },
        &g_interrupted);
    if (terminal)
        out(QStringLiteral("\r\033[K"));
    const QString text = restore::summaryLines(summary).join(QLatin1Char('\n')) + QLatin1Char('\n');
    if (summary.succeeded()) {
        out(text);
        return Success;
    }
    err(text);
    return Failure;
}

} // namespace norvex::ctl
