// System threads as the driver starts them (PsCreateSystemThread), for tests
// and the verifier.
#pragma once

#include <functional>

#include "ntddk.h"

namespace sim::kernel {

// Thread objects alive: started and not yet both ended and released (no
// handle and no reference left).
size_t LiveSystemThreadCount();
// Blocks until every system thread started so far has ended, at most
// 'limitMs' host milliseconds; false when one is still running.
bool WaitForSystemThreads(unsigned limitMs = 10000);

// Runs in every system thread just before it ends, whether it returned or
// called PsTerminateSystemThread: the one place where what a thread must not
// leave behind is checked.
void SetSystemThreadExitCheck(std::function<void(PKTHREAD)> check);

} // namespace sim::kernel
