// Executive pool: tagged blocks with a header the verifier checks on free.
#include "sim/kernel/pool.h"

#include <stdlib.h>

#include <map>
#include <set>
#include <mutex>

#include "sim/core/fault.h"
#include "sim/core/verifier.h"

namespace sim::pool {
namespace {

constexpr ULONG kLiveMagic = 0x4C6F6F50; // "PooL"

struct alignas(16) Header {
    ULONG Magic;
    ULONG Tag;
    POOL_TYPE Type;
    SIZE_T Size;
};

std::mutex g_lock;
std::map<ULONG, size_t> g_outstanding;
std::set<const void*> g_live;

Header* HeaderOf(const void* block) {
    return reinterpret_cast<Header*>(const_cast<char*>(static_cast<const char*>(block))) - 1;
}

} // namespace

size_t OutstandingBlocks(ULONG tag) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_outstanding.find(tag);
    return it == g_outstanding.end() ? 0 : it->second;
}

} // namespace sim::pool

using namespace sim::pool;

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL || (PoolType == PagedPool && irql > APC_LEVEL)) {
        sim::VerifierStop(sim::rule::kIrqlTooHigh, "ExAllocatePoolWithTag",
                          "pool type %d allocated at IRQL %u", PoolType, irql);
    }
    if (sim::fault::ShouldFail("ExAllocatePoolWithTag", nullptr)) {
        return nullptr;
    }
    void* raw = aligned_alloc(alignof(Header), (sizeof(Header) + NumberOfBytes + 15) & ~SIZE_T(15));
    if (raw == nullptr) {
        return nullptr;
    }
    auto* h = static_cast<Header*>(raw);
    h->Magic = kLiveMagic;
    h->Tag = Tag;
    h->Type = PoolType;
    h->Size = NumberOfBytes;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        ++g_outstanding[Tag];
        g_live.insert(h + 1);
    }
    return h + 1;
}

PVOID ExAllocatePool2(ULONG64 Flags, SIZE_T NumberOfBytes, ULONG Tag) {
    PVOID p = ExAllocatePoolWithTag((Flags & POOL_FLAG_PAGED) ? PagedPool : NonPagedPool,
                                    NumberOfBytes, Tag);
    if (p != nullptr) {
        RtlZeroMemory(p, NumberOfBytes);
    }
    return p;
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    Header* h = HeaderOf(P);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (g_live.erase(P) == 0) {
            sim::VerifierStop(sim::rule::kDoubleFree, "ExFreePoolWithTag",
                              "%p is not a live pool block (freed twice, or never allocated)", P);
        }
        if (Tag != 0 && h->Tag != Tag) {
            sim::VerifierStop(sim::rule::kPoolTagMismatch, "ExFreePoolWithTag",
                              "block %p has tag 0x%08x, freed with 0x%08x", P, h->Tag, Tag);
        }
        --g_outstanding[h->Tag];
    }
    h->Magic = 0;
    free(h);
}

VOID ExFreePool(PVOID P) {
    ExFreePoolWithTag(P, 0);
}

} // extern "C"
