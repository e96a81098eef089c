#pragma once

#include <QString>

namespace norvex::config {

class Program;
class TSrvCtrl;

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

// The service's part of the backup-in-progress rule, for the job list and the editor alike.
// A service that is not installed runs nothing. Any other failed query leaves the state
// unknown, which counts as running so that no write crosses a run; the failure's text is
// then put in `failure` (emptied otherwise) for the caller to show.
bool serviceCountsAsRunning(Program &program, QString *failure);

} // namespace norvex::config
