#include "sim/core/fault.h"

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

bool ShouldFail(const char* service, NTSTATUS* status) {
    std::lock_guard<std::mutex> guard(g_lock);
    Arming& a = g_services[service];
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
