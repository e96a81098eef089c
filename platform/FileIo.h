#pragma once

#include <QByteArray>

namespace norvex::platform {

// Writes all of data to fd, retrying after signals; false on any write error.
bool writeAll(int fd, const char *data, qint64 size);
inline bool writeAll(int fd, const QByteArray &data)
{
    return writeAll(fd, data.constData(), data.size());
}

// Makes a rename or a new file in the folder (a native path) survive a crash.
void syncFolder(const QByteArray &folder);

} // namespace norvex::platform
