#pragma once

#include <QDateTime>
#include <QString>

#include <functional>

namespace norvex::shared {

class TMlb2;
class TSrvCtrl;
struct RunStatusRecord;

// The backup service's key name.
inline constexpr char ServiceKeyName[] = "Norvex";

// Sets the client up as the main window uses it: query status, start and stop rights,
// this computer, 20 s time-out, no waiting in start and stop.
void setUpSrvCtrl(TSrvCtrl &srvCtrl);

// Service state query: connect, open "Norvex", query, disconnect (also when a step
// raised ESrvCtrlException, which then reaches the caller). The state number.
int serviceStateQuery(TSrvCtrl &srvCtrl);

// Service command: connect, open "Norvex", stop for "STOP" and start for anything else,
// disconnect (also on error).
void serviceCommand(TSrvCtrl &srvCtrl, const QString &command);

// The service's part of the backup-in-progress rule, for the job list, the editor and the
// command line alike. `queryState` is one state query (raises ESrvCtrlException). A service
// that is not installed runs nothing. Any other failed query leaves the state unknown, which
// counts as running so that no write crosses a run; the failure's text is then put in
// `failure` (emptied otherwise) for the caller to show.
bool serviceCountsAsRunning(const std::function<int()> &queryState, QString *failure);

// Whether the record says that a run is in progress in a live service: a retry run, whose
// next run time lies ahead, counts too.
bool recordShowsRunInProgress(const RunStatusRecord &record);

// The rest of the rule, as far as the files tell (the service's state decides the rest): a
// job's next run time has passed, or the record shows a run in progress. A next run time
// that is no date and time counts as not passed: the service cannot schedule such a job
// either. Moves the table's cursor.
bool filesShowRunInProgress(TMlb2 &table, const RunStatusRecord &record, const QDateTime &now);

// What a change of the jobs is refused with while a backup is in progress.
QString backupInProgressText();
// What run now is refused with while no service runs.
QString serviceNotStartedText();

} // namespace norvex::shared
