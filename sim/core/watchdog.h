// Blocking waits of the simulator never hang a test: a wait made on behalf of
// a test or peer that outlasts a generous bound stops the program with the
// waiting thread and what it waits for.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace sim::watchdog {

// 60 s, or QUILLEX_WAIT_LIMIT_SECONDS when set (sanitizer builds run slower).
std::chrono::milliseconds Bound();

// Stops the program: the current thread waited 'Bound()' for 'what'.
[[noreturn]] void Expired(const char* where, const char* what);

// Waits on 'cv' until 'done' holds; stops the program once the bound passes.
template <class Done>
void Wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Done done,
          const char* where, const char* what) {
    if (!cv.wait_for(lock, Bound(), done)) {
        Expired(where, what);
    }
}

} // namespace sim::watchdog
