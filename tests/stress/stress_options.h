// The stress run's command line: how long it runs, and the seed of its
// random choices (0: a fresh one, printed, so a failing run can be repeated).
#pragma once

#include <cstdint>

namespace quillex_stress {

struct StressOptions {
    long long seconds = 30;
    uint64_t seed = 0;
};

const StressOptions& Options();

} // namespace quillex_stress
