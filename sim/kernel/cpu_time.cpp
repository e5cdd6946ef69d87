#include "sim/kernel/cpu_time.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>

namespace sim::kernel::cpu {
namespace {

int64_t Read(clockid_t clock) {
    timespec t{};
    if (clock_gettime(clock, &t) != 0) {
        return 0;
    }
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

struct SystemThreads {
    std::mutex lock;
    // The clocks of the running ones; a thread leaves the map, under the
    // lock, before its clock goes away.
    std::map<pthread_t, clockid_t> running;
    int64_t endedNanos = 0;
};
// Threads may still be ending during static destruction: never destroyed.
SystemThreads& g_threads = *new SystemThreads;

std::atomic<bool> g_countCompletions{false};
std::atomic<int64_t> g_completionNanos{0};
std::atomic<uint64_t> g_completionsTimed{0};
std::atomic<int64_t> g_timingOverhead{0};

// The median of many empty intervals timed as a completion is timed.
int64_t MeasureTimingOverhead() {
    constexpr int kSamples = 201;
    int64_t samples[kSamples];
    for (int64_t& sample : samples) {
        int64_t started = ThisThreadNanos();
        sample = ThisThreadNanos() - started;
    }
    std::sort(samples, samples + kSamples);
    return samples[kSamples / 2];
}

} // namespace

int64_t ThisThreadNanos() {
    return Read(CLOCK_THREAD_CPUTIME_ID);
}

int64_t SystemThreadNanos() {
    std::lock_guard<std::mutex> guard(g_threads.lock);
    int64_t total = g_threads.endedNanos;
    for (auto& [thread, clock] : g_threads.running) {
        total += Read(clock);
    }
    return total;
}

void SystemThreadStarted() {
    clockid_t clock;
    if (pthread_getcpuclockid(pthread_self(), &clock) != 0) {
        return;
    }
    std::lock_guard<std::mutex> guard(g_threads.lock);
    g_threads.running[pthread_self()] = clock;
}

void SystemThreadEnding() {
    std::lock_guard<std::mutex> guard(g_threads.lock);
    if (g_threads.running.erase(pthread_self()) != 0) {
        g_threads.endedNanos += ThisThreadNanos();
    }
}

void CountCompletionRoutines(bool on) {
    if (on) {
        g_timingOverhead.store(MeasureTimingOverhead(), std::memory_order_relaxed);
    }
    g_countCompletions.store(on, std::memory_order_relaxed);
}

bool CountingCompletionRoutines() {
    return g_countCompletions.load(std::memory_order_relaxed);
}

int64_t CompletionRoutineNanos() {
    return g_completionNanos.load(std::memory_order_relaxed);
}

uint64_t CompletionRoutinesTimed() {
    return g_completionsTimed.load(std::memory_order_relaxed);
}

int64_t TimingOverheadNanos() {
    return g_timingOverhead.load(std::memory_order_relaxed);
}

void AddCompletionRoutineNanos(int64_t nanos) {
    int64_t net = nanos - g_timingOverhead.load(std::memory_order_relaxed);
    g_completionNanos.fetch_add(net > 0 ? net : 0, std::memory_order_relaxed);
    g_completionsTimed.fetch_add(1, std::memory_order_relaxed);
}

} // namespace sim::kernel::cpu
