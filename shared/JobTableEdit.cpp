// The job rules both programs apply, and one job's change written to the job table file.
#include "shared/Exception.h"
#include "shared/JobTable.h"
#include "shared/mlb2.h"

namespace norvex::shared {

namespace {

const QString kBackupName = QStringLiteral("backupname");

// Beyond this a grid point leaves the calendar QDateTime can hold.
constexpr int kMaxInterval = 99999;

// Reads the file into `table`; false (and the reason) when it cannot be read.
bool reload(TMlb2 &table, const QString &path, QString *error)
{
    setupJobTable(table);
    if (table.LoadFromFile(path))
        return true;
    if (error)
        *error = table.LastError();
    return false;
}

JobFileResult save(const TMlb2 &table, const QString &path, QString *error)
{
    if (table.SaveToFile(path))
        return JobFileResult::Saved;
    if (error)
        *error = table.LastError();
    return JobFileResult::Unwritable;
}

// Goes to the job; false when the file no longer holds it at that position.
bool findJob(TMlb2 &table, const QString &path, int recordNumber, const QString &name,
             QString *error)
{
    if (table.GoToRecord(recordNumber) && table.FieldByName(kBackupName) == name)
        return true;
    if (error)
        *error = QStringLiteral("%1: the job %2 is no longer in row %3")
                     .arg(path, name)
                     .arg(recordNumber);
    return false;
}

// True when a record other than `self` has the current record's backupname.
bool nameTakenByAnother(const TMlb2 &table, int self, const QString &path, QString *error)
{
    const QString name = table.FieldByName(kBackupName);
    const int column = table.FieldPosition(kBackupName);
    for (int record = 1; record <= table.RecordCount(); ++record) {
        if (record != self && table.Cell(column, record) == name) {
            if (error)
                *error = QStringLiteral("%1: the job %2 in row %3 already has this name")
                             .arg(path, name)
                             .arg(record);
            return true;
        }
    }
    return false;
}

} // namespace

void setupJobTable(TMlb2 &table)
{
    table.SetSeparator(QLatin1Char(','));
    table.SetQuoteChar(QLatin1Char('"'));
}

bool isSafeJobName(const QString &name)
{
    for (QChar c : name)
        if (c == QLatin1Char('/') || c.unicode() < 0x20 || c.unicode() == 0x7f ||
            c.category() == QChar::Other_Control)
            return false;
    return true;
}

bool hasGenerationSuffix(const QString &name)
{
    const qsizetype n = name.size();
    return n >= 3 && name[n - 1] == QLatin1Char('-') && name[n - 3] == QLatin1Char('-') &&
           name[n - 2] >= QLatin1Char('0') && name[n - 2] <= QLatin1Char('9');
}

bool isOn(const QString &text)
{
    return readOnOff(text);
}

QString jobScheduleProblem(const TMlb2 &table)
{
    const QString dt = table.FieldByName(QStringLiteral("backupdt"));
    try {
        readDateTime(dt);
    } catch (const Exception &) {
        return QStringLiteral("次回バックアップ日時 backupdt 「%1」 を日時として読めません。")
            .arg(dt);
    }
    const QString count = table.FieldByName(QStringLiteral("backupint"));
    int n = 0;
    try {
        n = readInteger(QStringLiteral("backupint"), count);
    } catch (const Exception &) {
        n = 0;
    }
    if (n < 1 || n > kMaxInterval)
        return QStringLiteral(
                   "バックアップ間隔 backupint 「%1」 は 1 から %2 の整数でなければなりません。")
            .arg(count)
            .arg(kMaxInterval);
    const QString unit = table.FieldByName(QStringLiteral("backuptani"));
    if (unit != QLatin1String("h") && unit != QLatin1String("d"))
        return QStringLiteral(
                   "バックアップ間隔の単位 backuptani 「%1」 は h または d でなければなりません。")
            .arg(unit);
    return QString();
}

JobFileResult changeJobInFile(TMlb2 &table, const QString &path, int recordNumber,
                              const QString &name, const std::function<void(TMlb2 &)> &edit,
                              QString *error)
{
    if (!reload(table, path, error))
        return JobFileResult::Unreadable;
    if (!findJob(table, path, recordNumber, name, error))
        return JobFileResult::NotFound;
    edit(table);
    if (table.FieldByName(kBackupName) != name &&
        nameTakenByAnother(table, recordNumber, path, error)) {
        reload(table, path, nullptr); // back to the file as read
        return JobFileResult::Duplicate;
    }
    return save(table, path, error);
}

JobFileResult deleteJobInFile(TMlb2 &table, const QString &path, int recordNumber,
                              const QString &name, QString *error)
{
    if (!reload(table, path, error))
        return JobFileResult::Unreadable;
    if (!findJob(table, path, recordNumber, name, error))
        return JobFileResult::NotFound;
    table.DeleteRecord(recordNumber);
    return save(table, path, error);
}

JobFileResult appendJobToFile(TMlb2 &table, const QString &path,
                              const std::function<void(TMlb2 &)> &fill, QString *error)
{
    if (!reload(table, path, error))
        return JobFileResult::Unreadable;
    if (table.FieldCount() == 0)
        for (const QString &field : jobFieldNames())
            table.AddField(field);
    table.AppendRecord();
    fill(table);
    const int added = table.RecordCount();
    if (nameTakenByAnother(table, added, path, error)) {
        table.DeleteRecord(added);
        return JobFileResult::Duplicate;
    }
    return save(table, path, error);
}

} // namespace norvex::shared
