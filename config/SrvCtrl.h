#pragma once

// The service control client lives in shared/, where the command line reaches it too; the
// window's code and tests name it from here.
#include "shared/SrvCtrl.h"

namespace norvex::config {

using shared::ESrvCtrlException;
using shared::TSrvAccessType;
using shared::TSrvAccessTypes;
using shared::TSrvCtrl;
using enum shared::TSrvAccessType;

} // namespace norvex::config
