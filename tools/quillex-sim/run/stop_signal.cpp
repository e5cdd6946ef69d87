#include "tools/quillex-sim/run/stop_signal.h"

#include <signal.h>

#include <atomic>
#include <thread>

namespace stop_signal {
namespace {

// Written by the handler: a lock-free atomic is all a handler may touch.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

void OnSignal(int signal) {
    int none = 0;
    g_signal.compare_exchange_strong(none, signal);
}

} // namespace

void Install() {
    static std::atomic<bool> installed{false};
    if (installed.exchange(true)) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool Requested() {
    return g_signal.load() != 0;
}

int Signal() {
    return g_signal.load();
}

void Request(int signal) {
    OnSignal(signal);
}

bool SleepUntil(std::chrono::steady_clock::time_point deadline) {
    // A short step: a stop is seen within 10 ms, and the step is cheap.
    constexpr auto kStep = std::chrono::milliseconds(10);
    for (;;) {
        if (Requested()) {
            return false;
        }
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return true;
        }
        std::this_thread::sleep_for(deadline - now < kStep ? deadline - now : kStep);
    }
}

} // namespace stop_signal
