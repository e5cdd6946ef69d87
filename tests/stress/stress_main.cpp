// quillex_stress_test [--stress-seconds N] [--stress-seed N] [gtest options]
#include <gtest/gtest.h>

#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/core/trace_sink.h"
#include "tests/stress/stress_options.h"

namespace quillex_stress {
namespace {

StressOptions g_options;

// A whole positive number, or exit 2 naming the option.
unsigned long long ParseNumber(const char* option, const char* text, bool zeroAllowed) {
    char* end = nullptr;
    errno = 0;
    unsigned long long value = text != nullptr && *text != '-' ? strtoull(text, &end, 10) : 0;
    if (text == nullptr || end == text || *end != '\0' || errno != 0 ||
        (!zeroAllowed && value == 0)) {
        fprintf(stderr, "quillex_stress_test: %s takes a whole number%s, not \"%s\"\n", option,
                zeroAllowed ? "" : " above 0", text != nullptr ? text : "");
        exit(2);
    }
    return value;
}

} // namespace

const StressOptions& Options() {
    return g_options;
}

} // namespace quillex_stress

int main(int argc, char** argv) {
    // The push traces each hand-over as an error; a run of minutes would
    // flood the terminal. QUILLEX_TRACE_LEVEL still shows them when set.
    if (getenv("QUILLEX_TRACE_LEVEL") == nullptr) {
        sim::trace::SetConsoleLevel(0);
    }
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--stress-seconds") {
            quillex_stress::g_options.seconds =
                static_cast<long long>(quillex_stress::ParseNumber(argv[i], value, false));
            ++i;
        } else if (arg == "--stress-seed") {
            quillex_stress::g_options.seed = quillex_stress::ParseNumber(argv[i], value, true);
            ++i;
        } else {
            fprintf(stderr,
                    "quillex_stress_test: unknown option %s (--stress-seconds N, "
                    "--stress-seed N, or gtest's own)\n",
                    argv[i]);
            return 2;
        }
    }
    return RUN_ALL_TESTS();
}
