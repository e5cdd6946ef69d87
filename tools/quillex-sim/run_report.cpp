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
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

void RunReport::Finish() {
    if (json_) {
        printf("%s\n", document_.dump(2).c_str());
    }
}
