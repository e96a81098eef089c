#pragma once

// For the few tests that need root for what they do to the machine (mounts, other users):
// anyone else skips them with the reason, so a contributor's run stays green.

#include <QTest>

#include <unistd.h>

#define SKIP_UNLESS_ROOT(reason)                                                                   \
    do {                                                                                           \
        if (::geteuid() != 0)                                                                      \
            QSKIP(reason);                                                                         \
    } while (false)
