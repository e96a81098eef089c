#include "service/BackUpThread.h"

#include "service/RunOutcome.h"
#include "service/Scheduler.h"
#include "shared/EventLog.h"
#include "shared/Exception.h"
#include "shared/JobTable.h"
#include "shared/mlb2.h"

#include <QTime>
#include <QTimer>

namespace norvex::service {

namespace {

// The rotation loop renames every generation once per run; beyond this a typo in a
// hand-edited table would cost minutes of renames.
constexpr int kMaxGenerations = 99;

} // namespace

QString errorDetail(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const shared::Exception &e) {
        return e.className() + QStringLiteral(" : ") + e.message();
    } catch (const std::exception &e) {
        return QStringLiteral("Exception : ") + QString::fromLocal8Bit(e.what());
    } catch (...) {
        return QStringLiteral("Exception : 不明なエラーが発生しました。");
    }
}

QString formatDuration(qint64 msecs)
{
    constexpr qint64 day = 24 * 60 * 60 * 1000;
    msecs = msecs < 0 ? 0 : msecs % day;
    return QTime(0, 0).addMSecs(int(msecs)).toString(QStringLiteral("hh:mm:ss"));
}

namespace {

QString grouped(qint64 number)
{
    QString digits = QString::number(number);
    for (qsizetype i = digits.size() - 3; i > 0; i -= 3)
        digits.insert(i, QLatin1Char(','));
    return digits;
}

} // namespace

QString formatKilobytes(qint64 bytes)
{
    const qint64 kb = bytes < 0 ? 0 : bytes / 1000;
    return (kb == 0 ? QString() : grouped(kb)) + QStringLiteral(" KB");
}

QString formatExcluded(const shared::ExcludeCounts &counts)
{
    return QStringLiteral("除外 ファイル %1 件 フォルダ %2 件")
        .arg(grouped(counts.files), grouped(counts.folders));
}

TBackUpThread::TBackUpThread(RunSettings settings, int jobIndex, QObject *parent)
    : QThread(parent), m_settings(std::move(settings)), m_jobIndex(jobIndex)
{
}

TBackUpThread::~TBackUpThread()
{
    wait();
}

QString TBackUpThread::field(const char *name) const
{
    return m_settings.scheduler->jobRow(m_jobIndex).FieldByName(QLatin1String(name));
}

void TBackUpThread::log(int level, const QString &text) const
{
    shared::WriteLog(m_settings.scheduler->installFolder(), level, text,
                     QDateTime::currentDateTime());
}

void TBackUpThread::setStatus(const std::function<void(shared::JobStatus &)> &change,
                              RunStatusStore::Write write)
{
    if (m_settings.status)
        m_settings.status->update(key(), change, write);
}

void TBackUpThread::enterStage(shared::RunStage stage)
{
    setStatus(
        [this, stage](shared::JobStatus &s) {
            if (!s.running)
                s.running.emplace();
            s.running->stage = stage;
            s.running->archiveDone = 0;
            s.running->archiveSize = m_archiveSize;
        },
        RunStatusStore::Write::Now);
}

void TBackUpThread::archiveProgress(qint64 done)
{
    setStatus(
        [done](shared::JobStatus &s) {
            if (s.running)
                s.running->archiveDone = done;
        },
        RunStatusStore::Write::Throttled);
}

void TBackUpThread::run()
{
    // Nothing may escape the thread; every path below ends in endOfRun().
    try {
        m_name = field("backupname");
        QString started = m_name + QStringLiteral(" バックアップ処理を開始しました。");
        if (m_settings.attempt > 0)
            started += retryStartDetail(m_settings.attempt, m_settings.retryCount);
        log(shared::LogInformation, started);
        m_startTime = m_settings.clock->now();
        shared::RunProgress progress;
        progress.started = m_startTime;
        progress.attempt = m_settings.attempt;
        setStatus([&progress](shared::JobStatus &s) { s.running = progress; },
                  RunStatusStore::Write::Now);
    } catch (...) {
    }
    bool ok = false;
    try {
        ok = CreateArc() && verifyArchive();
    } catch (...) {
        ok = false;
    }
    if (!ok) {
        log(shared::LogError, m_name + QStringLiteral(" バックアップ処理は異常終了しました。"));
        endOfRun(shared::RunResult::ArchiveFailed);
        return;
    }
    QTimer transferTimer; // lives in this thread, so its event runs here
    transferTimer.setSingleShot(true);
    transferTimer.setInterval(m_settings.handOverMs);
    connect(&transferTimer, &QTimer::timeout, &transferTimer, [this] {
        BackUpTimerTimer();
        quit();
    });
    transferTimer.start();
    exec();
}

void TBackUpThread::BackUpTimerTimer()
{
    endOfRun(transfer() ? shared::RunResult::Success : shared::RunResult::TransferFailed);
}

bool TBackUpThread::transfer()
{
    const QDateTime t0 = m_settings.clock->now();
    try {
        const QString to = field("tobackup");
        if (to == QLatin1String("SFTP") || to == QLatin1String("FTP"))
            log(shared::LogInformation,
                m_name + QStringLiteral(" リモートコピー処理を開始しました。\tバックアップ先 ") +
                    to + QStringLiteral("サーバ ") + field("hostname"));
        else
            log(shared::LogInformation,
                m_name +
                    QStringLiteral(
                        " ローカルコピー処理を開始しました。\tバックアップ先 ローカルフォルダ ") +
                    field("localbackupdir"));

        const DestinationStep step = m_settings.steps.value(to);
        if (!step)
            throw shared::Exception(
                QStringLiteral("バックアップ先 tobackup 「%1」 は SFTP、FTP、Local "
                               "のいずれでもないため、転送できません。")
                    .arg(to));

        int generations = 0;
        if (shared::isOn(field("op3"))) {
            const QString text = field("op3val");
            generations = shared::readInteger(QStringLiteral("op3val"), text);
            if (generations < 1 || generations > kMaxGenerations)
                throw shared::Exception(
                    QStringLiteral(
                        "世代管理数 op3val 「%1」 は 1 から %2 の整数でなければなりません。")
                        .arg(text)
                        .arg(kMaxGenerations));
        }
        enterStage(shared::RunStage::Transferring);
        const TransferContext ctx{m_settings.scheduler->jobRow(m_jobIndex),
                                  m_jobIndex,
                                  m_archivePath,
                                  m_archiveFileName,
                                  m_settings.scheduler->installFolder(),
                                  shared::isOn(field("op1")),
                                  field("op1val"),
                                  generations,
                                  [this](qint64 bytesStored) { archiveProgress(bytesStored); }};
        step(ctx);

        log(shared::LogInformation,
            m_name +
                QStringLiteral(" リモートコピー処理を終了しました。\tリモートコピー処理時間 ") +
                formatDuration(t0.msecsTo(m_settings.clock->now())));
        return true;
    } catch (...) {
        m_failure = errorDetail(std::current_exception());
        m_failureEntry =
            m_name + QStringLiteral(" リモートコピー処理中にエラーが発生しました。\t") + m_failure;
        log(shared::LogError, m_failureEntry);
        return false;
    }
}

void TBackUpThread::endOfRun(shared::RunResult result)
{
    QString next;
    // A retry keeps the grid: it ends with the next run time the scheduled run stored.
    if (m_settings.attempt == 0) {
        try {
            next = shared::formatDateTime(m_settings.scheduler->reschedule(m_jobIndex));
        } catch (...) {
            log(shared::LogError,
                m_name + QStringLiteral(" 次回バックアップ日時を保存できませんでした。\t") +
                    errorDetail(std::current_exception()));
        }
    }
    QDateTime nextGrid;
    try {
        // After a failed save too: the row copy holds the time that stays in force.
        if (next.isEmpty())
            next = field("backupdt");
        nextGrid = shared::readDateTime(next);
    } catch (...) {
    }
    recordEnd(result, nextGrid);
    try {
        const qint64 total = m_startTime.msecsTo(m_settings.clock->now());
        msleep(500);
        log(shared::LogInformation,
            m_name + QStringLiteral(" バックアップ処理を終了しました。\tバックアップ処理時間 ") +
                formatDuration(total) + QStringLiteral("\r\n次回バックアップは ") + next +
                QStringLiteral(" です。"));
    } catch (...) {
    }
    // After the closing entry, so that each run's entries keep their order up to it.
    reportEnd();
    m_settings.scheduler->endRun(m_jobIndex);
}

void TBackUpThread::recordEnd(shared::RunResult result, const QDateTime &nextGrid)
{
    if (!m_settings.status)
        return;
    RunEnd end{result, m_failure, m_archiveSize, m_startTime, m_settings.clock->now()};
    if (result != shared::RunResult::Success && end.error.isEmpty())
        end.error = QStringLiteral("Exception : 不明なエラーが発生しました。");
    m_settings.status->update(
        key(),
        [&](shared::JobStatus &s) {
            m_news = recordRunEnd(s, end);
            if (result != shared::RunResult::Success &&
                planRetry(s, m_settings.attempt, m_settings.retryCount, end.ended, nextGrid))
                m_retryEntry = retryPlannedEntry(m_name, s, m_settings.retryCount);
        },
        RunStatusStore::Write::Durable);
    if (m_news.firstFailure && m_failureEntry.isEmpty())
        m_failureEntry = end.error;
}

void TBackUpThread::reportEnd()
{
    try {
        if (!m_retryEntry.isEmpty())
            log(shared::LogInformation, m_retryEntry);
        if (m_news.recovered) {
            const QString text = recoveredEntry(m_name, m_news);
            log(shared::LogInformation, text);
            if (m_settings.notifier)
                m_settings.notifier->notify(m_name, NotifyEvent::Recovered, text);
        }
        if (m_news.firstFailure && m_settings.notifier)
            m_settings.notifier->notify(m_name, NotifyEvent::Failed, m_failureEntry);
    } catch (...) {
    }
}

} // namespace norvex::service
