#include "config/ServiceCommands.h"

#include "config/Program.h"

namespace norvex::config {

bool serviceCountsAsRunning(Program &program, QString *failure)
{
    return shared::serviceCountsAsRunning([&program] { return program.queryServiceState(); },
                                          failure);
}

} // namespace norvex::config
