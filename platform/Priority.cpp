#include "platform/Priority.h"

#include <QDir>
#include <cerrno>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace norvex::platform {

namespace {

constexpr int IoPrioWhoProcess = 1; // a thread id is a "process" to ioprio_set

int ioprioSet(int tid, int value)
{
    return int(syscall(SYS_ioprio_set, IoPrioWhoProcess, tid, value));
}

int applyToThread(int tid)
{
    if (setpriority(PRIO_PROCESS, id_t(tid), 19) != 0)
        return errno;
    if (ioprioSet(tid, IoPrioClassIdle << IoPrioClassShift) != 0)
        return errno;
    return 0;
}

} // namespace

int setIdlePriority()
{
    int firstError = applyToThread(int(gettid()));
    const QStringList tasks =
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : tasks) {
        bool ok = false;
        const int tid = name.toInt(&ok);
        if (!ok)
            continue;
        const int error = applyToThread(tid);
        // A thread may end between the listing and the call; that is no failure.
        if (error != 0 && error != ESRCH && firstError == 0)
            firstError = error;
    }
    return firstError;
}

int threadNice(int tid)
{
    errno = 0;
    const int value = getpriority(PRIO_PROCESS, id_t(tid == 0 ? int(gettid()) : tid));
    return errno != 0 ? -1 : value;
}

int threadIoPriority(int tid)
{
    return int(syscall(SYS_ioprio_get, IoPrioWhoProcess, tid == 0 ? int(gettid()) : tid));
}

} // namespace norvex::platform
