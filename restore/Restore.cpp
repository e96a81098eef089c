// One restore: choose the entries, refuse the unsafe ones, check a 7z password on one
// file before anything is written, create the folders, let the engine decode files and
// links into hidden temporary names that are renamed into place once checked, and give the
// folders their modes and times last (writing into a folder changes its time).
#include "restore/Restore.h"

#include "archivers/Utf8Names.h"
#include "platform/FileIo.h"
#include "platform/Paths.h"
#include "restore/TargetFolder.h"

#include <QHash>
#include <QLocale>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <random>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvex::restore {

using archivers::ArchiveReader;
using archivers::ArchiveSink;
using archivers::ItemVerdict;
using Type = ArchiveItem::Type;

namespace {

// Set-user-ID and set-group-ID bits are not given back: a restore must not make programs
// that run as someone else.
constexpr quint32 kModeMask = 01777;
// A link's target is a path, not data: anything longer is not a link we wrote.
constexpr std::size_t kMaxLinkTarget = 64 * 1024;

timespec timeOf(const ArchiveItem &item)
{
    timespec t{};
    if (!item.hasTime) {
        t.tv_nsec = UTIME_OMIT;
        return t;
    }
    t.tv_sec = item.mtimeNs / 1000000000;
    t.tv_nsec = item.mtimeNs % 1000000000;
    if (t.tv_nsec < 0) {
        t.tv_nsec += 1000000000;
        t.tv_sec -= 1;
    }
    return t;
}

bool isBelow(const QByteArray &path, const QByteArray &folder)
{
    return path.size() > folder.size() && path.startsWith(folder) && path.at(folder.size()) == '/';
}

bool chosen(const QByteArray &path, const QList<QByteArray> &paths)
{
    if (paths.isEmpty())
        return true;
    return std::any_of(paths.begin(), paths.end(), [&](const QByteArray &p) {
        QByteArray wanted = p;
        while (wanted.endsWith('/'))
            wanted.chop(1);
        return path == wanted || isBelow(path, wanted);
    });
}

QByteArray temporaryName()
{
    static thread_local std::mt19937_64 random{std::random_device{}()};
    return ".norvex-restore-" + QByteArray::number(quint64(random()), 36);
}

// Takes the engine's output for the chosen files and links.
class RestoreSink final : public ArchiveSink
{
public:
    RestoreSink(TargetFolder &target, const QSet<quint32> &wanted, const RestoreOptions &options,
                RestoreSummary &summary, const RestoreProgressHandler &progress,
                const std::atomic<bool> *cancel, quint64 bytesTotal)
        : m_target(target), m_wanted(wanted), m_options(options), m_summary(summary),
          m_progress(progress), m_cancel(cancel)
    {
        m_state.bytesTotal = bytesTotal;
    }
    ~RestoreSink() override { discard(); }

    bool begin(const ArchiveItem &item) override
    {
        if (!m_wanted.contains(item.index) || stopped())
            return false;
        const bool taken = prepare(item);
        if (!taken)
            m_refused.insert(item.index);
        return taken;
    }

    bool write(const char *data, std::size_t size) override
    {
        if (m_fd < 0) {
            if (m_link.size() + qsizetype(size) > qsizetype(kMaxLinkTarget))
                return stopWith(QStringLiteral("リンク先が長すぎます。"));
            m_link.append(data, qsizetype(size));
            m_state.bytesDone += size;
            return true;
        }
        if (!platform::writeAll(m_fd, data, size))
            return stopWith(
                QStringLiteral("「%1」を書き込めません: %2")
                    .arg(displayPath(m_state.currentFile), platform::systemErrorText(errno)));
        m_state.bytesDone += size;
        return true;
    }

    void end(const ArchiveItem &item, const ItemVerdict &verdict) override
    {
        // Skipped, or failed already: listed once.
        if (m_refused.contains(item.index))
            return;
        if (!verdict.ok) {
            discard();
            if (verdict.wrongPassword && m_summary.error.isEmpty())
                m_summary.error = kWrongPasswordText;
            else
                m_summary.failed.append({item.path, verdict.text});
            return;
        }
        if (QString why = finish(item); !why.isEmpty()) {
            discard();
            m_summary.failed.append({item.path, why});
            return;
        }
        m_summary.restored.append(item.path);
    }

    bool progress(quint64, quint64) override { return !stopped() && report(); }

    // Why the extract was stopped by the sink, when it was.
    const QString &stopReason() const { return m_stopReason; }
    bool cancelled() const { return m_cancelled; }

private:
    bool stopped() const
    {
        return !m_stopReason.isEmpty() || !m_summary.error.isEmpty() || m_cancelled;
    }
    bool report()
    {
        if (m_progress && !m_progress(m_state))
            m_cancelled = true;
        if (m_cancel && m_cancel->load())
            m_cancelled = true;
        return !m_cancelled;
    }
    bool skip(const ArchiveItem &item, const QString &reason)
    {
        m_summary.skipped.append({item.path, reason});
        return false;
    }
    bool fail(const ArchiveItem &item, const QString &reason)
    {
        m_summary.failed.append({item.path, reason});
        return false;
    }
    bool stopWith(const QString &reason)
    {
        m_stopReason = reason;
        return false;
    }

    // Opens the item's temporary file; false when the item is skipped or failed.
    bool prepare(const ArchiveItem &item)
    {
        m_state.currentFile = item.path;
        if (!report())
            return false;
        m_parent = m_target.parentOf(item.path, true);
        if (m_parent < 0)
            return skip(item, m_target.error());
        m_leaf = TargetFolder::leafOf(item.path);
        struct stat st
        {
        };
        if (::fstatat(m_parent, m_leaf.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISDIR(st.st_mode))
                return fail(item, QStringLiteral("同じ名前のフォルダがあります。"));
            if (!m_options.overwrite)
                return skip(item, QStringLiteral("既にあるため上書きしませんでした。"));
        }
        m_temporary = temporaryName();
        m_link.clear();
        if (item.type == Type::Link)
            return true;
        m_fd = ::openat(m_parent, m_temporary.constData(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (m_fd < 0) {
            const int error = errno;
            m_temporary.clear();
            return fail(item, platform::systemErrorText(error));
        }
        return true;
    }

    // Gives the checked data its mode, time and name.
    QString finish(const ArchiveItem &item)
    {
        const timespec times[2] = {{0, UTIME_OMIT}, timeOf(item)};
        if (item.type == Type::Link) {
            if (::symlinkat(m_link.constData(), m_parent, m_temporary.constData()) != 0)
                return platform::systemErrorText(errno);
            ::utimensat(m_parent, m_temporary.constData(), times, AT_SYMLINK_NOFOLLOW);
        } else {
            const mode_t mode = item.hasMode ? mode_t(item.mode & kModeMask) : mode_t(0644);
            const bool ok = ::fchmod(m_fd, mode) == 0 && ::futimens(m_fd, times) == 0;
            const int error = errno;
            const int closed = ::close(m_fd);
            m_fd = -1;
            if (!ok || closed != 0)
                return platform::systemErrorText(ok ? errno : error);
        }
        // Without overwrite, a file that appeared meanwhile is kept all the same.
        const unsigned flags = m_options.overwrite ? 0 : RENAME_NOREPLACE;
        if (::renameat2(m_parent, m_temporary.constData(), m_parent, m_leaf.constData(), flags) !=
            0) {
            const int error = errno;
            if (error == EEXIST)
                return QStringLiteral("既にあるため上書きしませんでした。");
            return platform::systemErrorText(error);
        }
        m_temporary.clear();
        return {};
    }

    // Removes what an unfinished item left.
    void discard()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        if (!m_temporary.isEmpty() && m_parent >= 0)
            ::unlinkat(m_parent, m_temporary.constData(), 0);
        m_temporary.clear();
    }

    TargetFolder &m_target;
    const QSet<quint32> &m_wanted;
    const RestoreOptions &m_options;
    RestoreSummary &m_summary;
    const RestoreProgressHandler &m_progress;
    const std::atomic<bool> *m_cancel;
    RestoreProgress m_state;
    int m_parent = -1;
    QByteArray m_leaf;
    QByteArray m_temporary;
    int m_fd = -1;
    QByteArray m_link;
    QString m_stopReason;
    bool m_cancelled = false;
    QSet<quint32> m_refused; // items begin() did not take
};

// Decodes one item and keeps only the engine's verdict.
class PasswordProbe final : public ArchiveSink
{
public:
    bool begin(const ArchiveItem &) override { return true; }
    bool write(const char *, std::size_t) override { return true; }
    void end(const ArchiveItem &, const ItemVerdict &verdict) override { m_verdict = verdict; }
    bool progress(quint64, quint64) override { return true; }
    const ItemVerdict &verdict() const { return m_verdict; }

private:
    ItemVerdict m_verdict;
};

} // namespace

QString unsafePathReason(const QByteArray &path)
{
    if (path.isEmpty())
        return QStringLiteral("名前がないため復元しませんでした。");
    if (path.startsWith('/'))
        return QStringLiteral("絶対パスのため復元しませんでした。");
    if (path.split('/').contains(".."))
        return QStringLiteral("「..」を含むため復元しませんでした。");
    return {};
}

QString defaultTarget(const QString &home, const QString &backupName, const QDateTime &now)
{
    return home + QLatin1Char('/') + backupName + QStringLiteral("-復元-") +
           now.toString(QStringLiteral("yyyyMMdd-HHmmss"));
}

ArchiveKind kindOf(const QString &fileName)
{
    return fileName.endsWith(QStringLiteral(".7z")) ? ArchiveKind::SevenZip : ArchiveKind::Zip;
}

QString displayPath(const QByteArray &path)
{
    QString text;
    for (qsizetype at = 0; at < path.size();) {
        char32_t codePoint = 0;
        const int n =
            archivers::utf8Sequence(reinterpret_cast<const unsigned char *>(path.constData()) + at,
                                    std::size_t(path.size() - at), codePoint);
        if (n > 0) {
            text += QString::fromUtf8(path.constData() + at, n);
            at += n;
        } else {
            text += QStringLiteral("\\x%1").arg(uchar(path.at(at)), 2, 16, QLatin1Char('0'));
            ++at;
        }
    }
    return text;
}

bool RestoreArchive::open(const QString &path, ArchiveKind kind, const QString &password)
{
    return m_reader.open(path, kind, password);
}

RestoreSummary RestoreArchive::restore(const RestoreOptions &options,
                                       const RestoreProgressHandler &progress,
                                       const std::atomic<bool> *cancel)
{
    RestoreSummary summary;
    const QList<ArchiveItem> &all = m_reader.items();

    // The chosen entries that are safe to write, and the links later entries would go
    // through (those are not made; the entries below them go into real folders).
    QList<const ArchiveItem *> safe;
    QSet<QByteArray> links;
    for (const ArchiveItem &item : all) {
        if (!chosen(item.path, options.paths))
            continue;
        if (QString why = unsafePathReason(item.path); !why.isEmpty()) {
            summary.skipped.append({item.path, why});
            continue;
        }
        safe.append(&item);
        if (item.type == Type::Link)
            links.insert(item.path);
    }
    QSet<QByteArray> throughLinks;
    for (const ArchiveItem *item : std::as_const(safe))
        for (qsizetype slash = item->path.indexOf('/'); slash > 0;
             slash = item->path.indexOf('/', slash + 1))
            if (links.contains(item->path.left(slash)))
                throughLinks.insert(item->path.left(slash));

    QSet<quint32> wanted;
    QList<const ArchiveItem *> folders;
    quint64 bytesTotal = 0;
    const ArchiveItem *firstEncrypted = nullptr;
    for (const ArchiveItem *item : std::as_const(safe)) {
        if (throughLinks.contains(item->path)) {
            summary.skipped.append(
                {item->path,
                 QStringLiteral("後のエントリがこのリンクを通して復元先の外に書かれるおそれがある"
                                "ため復元しませんでした。")});
            continue;
        }
        if (item->type == Type::Folder) {
            folders.append(item);
            continue;
        }
        wanted.insert(item->index);
        bytesTotal += item->size;
        if (item->encrypted && (!firstEncrypted || item->size < firstEncrypted->size))
            firstEncrypted = item;
    }

    // A wrong password shows on the first encrypted file; find out before writing anything.
    if (firstEncrypted) {
        PasswordProbe probe;
        const auto stop = m_reader.extract({firstEncrypted->index}, probe);
        if (probe.verdict().wrongPassword) {
            summary.error = kWrongPasswordText;
            return summary;
        }
        if (stop == ArchiveReader::Stop::EngineFailed) {
            summary.error = m_reader.errorText();
            return summary;
        }
    }

    TargetFolder target;
    if (!target.open(options.target)) {
        summary.error = target.error();
        return summary;
    }
    for (const ArchiveItem *item : std::as_const(folders))
        if (target.folder(item->path, true) < 0)
            summary.failed.append({item->path, target.error()});

    RestoreSink sink(target, wanted, options, summary, progress, cancel, bytesTotal);
    const auto stop = m_reader.extract(QList<quint32>(wanted.begin(), wanted.end()), sink);
    summary.cancelled = sink.cancelled();
    if (stop == ArchiveReader::Stop::SinkFailed && summary.error.isEmpty())
        summary.error = sink.stopReason();
    else if (stop == ArchiveReader::Stop::EngineFailed && summary.error.isEmpty())
        summary.error = m_reader.errorText();

    // Deepest first, so setting a folder's time is not undone by its sub-folders.
    std::sort(folders.begin(), folders.end(), [](const ArchiveItem *a, const ArchiveItem *b) {
        return a->path.count('/') > b->path.count('/');
    });
    for (const ArchiveItem *item : std::as_const(folders)) {
        const int fd = target.folder(item->path, false);
        if (fd < 0)
            continue;
        if (item->hasMode)
            ::fchmod(fd, mode_t(item->mode & kModeMask));
        const timespec times[2] = {{0, UTIME_OMIT}, timeOf(*item)};
        ::futimens(fd, times);
    }
    return summary;
}

QString sizeText(quint64 bytes)
{
    return QLocale::system().formattedDataSize(qint64(bytes), 1,
                                               QLocale::DataSizeTraditionalFormat);
}

QStringList summaryLines(const RestoreSummary &summary)
{
    QStringList lines;
    if (summary.cancelled)
        lines << QStringLiteral(
            "復元をキャンセルしました。それまでに復元したファイルは残っています。");
    if (!summary.error.isEmpty())
        lines << summary.error;
    lines << QStringLiteral("復元 %1 件、スキップ %2 件、失敗 %3 件")
                 .arg(summary.restored.size())
                 .arg(summary.skipped.size())
                 .arg(summary.failed.size());
    for (const auto &item : summary.skipped)
        lines << QStringLiteral("スキップ: ") + displayPath(item.path) + QStringLiteral(" （") +
                     item.reason + QStringLiteral("）");
    for (const auto &item : summary.failed)
        lines << QStringLiteral("失敗: ") + displayPath(item.path) + QStringLiteral(" （") +
                     item.reason + QStringLiteral("）");
    return lines;
}

} // namespace norvex::restore
