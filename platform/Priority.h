#pragma once

#include <QString>

namespace norvex::platform {

// Puts every thread of the process at nice 19 and in the idle I/O scheduling class.
// Linux keeps both per thread, so the threads that already exist are changed one by one;
// threads started later inherit the setting from their creator. Returns 0 or the errno
// of the first failure.
int setIdlePriority();

// The nice value and the I/O priority word (class << 13 | data) of one thread (0 = the
// calling thread); -1 when the thread cannot be asked.
int threadNice(int tid = 0);
int threadIoPriority(int tid = 0);

inline constexpr int IoPrioClassIdle = 3;
inline constexpr int IoPrioClassShift = 13;

} // namespace norvex::platform
