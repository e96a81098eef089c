#pragma once

// Makes an existing file impossible to rename or delete, as a real file system refuses a
// busy file: a file bind-mounted over it (EBUSY). Needs root (tests skip without it, see
// NeedsRoot.h); undone when destroyed.

#include <QFile>
#include <QString>

#include <sys/mount.h>

namespace norvex::tests {

class StuckFile
{
public:
    explicit StuckFile(const QString &path) : m_path(QFile::encodeName(path))
    {
        m_ok = ::mount(m_path.constData(), m_path.constData(), nullptr, MS_BIND, nullptr) == 0;
    }
    ~StuckFile()
    {
        if (m_ok)
            ::umount2(m_path.constData(), MNT_DETACH);
    }
    StuckFile(const StuckFile &) = delete;
    StuckFile &operator=(const StuckFile &) = delete;

    bool ok() const { return m_ok; }

private:
    QByteArray m_path;
    bool m_ok = false;
};

} // namespace norvex::tests
