// FastWallClock.so, loaded with LD_PRELOAD: the process's wall clock runs
// FAST_WALL_CLOCK_FACTOR times faster from the moment the process first reads it, so that a
// test can let the real service live through hours of a job's schedule in a few minutes. No
// real clock can be made to run fast. Every wall-clock read is covered (Qt reads
// gettimeofday, libstdc++ clock_gettime); monotonic clocks (timers, time-outs) are left
// alone, so the service still ticks every 10 real seconds.
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <sys/time.h>

namespace {

using ClockGettime = int (*)(clockid_t, timespec *);

long long nanoseconds(const timespec &t)
{
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// Resolved at the first read, which may come before this library's constructors ran.
struct FastClock
{
    ClockGettime real = reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, "clock_gettime"));
    long long factor = 1;
    long long startNs = 0;

    FastClock()
    {
        if (const char *text = std::getenv("FAST_WALL_CLOCK_FACTOR"))
            factor = std::atoll(text) > 0 ? std::atoll(text) : 1;
        timespec now{};
        real(CLOCK_REALTIME, &now);
        startNs = nanoseconds(now);
    }
};

const FastClock &fastClock()
{
    static const FastClock clock;
    return clock;
}

} // namespace

extern "C" int clock_gettime(clockid_t id, timespec *when) noexcept
{
    const FastClock &clock = fastClock();
    const int result = clock.real(id, when);
    if (result != 0 || (id != CLOCK_REALTIME && id != CLOCK_REALTIME_COARSE))
        return result;
    const long long fast = clock.startNs + (nanoseconds(*when) - clock.startNs) * clock.factor;
    when->tv_sec = fast / 1000000000LL;
    when->tv_nsec = fast % 1000000000LL;
    return 0;
}

extern "C" int gettimeofday(timeval *__restrict when, void *__restrict) noexcept
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    when->tv_sec = now.tv_sec;
    when->tv_usec = now.tv_nsec / 1000;
    return 0;
}

extern "C" time_t time(time_t *when) noexcept
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (when)
        *when = now.tv_sec;
    return now.tv_sec;
}
