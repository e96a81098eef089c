#pragma once

#include <QByteArray>

namespace norvex::platform {

// Writes all of data to fd, retrying after signals; false on any write error.
bool writeAll(int fd, const char *data, qint64 size);
inline bool writeAll(int fd, const QByteArray &data)
{
    return writeAll(fd, data.constData(), data.size());
}

// Appends everything fd holds up to its end as it is now (a file that grows meanwhile still
// ends), retrying after signals; false, with errno set, on a read error.
bool readAll(int fd, QByteArray &data);

// Makes a rename or a new file in the folder (a native path) survive a crash.
void syncFolder(const QByteArray &folder);

} // namespace norvex::platform
