#include "sim/core/verifier.h"

#include <execinfo.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "sim/core/thread_identity.h"

namespace sim {

void VerifierStop(const char* rule, const char* where, const char* detailFormat, ...) {
    char detail[2048];
    va_list args;
    va_start(args, detailFormat);
    vsnprintf(detail, sizeof(detail), detailFormat, args);
    va_end(args);

    ThreadIdentity thread = CurrentThreadIdentity();
    fprintf(stderr,
            "\nQUILLEX VERIFIER STOP: %s\n  where:  %s\n  thread: %s (IRQL %u)\n  detail: %s\n",
            rule, where, thread.name, thread.irql, detail);
    void* frames[48];
    int count = backtrace(frames, 48);
    fprintf(stderr, "  backtrace:\n");
    fflush(stderr);
    backtrace_symbols_fd(frames, count, STDERR_FILENO);
    abort();
}

} // namespace sim
