#include "sim/core/trace_sink.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>

#include "sim/core/winfmt.h"
#include "simtrace.h"

namespace sim::trace {
namespace {

std::mutex g_lock;
std::vector<Capture*> g_captures;
// How many captures are registered, read without the lock: a message that no
// capture takes and the console does not show is not even formatted.
std::atomic<size_t> g_captureCount{0};

ULONG LevelFromEnvironment() {
    const char* v = getenv("QUILLEX_TRACE_LEVEL");
    return v != nullptr ? static_cast<ULONG>(strtoul(v, nullptr, 0)) : 2;
}

std::atomic<ULONG> g_consoleLevel{LevelFromEnvironment()};

// The console's style (SetConsoleStyle), under g_lock.
std::string g_label;
unsigned g_repeats = 0;
struct Repeats {
    std::string first;
    size_t shown = 0;
    size_t held = 0;
};
std::map<PCSTR, Repeats> g_byFormat;

} // namespace

void SetConsoleLevel(ULONG level) {
    g_consoleLevel.store(level);
}

ULONG ConsoleLevel() {
    return g_consoleLevel.load();
}

void SetConsoleStyle(const char* label, unsigned repeats) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_label = label != nullptr ? label : "";
    g_repeats = repeats;
}

std::vector<std::pair<std::string, size_t>> ConsoleHeldBack() {
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<std::pair<std::string, size_t>> held;
    for (const auto& entry : g_byFormat) {
        if (entry.second.held > 0) {
            held.emplace_back(entry.second.first, entry.second.held);
        }
    }
    std::sort(held.begin(), held.end(),
              [](const auto& a, const auto& b) { return a.second > b.second; });
    return held;
}

struct Capture::State {
    mutable std::mutex lock;
    std::vector<Record> records;
};

Capture::Capture() : state_(new State) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_captures.push_back(this);
    g_captureCount.store(g_captures.size());
}

Capture::~Capture() {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_captures.erase(std::remove(g_captures.begin(), g_captures.end(), this), g_captures.end());
        g_captureCount.store(g_captures.size());
    }
    delete state_;
}

std::vector<Record> Capture::Records() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->records;
}

std::string Capture::Text() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    std::string all;
    for (const Record& r : state_->records) {
        all += r.Text;
    }
    return all;
}

bool Capture::Contains(std::string_view text) const {
    return Count(text) > 0;
}

size_t Capture::Count(std::string_view text) const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return static_cast<size_t>(
        std::count_if(state_->records.begin(), state_->records.end(),
                      [&](const Record& r) { return r.Text.find(text) != std::string::npos; }));
}

bool Capture::Find(std::string_view text, Record* found) const {
    std::lock_guard<std::mutex> guard(state_->lock);
    for (const Record& r : state_->records) {
        if (r.Text.find(text) != std::string::npos) {
            if (found != nullptr) {
                *found = r;
            }
            return true;
        }
    }
    return false;
}

void Capture::Clear() {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->records.clear();
}

void Capture::Add(const Record& r) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->records.push_back(r);
}

} // namespace sim::trace

extern "C" VOID SimTraceV(ULONG Level, ULONG Flags, PCSTR Format, va_list Args) {
    using namespace sim::trace;
    bool shown = Level <= g_consoleLevel.load();
    if (!shown && g_captureCount.load() == 0) {
        return;
    }
    std::string text = sim::FormatV(Format, Args);
    std::lock_guard<std::mutex> guard(g_lock);
    if (shown && g_repeats > 0) {
        Repeats& seen = g_byFormat[Format];
        if (seen.shown == 0) {
            seen.first = text;
        }
        if (seen.shown < g_repeats) {
            ++seen.shown;
        } else {
            ++seen.held;
            shown = false;
        }
    }
    if (shown) {
        fputs((g_label + text).c_str(), stderr);
    }
    for (Capture* c : g_captures) {
        c->Add(Record{Level, Flags, text});
    }
}
