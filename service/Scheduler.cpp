#include "service/Scheduler.h"

#include "shared/EventLog.h"
#include "shared/Exception.h"
#include "shared/JobTable.h"

namespace norvex::service {

namespace {

const QString kBackupName = QStringLiteral("backupname");
const QString kBackupDt = QStringLiteral("backupdt");
const QString kBackupInt = QStringLiteral("backupint");
const QString kBackupTani = QStringLiteral("backuptani");

// Beyond this a grid point leaves the calendar QDateTime can hold.
constexpr int kMaxInterval = 99999;

} // namespace

void setupJobTable(shared::TMlb2 &table)
{
    table.SetSeparator(QLatin1Char(','));
    table.SetQuoteChar(QLatin1Char('"'));
}

Scheduler::Scheduler(QString installFolder, const shared::Clock &clock, Launcher launcher)
    : m_installFolder(std::move(installFolder)), m_clock(clock), m_launcher(std::move(launcher))
{
    service::setupJobTable(m_table);
}

Scheduler::~Scheduler() = default;

QString Scheduler::scheduleProblem(const shared::TMlb2 &table)
{
    const QString dt = table.FieldByName(kBackupDt);
    try {
        shared::readDateTime(dt);
    } catch (const shared::Exception &) {
        return QStringLiteral("次回バックアップ日時 backupdt 「%1」 を日時として読めません。")
            .arg(dt);
    }
    const QString count = table.FieldByName(kBackupInt);
    int n = 0;
    try {
        n = shared::readInteger(kBackupInt, count);
    } catch (const shared::Exception &) {
        n = 0;
    }
    if (n < 1 || n > kMaxInterval)
        return QStringLiteral(
                   "バックアップ間隔 backupint 「%1」 は 1 から %2 の整数でなければなりません。")
            .arg(count)
            .arg(kMaxInterval);
    const QString unit = table.FieldByName(kBackupTani);
    if (unit != QLatin1String("h") && unit != QLatin1String("d"))
        return QStringLiteral(
                   "バックアップ間隔の単位 backuptani 「%1」 は h または d でなければなりません。")
            .arg(unit);
    return QString();
}

void Scheduler::load()
{
    std::lock_guard guard(m_lock);
    if (!loadLocked()) {
        // Start-up with no readable file: no jobs; later ticks try again.
        m_table.ClearTable();
        rebuildRowCopies();
    }
}

bool Scheduler::loadLocked()
{
    if (!m_table.LoadFromFile(shared::jobTablePath(m_installFolder)))
        return false;
    ++m_loads;
    rebuildRowCopies();
    return true;
}

void Scheduler::rebuildRowCopies()
{
    const int count = m_table.RecordCount();
    // Loads happen only while no run is in progress, so every slot is empty here.
    m_slots.assign(count, nullptr);
    m_rows.resize(count);
    m_reported.resize(count);
    m_table.First();
    for (int i = 0; !m_table.Eof() && i < count; ++i) {
        auto &copy = m_rows[i];
        if (!copy)
            copy = std::make_unique<shared::TMlb2>();
        copy->ClearTable();
        service::setupJobTable(*copy);
        copy->AppendRecord();
        for (int j = 1; j <= m_table.FieldCount(); ++j) {
            copy->AddField(m_table.FieldName(j));
            copy->SetFieldByIndex(j, m_table.FieldByIndex(j));
        }
        m_table.Next();
    }
}

void Scheduler::reportBadRow(int jobIndex, const QString &name, const QString &problem)
{
    QString &last = m_reported[jobIndex];
    const QString text =
        name + QStringLiteral(" バックアップ設定に誤りがあるため処理を開始できません。\t") +
        problem;
    if (last == text)
        return;
    last = text;
    shared::WriteLog(m_installFolder, shared::LogError, text, QDateTime::currentDateTime());
}

void Scheduler::tick()
{
    const QDateTime now = m_clock.now();
    std::lock_guard guard(m_lock);

    bool due = false;
    m_table.First();
    for (int i = 0; !m_table.Eof() && i < int(m_slots.size()); ++i, m_table.Next()) {
        const QString problem = scheduleProblem(m_table);
        if (!problem.isEmpty()) {
            // Never started and never counted as due: a due bad row would block the
            // reload that brings its correction.
            reportBadRow(i, m_table.FieldByName(kBackupName), problem);
            continue;
        }
        m_reported[i].clear();
        if (shared::readDateTime(m_table.FieldByName(kBackupDt)) < now) {
            due = true;
            if (!m_slots[i])
                m_slots[i] = m_launcher(i);
        }
    }
    if (due)
        return;
    for (QObject *slot : m_slots)
        if (slot)
            return; // a run that has rescheduled but not yet ended still reads its row copy
    loadLocked();
}

QDateTime Scheduler::reschedule(int jobIndex)
{
    const QDateTime now = m_clock.now();
    std::lock_guard guard(m_lock);
    shared::TMlb2 &row = *m_rows.at(jobIndex);

    const int n = shared::readInteger(kBackupInt, row.FieldByName(kBackupInt));
    const QString unit = row.FieldByName(kBackupTani);
    const QDateTime t = shared::readDateTime(row.FieldByName(kBackupDt));
    const QDateTime next = shared::nextRunTime(t, n, unit.size() == 1 ? unit.at(0) : QChar(), now);
    const QString text = shared::formatDateTime(next);

    row.SetFieldByName(kBackupDt, text);
    if (m_table.GoToRecord(jobIndex + 1))
        m_table.SetFieldByName(kBackupDt, text);

    // Whatever the configuration program saved meanwhile stays: only this job's backupdt
    // changes in the file as it is now.
    const QString path = shared::jobTablePath(m_installFolder);
    shared::TMlb2 file;
    service::setupJobTable(file);
    if (file.LoadFromFile(path) && file.GoToRecord(jobIndex + 1) &&
        file.FieldByName(kBackupName) == row.FieldByName(kBackupName) &&
        file.SetFieldByName(kBackupDt, text) && !file.SaveToFile(path))
        throw shared::Exception(QStringLiteral("ジョブ一覧 %1 を保存できませんでした。").arg(path));
    return next;
}

void Scheduler::endRun(int jobIndex)
{
    std::lock_guard guard(m_lock);
    if (jobIndex >= 0 && jobIndex < int(m_slots.size()))
        m_slots[jobIndex] = nullptr;
}

const shared::TMlb2 &Scheduler::jobRow(int jobIndex) const
{
    std::lock_guard guard(m_lock);
    return *m_rows.at(jobIndex);
}

int Scheduler::jobCount() const
{
    std::lock_guard guard(m_lock);
    return int(m_slots.size());
}

bool Scheduler::isRunning(int jobIndex) const
{
    std::lock_guard guard(m_lock);
    return jobIndex >= 0 && jobIndex < int(m_slots.size()) && m_slots[jobIndex];
}

bool Scheduler::anyRunning() const
{
    std::lock_guard guard(m_lock);
    for (QObject *slot : m_slots)
        if (slot)
            return true;
    return false;
}

int Scheduler::loadCount() const
{
    std::lock_guard guard(m_lock);
    return m_loads;
}

} // namespace norvex::service
