#include "sim/core/fault.h"

#include "km/ntstatus.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>

namespace sim::fault {
namespace {

struct Arming {
    unsigned calls = 0;
    unsigned nth = 0;    // 0: not armed
    bool onward = false; // every call from the nth on fails
    NTSTATUS status = 0;
};

std::mutex g_lock;
std::map<std::string, Arming, std::less<>> g_services;
std::atomic<Observer*> g_observer{nullptr};

} // namespace

void FailNthCall(const char* service, unsigned nth, NTSTATUS status) {
    std::lock_guard<std::mutex> guard(g_lock);
    Arming& a = g_services[service];
    a.calls = 0;
    a.nth = nth;
    a.onward = false;
    a.status = status;
}

void FailFromNthCall(const char* service, unsigned nth, NTSTATUS status) {
    std::lock_guard<std::mutex> guard(g_lock);
    Arming& a = g_services[service];
    a.calls = 0;
    a.nth = nth;
    a.onward = true;
    a.status = status;
}

void Reset() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_services.clear();
}

unsigned CallCount(const char* service) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_services.find(service);
    return it == g_services.end() ? 0 : it->second.calls;
}

void SetObserver(Observer* observer) {
    g_observer.store(observer);
}

bool ShouldFail(const char* service, NTSTATUS* status) {
    return ShouldFail(service, status, STATUS_INSUFFICIENT_RESOURCES);
}

bool ShouldFail(const char* service, NTSTATUS* status, NTSTATUS failure) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        Arming& a = g_services[service];
        ++a.calls;
        bool fail = a.nth != 0 && (a.onward ? a.calls >= a.nth : a.calls == a.nth);
        if (fail) {
            if (status != nullptr) {
                *status = a.status;
            }
            return true;
        }
    }
    Observer* observer = g_observer.load();
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
