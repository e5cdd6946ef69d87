#include "sim/core/watchdog.h"

#include <stdlib.h>

#include "sim/core/verifier.h"

namespace sim::watchdog {

std::chrono::milliseconds Bound() {
    // Read each time: a test may shorten the bound for itself.
    const char* text = getenv("QUILLEX_WAIT_LIMIT_SECONDS");
    char* end = nullptr;
    long seconds = text != nullptr ? strtol(text, &end, 10) : 0;
    if (text == nullptr || end == text || *end != '\0' || seconds <= 0) {
        seconds = 60;
    }
    return std::chrono::milliseconds(seconds * 1000);
}

void Expired(const char* where, const char* what) {
    VerifierStop(rule::kWaitNeverEnded, where, "waited %lld s for %s",
                 static_cast<long long>(Bound().count() / 1000), what);
}

} // namespace sim::watchdog
