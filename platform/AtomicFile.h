#pragma once

#include <QByteArray>
#include <QString>

namespace norvex::platform {

// Replaces `path` by `data` so that a crash at any moment leaves the old file or the new
// one: a temporary file in the same folder is written, flushed and fsynced, renamed over
// the target, and the folder is fsynced. An existing target keeps its permission bits (and
// its owner where we may set it); a symbolic link is followed and its target replaced. A
// new file gets `newFileMode`. On failure the target is unchanged, `error` (when given)
// says why and errno holds the failing call's code.
// Durability::Atomic skips both fsyncs: readers still see the old file or the new one,
// never a torn one, but a crash of the machine may bring back the old content. For records
// rewritten every second, where a sync each time would load the disk.
enum class Durability { Durable, Atomic };
bool writeFileAtomically(const QString &path, const QByteArray &data, unsigned newFileMode,
                         QString *error = nullptr, Durability durability = Durability::Durable);

// Creates `path` holding `data` only when it does not exist yet; readers never see it
// empty or half-written, and an existing file is never replaced. True when the file
// exists afterwards (made here or by someone else).
bool createFileExclusively(const QString &path, const QByteArray &data, unsigned mode,
                           QString *error = nullptr);

// The process's file creation mask, read without changing it (umask() cannot be read
// without setting it, which would race with other threads creating files).
unsigned processUmask();

} // namespace norvex::platform
