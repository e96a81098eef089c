#pragma once

// The server half of Generations.h: listing a job's folder and downloading one archive.

#include "restore/Generations.h"

namespace norvex::restore {

bool listSftp(const JobLocation &job, QList<Generation> &out, QString &error);
bool listFtp(const JobLocation &job, QList<Generation> &out, QString &error);

// Downloads into temporaryFolder under a name of its own (mode 0600); the copy is complete
// and has the listed size, or null with error (nothing left behind).
std::unique_ptr<FetchedArchive> downloadGeneration(const JobLocation &job,
                                                   const Generation &generation,
                                                   const QString &temporaryFolder, QString &error,
                                                   const FetchProgress &progress);

// Sorts by modification time, newest first; equal times by k.
void sortNewestFirst(QList<Generation> &generations);

} // namespace norvex::restore
