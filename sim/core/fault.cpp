#include "sim/core/fault.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace sim::fault {
namespace {

// One per service name, kept for the whole run (Reset disarms it), so the
// per-thread caches below never point at a freed record.
struct Arming {
    std::string name;
    std::mutex lock;
    unsigned calls = 0;
    unsigned nth = 0;    // 0: not armed
    bool onward = false; // every call from the nth on fails
    NTSTATUS status = 0;
};

std::mutex g_lock; // guards the map; each record has its own lock
std::map<std::string, std::unique_ptr<Arming>, std::less<>> g_services;

Arming& Record(const char* service) {
    std::lock_guard<std::mutex> guard(g_lock);
    std::unique_ptr<Arming>& slot = g_services[service];
    if (!slot) {
        slot = std::make_unique<Arming>();
        slot->name = service;
    }
    return *slot;
}

// Services call in on every request: a thread finds its record by the name's
// address without the shared map, and checks the text in case the address
// now holds another name.
Arming& CachedRecord(const char* service) {
    thread_local std::unordered_map<const char*, Arming*> cache;
    auto it = cache.find(service);
    if (it != cache.end() && it->second->name == service) {
        return *it->second;
    }
    Arming& record = Record(service);
    cache[service] = &record;
    return record;
}

void Arm(const char* service, unsigned nth, bool onward, NTSTATUS status) {
    Arming& a = Record(service);
    std::lock_guard<std::mutex> guard(a.lock);
    a.calls = 0;
    a.nth = nth;
    a.onward = onward;
    a.status = status;
}

} // namespace

void FailNthCall(const char* service, unsigned nth, NTSTATUS status) {
    Arm(service, nth, false, status);
}

void FailFromNthCall(const char* service, unsigned nth, NTSTATUS status) {
    Arm(service, nth, true, status);
}

void Reset() {
    std::lock_guard<std::mutex> guard(g_lock);
    for (auto& [name, a] : g_services) {
        std::lock_guard<std::mutex> one(a->lock);
        a->calls = 0;
        a->nth = 0;
        a->onward = false;
        a->status = 0;
    }
}

unsigned CallCount(const char* service) {
    Arming& a = Record(service);
    std::lock_guard<std::mutex> guard(a.lock);
    return a.calls;
}

bool ShouldFail(const char* service, NTSTATUS* status) {
    Arming& a = CachedRecord(service);
    std::lock_guard<std::mutex> guard(a.lock);
    ++a.calls;
    if (a.nth == 0) {
        return false;
    }
    bool fail = a.onward ? a.calls >= a.nth : a.calls == a.nth;
    if (fail && status != nullptr) {
        *status = a.status;
    }
    return fail;
}

} // namespace sim::fault
