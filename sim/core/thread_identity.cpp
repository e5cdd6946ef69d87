#include "sim/core/thread_identity.h"

#include <atomic>

namespace sim {
namespace {

std::atomic<ThreadIdentityReader> g_reader{nullptr};

} // namespace

void InstallThreadIdentityReader(ThreadIdentityReader reader) {
    g_reader.store(reader, std::memory_order_release);
}

ThreadIdentity CurrentThreadIdentity() {
    ThreadIdentityReader reader = g_reader.load(std::memory_order_acquire);
    return reader != nullptr ? reader() : ThreadIdentity{"thread", 0};
}

} // namespace sim
