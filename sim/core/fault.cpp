#include "sim/core/fault.h"

#include "km/ntstatus.h"

#include <atomic>
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
    std::mutex lock; // for arming, and for the calls of an armed service
    std::atomic<unsigned> calls{0};
    // Read without the lock: a service nobody armed only counts its call.
    std::atomic<bool> armed{false};
    unsigned nth = 0;    // 0: not armed
    bool onward = false; // every call from the nth on fails
    NTSTATUS status = 0;
};

std::mutex g_lock; // guards the map; each record has its own lock
std::map<std::string, std::unique_ptr<Arming>, std::less<>> g_services;
std::atomic<Observer*> g_observer{nullptr};

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
    a.armed.store(nth != 0, std::memory_order_release);
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
        a->armed.store(false, std::memory_order_release);
        a->calls = 0;
        a->nth = 0;
        a->onward = false;
        a->status = 0;
    }
}

unsigned CallCount(const char* service) {
    return Record(service).calls.load();
}

void SetObserver(Observer* observer) {
    g_observer.store(observer);
}

namespace {

// The armings' decision alone.
bool ArmedToFail(const char* service, NTSTATUS* status) {
    Arming& a = CachedRecord(service);
    if (!a.armed.load(std::memory_order_acquire)) {
        a.calls.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    std::lock_guard<std::mutex> guard(a.lock);
    unsigned calls = ++a.calls;
    if (a.nth == 0) {
        return false;
    }
    bool fail = a.onward ? calls >= a.nth : calls == a.nth;
    if (fail && status != nullptr) {
        *status = a.status;
    }
    return fail;
}

} // namespace

bool ShouldFail(const char* service, NTSTATUS* status) {
    return ShouldFail(service, status, STATUS_INSUFFICIENT_RESOURCES);
}

bool ShouldFail(const char* service, NTSTATUS* status, NTSTATUS failure) {
    if (ArmedToFail(service, status)) {
        return true;
    }
    Observer* observer = g_observer.load(std::memory_order_acquire);
    if (observer == nullptr) {
        return false;
    }
    NTSTATUS observed = failure;
    bool fail = observer->OnCall(service, failure, &observed);
    if (fail && status != nullptr) {
        *status = observed;
    }
    return fail;
}

} // namespace sim::fault
