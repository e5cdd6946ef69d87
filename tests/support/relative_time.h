// Kernel time-outs for tests: a relative wait of 'ms' milliseconds, in the
// negative 100 ns units the kernel's waits take.
#pragma once

#include "ntddk.h"

namespace quillex_test {

inline LARGE_INTEGER RelativeMs(LONGLONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}

} // namespace quillex_test
