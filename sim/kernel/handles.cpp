// The kernel handle table and ZwClose.
#include "sim/kernel/handles.h"

#include <map>
#include <mutex>
#include <string.h>

#include "sim/core/verifier.h"

namespace sim::kernel {
namespace {

constexpr ULONG_PTR kKernelHandleBit = 0xFFFFFFFF80000000ULL;

struct Entry {
    std::shared_ptr<HandleObject> object;
    ACCESS_MASK access;
};

std::mutex g_lock;
std::map<ULONG_PTR, Entry> g_table;
ULONG_PTR g_next = 0; // handle values are multiples of 4, as on Windows

} // namespace

HANDLE InsertHandle(std::shared_ptr<HandleObject> object, ACCESS_MASK grantedAccess,
                    bool kernelHandle) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_next += 4;
    ULONG_PTR value = kernelHandle ? (g_next | kKernelHandleBit) : g_next;
    g_table[value] = Entry{std::move(object), grantedAccess};
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> ReferenceHandle(HANDLE handle, const char* typeName) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_table.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == g_table.end() || strcmp(it->second.object->TypeName(), typeName) != 0) {
        return nullptr;
    }
    return it->second.object;
}

ACCESS_MASK GrantedAccess(HANDLE handle) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_table.find(reinterpret_cast<ULONG_PTR>(handle));
    return it == g_table.end() ? 0 : it->second.access;
}

bool IsKernelHandle(HANDLE handle) {
    return (reinterpret_cast<ULONG_PTR>(handle) & kKernelHandleBit) == kKernelHandleBit;
}

bool RemoveHandle(HANDLE handle) {
    std::shared_ptr<HandleObject> last;
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_table.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == g_table.end()) {
        return false;
    }
    // The object may be destroyed here, after the table lock is released.
    last = std::move(it->second.object);
    g_table.erase(it);
    return true;
}

size_t OpenHandleCount(const char* typeName) {
    std::lock_guard<std::mutex> guard(g_lock);
    size_t n = 0;
    for (const auto& [value, entry] : g_table) {
        if (typeName == nullptr || strcmp(entry.object->TypeName(), typeName) == 0) {
            ++n;
        }
    }
    return n;
}

} // namespace sim::kernel

extern "C" NTSTATUS ZwClose(HANDLE Handle) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        sim::VerifierStop(sim::rule::kIrqlTooHigh, "ZwClose", "called at IRQL %u",
                          KeGetCurrentIrql());
    }
    if (!sim::kernel::RemoveHandle(Handle)) {
        // Windows stops with INVALID_KERNEL_HANDLE when kernel code closes a
        // handle that is not open.
        sim::VerifierStop(sim::rule::kInvalidKernelHandle, "ZwClose",
                          "handle %p is not open (closed twice, or never opened)", Handle);
    }
    return STATUS_SUCCESS;
}
