#include "platform/Priority.h"
#include "platform/Limits.h"

#include <QDir>
#include <QSemaphore>
#include <QTest>
#include <QThread>
#include <atomic>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace norvex::platform;

namespace {

// A thread that reports its id and then waits until released.
class Parked : public QThread
{
public:
    std::atomic<int> tid{0};
    QSemaphore ready, release;
    int niceSeenBySpawned = -100;
    int ioSeenBySpawned = -100;
    bool spawnChild = false;

protected:
    void run() override
    {
        tid = int(gettid());
        ready.release();
        release.acquire();
        if (spawnChild) {
            std::thread child([this] {
                niceSeenBySpawned = threadNice();
                ioSeenBySpawned = threadIoPriority();
            });
            child.join();
        }
    }
};

} // namespace

class PriorityTest : public QObject
{
    Q_OBJECT

private slots:
    // Linux keeps nice and the I/O class per thread: threads that exist when the service
    // lowers its priority must be changed too, and threads they start later inherit it.
    void coversExistingAndLaterThreads()
    {
        Parked parked;
        parked.spawnChild = true;
        parked.start();
        parked.ready.acquire();

        int result = -1;
        std::thread other([&] { result = setIdlePriority(); });
        other.join();
        QCOMPARE(result, 0);

        const QStringList tasks =
            QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QVERIFY(tasks.size() >= 2);
        for (const QString &task : tasks) {
            QCOMPARE(threadNice(task.toInt()), 19);
            QCOMPARE(threadIoPriority(task.toInt()) >> IoPrioClassShift, IoPrioClassIdle);
        }
        QCOMPARE(threadNice(parked.tid), 19);

        parked.release.release();
        parked.wait();
        QCOMPARE(parked.niceSeenBySpawned, 19);
        QCOMPARE(parked.ioSeenBySpawned >> IoPrioClassShift, IoPrioClassIdle);
    }

    // A service manager's soft limit of 1024 open files is raised to the hard limit.
    void openFileLimitIsRaisedToTheHardLimit()
    {
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max <= 256)
            QSKIP("the hard limit leaves nothing to raise");
        rlimit low = saved;
        low.rlim_cur = 256;
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);
        QCOMPARE(raiseOpenFileLimit(), 0);
        rlimit now{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &now), 0);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        QCOMPARE(now.rlim_cur, saved.rlim_max);
        QCOMPARE(now.rlim_max, saved.rlim_max);
    }
};

QTEST_GUILESS_MAIN(PriorityTest)
#include "PriorityTest.moc"
