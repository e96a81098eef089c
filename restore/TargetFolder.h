#pragma once

// The target folder of a restore, reached only through descriptors: every name below it is
// opened with openat() and O_NOFOLLOW, so no symbolic link (from the archive or already
// there) can lead a write outside it.

#include <QByteArray>
#include <QList>
#include <QString>

namespace norvex::restore {

class TargetFolder
{
public:
    TargetFolder() = default;
    ~TargetFolder();
    TargetFolder(const TargetFolder &) = delete;
    TargetFolder &operator=(const TargetFolder &) = delete;

    // Creates the folder (and its parents) when missing and opens it. False with error().
    bool open(const QString &path);

    // The folder of path's parent below the target, created when create and missing. -1
    // with error() when a name on the way is not a folder (a link is never followed). The
    // descriptor stays the TargetFolder's; it is valid until the next call.
    int parentOf(const QByteArray &path, bool create);
    // The folder at path itself (the target for an empty path).
    int folder(const QByteArray &path, bool create);

    const QString &error() const { return m_error; }

    // The last component of path.
    static QByteArray leafOf(const QByteArray &path);

private:
    int walk(const QList<QByteArray> &names, bool create);

    int m_root = -1;
    QByteArray m_cachedPath;
    int m_cached = -1;
    QString m_error;
};

} // namespace norvex::restore
