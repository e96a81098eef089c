#pragma once

#include <QString>

namespace norvex::platform {

// The installation folder with a trailing '/': NORVEX_HOME when set, else the folder of
// the running executable.
QString installFolder();

// Where archives are built when no "TmpFolder" is set: TEMP, else TMPDIR, else /tmp.
QString defaultTempFolder();

// The folder with one trailing '/' added when it has none.
QString withTrailingSlash(const QString &folder);

// The system's message text for an errno value.
QString systemErrorText(int errorCode);

} // namespace norvex::platform
