#include "tools/quillex-sim/run/run_report.h"

#include <stdarg.h>
#include <stdio.h>

#include <string>

void RunReport::Say(const char* format, ...) {
    if (json_) {
        return;
    }
    std::lock_guard<std::mutex> guard(sayLock_);
    ClearProgress();
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    // The driver's traces go to stderr as they happen; what is said stays
    // in order with them.
    fflush(stdout);
}

void RunReport::Error(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(sayLock_);
    ClearProgress();
    fflush(stdout);
    fprintf(stderr, "quillex-sim: %s\n", text);
    if (!document_.contains("errors")) {
        document_["errors"] = nlohmann::ordered_json::array();
    }
    document_["errors"].push_back(text);
}

void RunReport::Finish(int exitCode) {
    std::lock_guard<std::mutex> guard(sayLock_);
    document_["exit_code"] = exitCode;
    if (json_) {
        printf("%s\n", document_.dump(2).c_str());
        fflush(stdout);
    }
}
