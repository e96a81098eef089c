#pragma once

#include "archivers/MountFilter.h"
#include "archivers/SevenZipEngine.h"
#include "shared/ExcludePatterns.h"

#include <QStringList>
#include <algorithm>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace norvex::archivers::sevenzip {

// One entry of the archive to be written, as the update callback describes it.
struct ArchiveItem
{
    std::string sourcePath; // file system bytes, opened when the engine asks for the data
    UInt32 storedFrom = 0;  // the stored path is the tail of sourcePath from here
    UInt64 size = 0;
    UInt32 attrib = 0;
    FILETIME mtime{0, 0};
    bool isDir = false;
    bool isLink = false;
    bool followLink = false; // a listed single file that is itself a link is followed
    std::string linkTarget;
    dev_t device = 0;
    ino_t inode = 0;

    // UTF-8 (the file system's bytes), '/'-separated, no leading '/'.
    std::string_view storedPath() const
    {
        return std::string_view(sourcePath)
            .substr(std::min<std::size_t>(storedFrom, sourcePath.size()));
    }
};

struct ItemOptions
{
    bool recurse = true;
    bool storeOnlyFilename = false;
    std::string rootDir;           // removed from the front of stored paths when not empty
    MountFilter *mounts = nullptr; // folders it skips are not entered
    // Items below a listed folder that these match are neither stored nor entered, and
    // counted in excluded.
    const shared::ExcludePatterns *excludes = nullptr;
    shared::ExcludeCounts *excluded = nullptr;
};

// A folder or file that could not be read while the items were collected.
struct SourceError
{
    std::string path;
    int error;
};

// Collects the items for a file list: "folder/*<mask>" entries list the folder and its
// contents, anything else is a single file stored when it exists as a file. Symbolic links
// inside folders become link items and are never followed, so trees cannot loop; sockets,
// FIFOs and devices are left out without being opened. A later item with the stored path
// of an earlier one replaces it. Throws SourceError when a folder cannot be read.
std::vector<ArchiveItem> collectItems(const QStringList &fileList, const ItemOptions &options);

// The attribute word the 7-Zip command line stores on Unix: DOS bits, 0x8000 and st_mode.
UInt32 attributeWord(mode_t mode);

FILETIME fileTime(const struct timespec &t);

} // namespace norvex::archivers::sevenzip
