#include "service/RunOutcome.h"

#include "shared/JobTable.h"

namespace norvex::service {

RunEndNews recordRunEnd(shared::JobStatus &status, const RunEnd &end)
{
    RunEndNews news;
    news.failuresBefore = status.failuresSinceSuccess;
    news.previousSuccess = status.lastSuccess;
    status.lastStart = end.started;
    status.lastEnd = end.ended;
    status.lastResult = end.result;
    status.archiveSize = end.archiveSize;
    status.running.reset();
    if (end.result == shared::RunResult::Success) {
        news.recovered = status.failuresSinceSuccess > 0 || status.staleAlarmed;
        status.lastError.clear();
        status.lastSuccess = end.ended;
        status.failuresSinceSuccess = 0;
        status.staleAlarmed = false;
        status.retryAttempt = 0;
        status.retryAt = {};
    } else {
        status.lastError = end.error;
        news.firstFailure = ++status.failuresSinceSuccess == 1;
    }
    return news;
}

bool planRetry(shared::JobStatus &status, int attempt, int retryCount, const QDateTime &ended,
               const QDateTime &nextGrid)
{
    const int next = attempt + 1;
    const QDateTime at = ended.addSecs(qint64(shared::retryDelayMinutes(next)) * 60);
    if (next > retryCount || !nextGrid.isValid() || at >= nextGrid) {
        status.retryAttempt = 0;
        status.retryAt = {};
        return false;
    }
    status.retryAttempt = next;
    status.retryAt = at;
    return true;
}

int retryDue(const shared::JobStatus &status, const QDateTime &now)
{
    return status.retryAttempt > 0 && status.retryAt.isValid() && status.retryAt <= now
               ? status.retryAttempt
               : 0;
}

bool raiseStaleAlarm(shared::JobStatus &status, int interval, QChar unit, const QDateTime &now)
{
    if (status.staleAlarmed || !shared::isStale(status, interval, unit, now))
        return false;
    status.staleAlarmed = true;
    return true;
}

QString retryStartDetail(int attempt, int retryCount)
{
    // A plan made before RetryCount was lowered still runs; it never reads "3/2".
    return QStringLiteral("\t再試行 %1/%2 回目").arg(attempt).arg(qMax(attempt, retryCount));
}

QString retryPlannedEntry(const QString &name, const shared::JobStatus &status, int retryCount)
{
    return name + QStringLiteral(" バックアップ処理を再試行します。\t再試行 %1/%2 回目は %3 です。")
                      .arg(status.retryAttempt)
                      .arg(retryCount)
                      .arg(shared::formatDateTime(status.retryAt));
}

namespace {

QString lastSuccessText(const QDateTime &when)
{
    return QStringLiteral("前回のバックアップ成功 ") +
           (when.isValid() ? shared::formatDateTime(when) : QStringLiteral("なし"));
}

} // namespace

QString recoveredEntry(const QString &name, const RunEndNews &news)
{
    return name + QStringLiteral(" バックアップが再び成功しました。\t") +
           lastSuccessText(news.previousSuccess) +
           QStringLiteral(" 以降の失敗 %1 回").arg(news.failuresBefore);
}

QString staleEntry(const QString &name, const shared::JobStatus &status)
{
    const QString head =
        name + QStringLiteral(" 前回のバックアップ成功から2回分の間隔を過ぎました。\t");
    if (status.lastSuccess.isValid())
        return head + lastSuccessText(status.lastSuccess);
    return head + QStringLiteral("登録 %1 以降、バックアップは一度も成功していません。")
                      .arg(shared::formatDateTime(status.firstSeen));
}

} // namespace norvex::service
