#pragma once

#include <QString>

namespace norvex::config {

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

} // namespace norvex::config
