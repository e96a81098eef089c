// run and check.
#include "ctl/Ctl.h"

#include "shared/Clock.h"
#include "shared/Exception.h"
#include "shared/JobRules.h"
#include "shared/JobTable.h"
#include "shared/ListStatus.h"
#include "shared/RunStatus.h"
#include "shared/ServiceCommands.h"
#include "transfer/ConnectionCheck.h"
#include "transfer/FtpCli.h"
#include "transfer/SshKey.h"
#include "transfer/SshSFtp.h"

#include <QThread>

namespace norvex::ctl {

namespace {

// Polls the run status record until the job's run that started at or after `requested` has
// ended. Its result decides the exit code; a service that stops meanwhile fails the wait.
int waitForRun(const Context &context, const FoundJob &job, const QDateTime &requested)
{
    const bool terminal = stdoutIsTerminal();
    QString shown;
    // The record's times have whole seconds.
    const QDateTime since = requested.addMSecs(-requested.time().msec());
    int stoppedPolls = 0;
    for (;;) {
        const shared::RunStatusRecord record = shared::readRunStatus(context.installFolder());
        const shared::JobStatus *status = shared::findJobStatus(record, job.number, job.name);
        if (status && status->lastStart.isValid() && status->lastStart >= since &&
            !status->running && status->lastEnd >= status->lastStart) {
            if (terminal && !shown.isEmpty())
                out(QStringLiteral("\n"));
            const QString result = shared::runResultText(status->lastResult) + QLatin1Char(' ') +
                                   shared::formatDateTime(status->lastEnd);
            if (status->lastResult == shared::RunResult::Success) {
                out(result + QLatin1Char('\n'));
                return Success;
            }
            err(result + QLatin1Char('\n') + status->lastError + QLatin1Char('\n'));
            return Failure;
        }
        if (terminal && status && status->running) {
            // The interval only feeds the stale alarm, which a run in progress never shows.
            const QString line =
                shared::statusCells(status, true, 1, QLatin1Char('d'), shared::SystemClock().now())
                    .result;
            if (line != shown)
                out(QStringLiteral("\r\033[K") + line);
            shown = line;
        }
        QString failure;
        // For five seconds in a row: a service its manager restarts is no failure.
        stoppedPolls = context.serviceServes(&failure) ? 0 : stoppedPolls + 1;
        if (stoppedPolls >= 10) {
            err(QStringLiteral(
                "\nバックアップサービスが停止したため、実行の終了を確認できません。\n"));
            return Failure;
        }
        QThread::msleep(500);
    }
}

// A question about a server key or certificate, answered on the terminal. Without one no
// key is trusted: a script must not say yes to a server it has not seen.
bool askOnTerminal(const QString &text, bool)
{
    err(text + QLatin1Char('\n'));
    if (!stdinIsTerminal()) {
        err(QStringLiteral("端末がないため確認できません。信頼しないものとして扱います。\n"));
        return false;
    }
    err(QStringLiteral("[y/N] "));
    return answeredYes();
}

} // namespace

int runCommand(const Context &context, const QStringList &words)
{
    const Arguments args(words, {QStringLiteral("wait")}, {});
    args.expectPositional(1, 1, QStringLiteral("バックアップ名"));
    shared::TMlb2 table;
    FoundJob job;
    if (const int code = context.findJob(table, args.positional()[0], &job))
        return code;
    QString failure;
    if (!context.serviceServes(&failure)) {
        err((failure.isEmpty() ? shared::serviceNotStartedText() : failure) + QLatin1Char('\n'));
        return Failure;
    }
    if (const int code = context.refuseWhileInProgress(table))
        return code;
    const QDateTime now = shared::SystemClock().now();
    QString error;
    shared::JobFileResult result;
    try {
        // Computed from the job as the file holds it now: the service may have moved it.
        result = shared::changeJobInFile(
            table, context.jobTablePath(), job.number, job.name,
            [&now](shared::TMlb2 &record) { shared::moveToRunNow(record, now); }, &error);
    } catch (const shared::Exception &e) {
        err(QStringLiteral("次回バックアップ時間を計算できませんでした。\n") + e.message() +
            QLatin1Char('\n'));
        return Failure;
    }
    if (result == shared::JobFileResult::NotFound) {
        err(QStringLiteral("選択したバックアップ設定は、すでに変更または削除されています。\n"));
        return Failure;
    }
    if (result != shared::JobFileResult::Saved) {
        err(QStringLiteral("バックアップ設定ファイルを保存できませんでした。\n") + error +
            QLatin1Char('\n'));
        return Failure;
    }
    if (!args.has(QStringLiteral("wait")))
        return Success;
    return waitForRun(context, job, now);
}

int checkCommand(const Context &context, const QStringList &words)
{
    const Arguments args(words, {}, {});
    args.expectPositional(1, 1, QStringLiteral("バックアップ名"));
    shared::TMlb2 table;
    FoundJob job;
    shared::JobInput input;
    if (const int code = context.findJob(table, args.positional()[0], &job, &input))
        return code;
    if (input.kind != QLatin1String("SFTP") && input.kind != QLatin1String("FTP")) {
        err(QStringLiteral("接続チェックは SFTP と FTP のバックアップ先だけにあります。\n"));
        return Failure;
    }
    QString error;
    error = transfer::connectionInputMissing(input.host, input.user, input.password);
    if (error.isEmpty() && input.kind == QLatin1String("SFTP")) {
        transfer::TSshSFtp sftp;
        transfer::TSshKey key;
        error = transfer::checkSftpLogin(sftp, key, context.installFolder(), input.host, input.port,
                                         input.user, input.password, input.keyFile, askOnTerminal);
    } else if (error.isEmpty()) {
        transfer::TFtpClient ftp;
        error = transfer::checkFtpLogin(ftp, context.installFolder(), input.host, input.port,
                                        input.user, input.password, input.ftpMode,
                                        input.ftpSecurity, askOnTerminal);
    }
    if (!error.isEmpty()) {
        err(error + QLatin1Char('\n'));
        return Failure;
    }
    out(transfer::connectionSuccessText() + QLatin1Char('\n'));
    return Success;
}

} // namespace norvex::ctl
