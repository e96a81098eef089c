#pragma once

// Restoring files from a stored archive. What callers (the window's restore dialog, the
// command line) may rely on:
//   - Nothing is ever written outside the target folder. Every folder on the way to an
//     entry is opened below the target with O_NOFOLLOW, one name at a time; a symbolic
//     link (from the archive or already in the target) is never followed. Entries with
//     an absolute path or a ".." component are skipped with a reason, and so is a link
//     that later entries would be written through.
//   - An existing file is never replaced unless RestoreOptions::overwrite; it is skipped
//     and listed. A folder that exists is used as it is. With overwrite, the old file is
//     replaced in one rename once the new content is complete and checked.
//   - A file appears under its name only when the engine's check of its data passed
//     (CRC for ZIP and 7z): data is written to a hidden temporary name beside it first.
//     A file that fails the check is not left behind and is listed with the reason.
//   - A wrong 7z password stops the restore at its first file with kWrongPasswordText;
//     no file is left.
//   - Content, modification times (as precise as the archive: 2 s for ZIP, 100 ns for
//     7z), permission bits (without set-user-ID and set-group-ID), folders, symbolic links
//     as links, and names as bytes (Japanese and names that are not UTF-8) are restored.
//   - A cancelled restore keeps the files finished so far (summary.cancelled).
//   - restore() runs on the caller's thread; progress may be called from an engine thread
//     instead, never from two threads at once. It must be cheap.

#include "archivers/ArchiveReader.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

namespace norvex::restore {

using archivers::ArchiveItem;
using archivers::ArchiveKind;

struct RestoreOptions
{
    // The folder the entries go to; created (with its parents) when missing.
    QString target;
    // Archive paths to restore, as ArchiveItem::path; a folder stands for everything
    // below it. Empty: everything.
    QList<QByteArray> paths;
    bool overwrite = false;
};

struct RestoreProgress
{
    QByteArray currentFile; // archive path of the entry being written
    quint64 bytesDone = 0;  // bytes of the chosen files written so far
    quint64 bytesTotal = 0; // bytes of the chosen files
};

// Called while restore() works; returning false cancels.
using RestoreProgressHandler = std::function<bool(const RestoreProgress &)>;

struct RestoreSummary
{
    struct Item
    {
        QByteArray path;
        QString reason;
    };
    QList<QByteArray> restored; // files and links written
    QList<Item> skipped;        // unsafe entries, existing files without overwrite
    QList<Item> failed;         // check or write failures
    bool cancelled = false;
    // Why the restore stopped before its end (a wrong password, an archive the engine
    // could not read to the end); empty when it ran through or was cancelled.
    QString error;

    bool succeeded() const { return failed.isEmpty() && error.isEmpty() && !cancelled; }
};

inline const QString kWrongPasswordText = QStringLiteral("パスワードが違うため、復元できません。");

// An archive opened for listing and restoring.
class RestoreArchive
{
public:
    // False with errorText() when it cannot be read (see ArchiveReader::open).
    bool open(const QString &path, ArchiveKind kind, const QString &password = {});
    const QList<ArchiveItem> &items() const { return m_reader.items(); }
    const QString &errorText() const { return m_reader.errorText(); }

    RestoreSummary restore(const RestoreOptions &options,
                           const RestoreProgressHandler &progress = {},
                           const std::atomic<bool> *cancel = nullptr);

private:
    archivers::ArchiveReader m_reader;
};

// The summary as a person reads it: a cancellation or stop first, then the counts, then one
// line per skipped and failed entry with its reason.
QStringList summaryLines(const RestoreSummary &summary);

// Why an archive path may not be written below a target ("絶対パス", "..") or empty.
QString unsafePathReason(const QByteArray &path);

// "<backupname>-復元-yyyymmdd-hhmmss" in home, for a restore started at now.
QString defaultTarget(const QString &home, const QString &backupName, const QDateTime &now);

// The archive kind a stored file name stands for (".7z", else ZIP).
ArchiveKind kindOf(const QString &fileName);

// A size as the restore shows it, in the window and on the command line ("1.9 KB").
QString sizeText(quint64 bytes);

// Path shown to a person: the bytes as UTF-8 where they are, else with the other bytes
// as \xNN.
QString displayPath(const QByteArray &path);

} // namespace norvex::restore
