#pragma once

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>

namespace norvex::platform {
class MountTable;
}

namespace norvex::archivers {

// A folder a walk did not enter because a virtual file system is mounted there.
struct SkippedMount
{
    QString path; // as the walk met it
    QString fileSystem;
};

// Keeps a folder walk on real file systems: a folder whose device is a virtual file system
// of the mount table is not entered, and each such folder is remembered once, for the
// caller to report. Without a table nothing is skipped.
class MountFilter
{
public:
    // table must outlive the walks that use it.
    void setTable(const platform::MountTable *table) { m_table = table; }
    bool skips(const QByteArray &folder, quint64 device);
    const QList<SkippedMount> &skipped() const { return m_skipped; }
    void clear();

private:
    const platform::MountTable *m_table = nullptr;
    QList<SkippedMount> m_skipped;
    QSet<QByteArray> m_seen;
};

} // namespace norvex::archivers
