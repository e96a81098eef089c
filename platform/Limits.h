#pragma once

namespace norvex::platform {

// Raises the soft limit on open files to the hard limit (a service manager often starts
// services with a soft limit of 1024). Returns 0 or the errno of the failure.
int raiseOpenFileLimit();

} // namespace norvex::platform
