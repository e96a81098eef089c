#pragma once

// Reading a file's size from the answers of servers that lack SIZE.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

namespace norvex::transfer {

// The "size" fact of an MLST reply (all its lines, as ResponseText() gives them); -1 when
// the reply has none.
qint64 mlstSize(const QString &responseText);

// The size in a LIST of one file, in the Unix "ls -l" form or the MS-DOS form of Windows
// servers; -1 when no line of the listing reads as a file. *empty tells whether the
// listing had no line at all (some servers answer a missing name with an empty 226).
qint64 listSize(const QByteArray &listing, bool *empty = nullptr);

// A plain file of a folder listing.
struct FtpListEntry
{
    QString name;
    qint64 size = -1;
    QDateTime modified; // invalid when the listing gives none
};

// The files (type=file) of an MLSD listing, with their size and modify facts (UTC).
QList<FtpListEntry> mlsdFiles(const QByteArray &listing);

// The plain files of a LIST in the Unix "ls -l" form. A time without a year is the latest
// such time not after now plus a day (servers show the last six months that way).
QList<FtpListEntry> listFiles(const QByteArray &listing, const QDateTime &now);

} // namespace norvex::transfer
