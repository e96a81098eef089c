#include "shared/ListStatus.h"

#include "shared/Exception.h"
#include "shared/JobTable.h"
#include "shared/RunStatus.h"
#include "shared/mlb2.h"

#include <QLocale>

namespace norvex::shared {

namespace {

QString count(qint64 n)
{
    // Digits grouped by commas, as the service's sizes are.
    return QLocale(QLocale::English).toString(n);
}

int share(qint64 done, qint64 total)
{
    if (total <= 0)
        return 0;
    return int(std::clamp<qint64>(done * 1000 / total, 0, 1000));
}

// "圧縮中 1,234/5,000 ファイル", "転送中 45%".
QString stageText(const RunProgress &p, int progress)
{
    const QString stage = runStageText(p.stage);
    if (p.stage != RunStage::Compressing)
        return stage + QStringLiteral(" %1%").arg(progress / 10);
    if (p.filesTotal < 0)
        return stage + QStringLiteral(" %1 ファイル").arg(count(p.filesDone));
    return stage + QStringLiteral(" %1/%2 ファイル").arg(count(p.filesDone), count(p.filesTotal));
}

QString retryTime(const QDateTime &at, const QDateTime &now)
{
    return at.toString(at.date() == now.date() ? QStringLiteral("HH:mm")
                                               : QStringLiteral("MM/dd HH:mm"));
}

} // namespace

StatusCells statusCells(const JobStatus *status, bool live, int interval, QChar unit,
                        const QDateTime &now)
{
    StatusCells cells;
    if (!status)
        return cells;
    if (status->lastSuccess.isValid())
        cells.lastSuccess = formatDateTime(status->lastSuccess);
    QStringList tips;
    if (status->running && live) {
        const RunProgress &p = *status->running;
        // Bytes follow the work better than files when the walk has counted them.
        if (p.stage != RunStage::Compressing)
            cells.progress = share(p.archiveDone, p.archiveSize);
        else if (p.bytesTotal > 0)
            cells.progress = share(p.bytesDone, p.bytesTotal);
        else
            cells.progress = share(p.filesDone, p.filesTotal);
        cells.result = QStringLiteral("実行中 ") + stageText(p, cells.progress);
        if (p.attempt > 0)
            tips << QStringLiteral("再試行 %1回目").arg(p.attempt);
        cells.toolTip = tips.join(QLatin1Char('\n'));
        return cells;
    }
    if (status->lastResult != RunResult::Unknown)
        cells.result =
            runResultText(status->lastResult) + QLatin1Char(' ') + formatDateTime(status->lastEnd);
    if (status->lastFailed()) {
        cells.warning = QStringLiteral("前回のバックアップは失敗しました。");
        if (!status->lastError.isEmpty())
            tips << status->lastError;
    }
    if (isStale(*status, interval, unit, now)) {
        const QString stale = status->lastSuccess.isValid()
                                  ? QStringLiteral("最後の成功から2回分の間隔を過ぎました。")
                                  : QStringLiteral("成功したバックアップがないまま2回分の間隔を"
                                                   "過ぎました。");
        cells.warning = cells.warning.isEmpty() ? stale : cells.warning + QLatin1Char(' ') + stale;
        tips << stale;
        if (cells.result.isEmpty())
            cells.result = QStringLiteral("未実行");
    }
    if (status->retryAttempt > 0 && status->retryAt.isValid())
        tips << QStringLiteral("再試行待ち %1（%2回目）")
                    .arg(retryTime(status->retryAt, now))
                    .arg(status->retryAttempt);
    cells.toolTip = tips.join(QLatin1Char('\n'));
    return cells;
}

} // namespace norvex::shared
