#include "sim/core/race.h"

#include <string.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "sim/core/thread_identity.h"
#include "sim/core/watchdog.h"

namespace sim::race {

struct Pause::State {
    std::string name;
    const void* object;
    Mode mode;
    std::string threadName; // empty: any thread
    bool hit = false;
    bool released = false;
    bool holding = false;
};

namespace {

std::mutex g_lock;
std::condition_variable g_changed;
std::vector<Pause::State*> g_armed;
// Points are on hot paths (every cancel, every spin lock): one load when
// nothing is armed.
std::atomic<int> g_armedCount{0};

bool Matches(const Pause::State& s, const char* name, const void* object) {
    return !s.hit && s.name == name && (s.object == nullptr || s.object == object) &&
           (s.threadName.empty() || s.threadName == CurrentThreadIdentity().name);
}

} // namespace

void Point(const char* name, const void* object) {
    if (g_armedCount.load(std::memory_order_acquire) == 0) {
        return;
    }
    std::unique_lock<std::mutex> lock(g_lock);
    auto it = std::find_if(g_armed.begin(), g_armed.end(),
                           [&](Pause::State* s) { return Matches(*s, name, object); });
    if (it == g_armed.end()) {
        return;
    }
    Pause::State* state = *it;
    state->hit = true;
    g_changed.notify_all();
    if (state->mode != Pause::Hold || state->released) {
        return;
    }
    state->holding = true;
    watchdog::Wait(
        g_changed, lock, [state] { return state->released; }, name,
        "a test to release the thread it holds at this pause point");
    state->holding = false;
    g_changed.notify_all();
}

Pause::Pause(const char* name, const void* object, Mode mode, const char* threadName)
    : state_(new State{name, object, mode, threadName != nullptr ? threadName : ""}) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_armed.push_back(state_);
    g_armedCount.fetch_add(1, std::memory_order_release);
}

Pause::~Pause() {
    std::unique_lock<std::mutex> lock(g_lock);
    state_->released = true;
    g_changed.notify_all();
    // A held thread still reads its state: let it leave first.
    g_changed.wait(lock, [this] { return !state_->holding; });
    g_armed.erase(std::find(g_armed.begin(), g_armed.end(), state_));
    g_armedCount.fetch_sub(1, std::memory_order_release);
    lock.unlock();
    delete state_;
}

bool Pause::Hit() const {
    std::lock_guard<std::mutex> guard(g_lock);
    return state_->hit;
}

bool Pause::WaitHit(std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(g_lock);
    return g_changed.wait_for(lock, limit, [this] { return state_->hit; });
}

void Pause::Release() {
    std::lock_guard<std::mutex> guard(g_lock);
    state_->released = true;
    g_changed.notify_all();
}

} // namespace sim::race
