#include "tools/quillex-sim/run_report.h"

#include <stdarg.h>
#include <stdio.h>

RunReport& RunReport::Get() {
    static RunReport report;
    return report;
}

void RunReport::Say(const char* format, ...) {
    if (json_) {
        return;
    }
    std::lock_guard<std::mutex> guard(sayLock_);
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    // The driver's traces go to stderr as they happen; what is said stays
    // in order with them.
    fflush(stdout);
}

void RunReport::Finish() {
    if (json_) {
        printf("%s\n", document_.dump(2).c_str());
    }
}
