#pragma once

#include "shared/ServiceCommands.h"

#include <QString>

namespace norvex::config {

class Program;

using shared::serviceCommand;
using shared::ServiceKeyName;
using shared::serviceStateQuery;
using shared::setUpSrvCtrl;

// The service's part of the backup-in-progress rule with the program's state query.
bool serviceCountsAsRunning(Program &program, QString *failure);

} // namespace norvex::config
