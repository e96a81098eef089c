#include "restore/TargetFolder.h"

#include "platform/Paths.h"
#include "restore/Restore.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvex::restore {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

QList<QByteArray> namesOf(const QByteArray &path)
{
    QList<QByteArray> names;
    for (const QByteArray &name : path.split('/'))
        if (!name.isEmpty() && name != ".")
            names.append(name);
    return names;
}

} // namespace

TargetFolder::~TargetFolder()
{
    if (m_cached >= 0)
        ::close(m_cached);
    if (m_root >= 0)
        ::close(m_root);
}

bool TargetFolder::open(const QString &path)
{
    // The target itself is the caller's choice: a link to it is followed like any path.
    if (!QDir().mkpath(path)) {
        m_error = QStringLiteral("復元先フォルダ %1 を作成できません。").arg(path);
        return false;
    }
    m_root = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_root < 0) {
        m_error = QStringLiteral("復元先フォルダ %1 を開けません: %2")
                      .arg(path, platform::systemErrorText(errno));
        return false;
    }
    return true;
}

QByteArray TargetFolder::leafOf(const QByteArray &path)
{
    const QList<QByteArray> names = namesOf(path);
    return names.isEmpty() ? QByteArray() : names.last();
}

int TargetFolder::parentOf(const QByteArray &path, bool create)
{
    QList<QByteArray> names = namesOf(path);
    if (!names.isEmpty())
        names.removeLast();
    return walk(names, create);
}

int TargetFolder::folder(const QByteArray &path, bool create)
{
    return walk(namesOf(path), create);
}

int TargetFolder::walk(const QList<QByteArray> &names, bool create)
{
    const QByteArray joined = names.join('/');
    if (m_cached >= 0 && joined == m_cachedPath)
        return m_cached;
    if (m_cached >= 0)
        ::close(m_cached);
    m_cached = -1;
    int fd = ::dup(m_root);
    QByteArray done;
    for (const QByteArray &name : names) {
        if (fd < 0)
            break;
        done += (done.isEmpty() ? "" : "/") + name;
        int next = ::openat(fd, name.constData(), kFolderFlags);
        if (next < 0 && errno == ENOENT && create) {
            if (::mkdirat(fd, name.constData(), 0777) == 0 || errno == EEXIST)
                next = ::openat(fd, name.constData(), kFolderFlags);
        }
        const int error = errno;
        ::close(fd);
        fd = next;
        if (fd < 0) {
            m_error = error == ELOOP || error == ENOTDIR
                          ? QStringLiteral("「%1」がフォルダではありません（リンクは辿りません）。")
                                .arg(displayPath(done))
                          : QStringLiteral("フォルダ「%1」を開けません: %2")
                                .arg(displayPath(done), platform::systemErrorText(error));
            return -1;
        }
    }
    m_cached = fd;
    m_cachedPath = joined;
    return fd;
}

} // namespace norvex::restore
