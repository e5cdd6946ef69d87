// System mappings of MDLs: views of exactly ByteCount bytes with a guard.
#include "sim/kernel/mdl_mapping.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "sim/core/asan.h"
#include "sim/core/verifier.h"
#include "sim/kernel/pool.h"

namespace sim::mdl {
namespace {

constexpr size_t kGuardBytes = 16;

struct Mapping {
    UCHAR* pages; // the buffer the MDL describes
    ULONG bytes;
    UCHAR* view;   // bytes, then kGuardBytes of guard
    UCHAR* agreed; // what the view and the pages last agreed on
};

std::mutex g_lock;
std::unordered_map<PMDL, Mapping> g_mappings;
std::atomic<size_t> g_count{0};

// Registered while the program loads; read on every IRP sent and completed.
std::atomic<IrpMdlFinder> g_finders[kMaxIrpMdlFinders];

bool Find(PMDL mdl, Mapping* found) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_mappings.find(mdl);
    if (it == g_mappings.end()) {
        return false;
    }
    *found = it->second;
    return true;
}

void CheckGuard(PMDL mdl, const Mapping& m, const char* api) {
    UCHAR* guard = m.view + m.bytes;
    asan::Unpoison(guard, kGuardBytes);
    for (size_t i = kGuardBytes; i > 0; --i) {
        if (guard[i - 1] != pool::kGuardFill) {
            VerifierStop(rule::kMdlMappingOverrun, api,
                         "MDL %p: its system mapping at %p of %lu bytes was written %zu byte(s) "
                         "past its end",
                         static_cast<void*>(mdl), static_cast<void*>(m.view),
                         static_cast<unsigned long>(m.bytes), i);
        }
    }
    asan::Poison(guard, kGuardBytes);
}

} // namespace

PVOID CreateMapping(PMDL mdl) {
    Mapping m;
    m.pages = static_cast<UCHAR*>(MmGetMdlVirtualAddress(mdl));
    m.bytes = mdl->ByteCount;
    m.view = static_cast<UCHAR*>(malloc(m.bytes + kGuardBytes));
    m.agreed = static_cast<UCHAR*>(malloc(m.bytes));
    if (m.view == nullptr || m.agreed == nullptr) {
        free(m.view);
        free(m.agreed);
        return nullptr;
    }
    memcpy(m.view, m.pages, m.bytes);
    memcpy(m.agreed, m.pages, m.bytes);
    memset(m.view + m.bytes, pool::kGuardFill, kGuardBytes);
    asan::Poison(m.view + m.bytes, kGuardBytes);
    std::lock_guard<std::mutex> guard(g_lock);
    g_mappings[mdl] = m;
    ++g_count;
    return m.view;
}

void ReleaseMapping(PMDL mdl, const char* api) {
    Mapping m;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_mappings.find(mdl);
        if (it == g_mappings.end()) {
            return;
        }
        m = it->second;
        g_mappings.erase(it);
        --g_count;
    }
    CheckGuard(mdl, m, api);
    // Only what the view changed goes back: the pages themselves may be gone
    // by now when nothing was written since the last agreement.
    for (ULONG i = 0; i < m.bytes; ++i) {
        if (m.view[i] != m.agreed[i]) {
            m.pages[i] = m.view[i];
        }
    }
    asan::Unpoison(m.view + m.bytes, kGuardBytes);
    free(m.view);
    free(m.agreed);
}

void SynchroniseIrpMappings(PIRP irp, const char* api) {
    if (g_count.load(std::memory_order_relaxed) == 0) {
        return;
    }
    auto synchronise = [api](PMDL mdl) {
        Mapping m;
        if (mdl == nullptr || !Find(mdl, &m)) {
            return;
        }
        CheckGuard(mdl, m, api);
        for (ULONG i = 0; i < m.bytes; ++i) {
            if (m.view[i] != m.agreed[i]) {
                m.pages[i] = m.agreed[i] = m.view[i];
            } else if (m.pages[i] != m.agreed[i]) {
                m.view[i] = m.agreed[i] = m.pages[i];
            }
        }
    };
    for (PMDL mdl = irp->MdlAddress; mdl != nullptr; mdl = mdl->Next) {
        synchronise(mdl);
    }
    for (const std::atomic<IrpMdlFinder>& slot : g_finders) {
        IrpMdlFinder finder = slot.load(std::memory_order_acquire);
        if (finder != nullptr) {
            synchronise(finder(irp));
        }
    }
}

void RegisterIrpMdlFinder(IrpMdlFinder finder) {
    for (std::atomic<IrpMdlFinder>& slot : g_finders) {
        IrpMdlFinder expected = nullptr;
        if (slot.compare_exchange_strong(expected, finder) || expected == finder) {
            return;
        }
    }
    VerifierStop(rule::kMdlMisuse, "RegisterIrpMdlFinder", "more than %zu IRP MDL finders",
                 kMaxIrpMdlFinders);
}

size_t LiveMappings() {
    return g_count.load();
}

} // namespace sim::mdl
