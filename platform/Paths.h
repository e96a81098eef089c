#pragma once

#include <QString>

namespace norvex::platform {

// What the installation folder depends on.
struct InstallContext
{
    QString norvexHome;       // NORVEX_HOME
    QString executableFolder; // the running program's folder, links resolved
    bool root = false;        // effective user id 0
    QString xdgDataHome;      // XDG_DATA_HOME
    QString homeFolder;       // the user's home folder
};

// The installation folder with a trailing '/': NORVEX_HOME when set; else the programs'
// own folder, unless they lie in a system folder (systemProgramPrefix()): then
// $XDG_DATA_HOME/norvex/ (~/.local/share/norvex/) for a person and /var/lib/norvex/ for
// root, since nobody writes beside the programs there.
QString installFolderFor(const InstallContext &context);

// The installation folder of this process. A per-user or per-machine folder that is
// missing is created private (0700); a failure shows later, at the first write.
QString installFolder();

// The prefix (/usr, /usr/local) when a folder is <prefix>/lib/norvex, the place a package
// puts the programs; empty for any other folder.
QString systemProgramPrefix(const QString &executableFolder);

// Where the files shipped with the programs lie (the manual, web/, icons/): beside the
// programs in a folder install, <prefix>/share/norvex/ for programs in a system folder.
QString programFilesFolder();

// Creates the folder (and its parents) when missing; the folder itself gets mode 0700.
bool makePrivateFolder(const QString &folder);

// Where archives are built when no "TmpFolder" is set: TEMP, else TMPDIR, else /tmp.
QString defaultTempFolder();

// The folder with one trailing '/' added when it has none.
QString withTrailingSlash(const QString &folder);

// The system's message text for an errno value.
QString systemErrorText(int errorCode);

} // namespace norvex::platform
