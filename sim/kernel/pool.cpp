// Executive pool as the special pool sees it: tagged blocks with a header the
// verifier checks on free, new blocks filled with a pattern (never zeros),
// guard bytes after each block, and freed blocks filled with a pattern and
// held in quarantine before they go back.
#include "sim/kernel/pool.h"

#include <stdlib.h>
#include <string.h>

#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "sim/core/asan.h"
#include "sim/core/fault.h"
#include "sim/core/verifier.h"

namespace sim::pool {
namespace {

constexpr ULONG kLiveMagic = 0x4C6F6F50;  // "PooL"
constexpr ULONG kFreedMagic = 0x65657246; // "Free"
constexpr SIZE_T kGuardBytes = 16;
#ifdef QUILLEX_UNDER_ASAN
// The address sanitizer keeps its own quarantine and sees every access into
// it: hand blocks straight back so that it does.
constexpr size_t kQuarantineBlocks = 0;
#else
constexpr size_t kQuarantineBlocks = 4096;
#endif

struct alignas(16) Header {
    ULONG Magic;
    ULONG Tag;
    POOL_TYPE Type;
    SIZE_T Size;
};

std::mutex g_lock;
std::map<ULONG, size_t> g_outstanding;
std::set<const void*> g_live;
std::deque<Header*> g_quarantine;
// Freed blocks by address, for IsFreed: start to end.
std::map<const char*, const char*> g_freedRanges;

Header* HeaderOf(const void* block) {
    return reinterpret_cast<Header*>(const_cast<char*>(static_cast<const char*>(block))) - 1;
}

UCHAR* Body(Header* h) {
    return reinterpret_cast<UCHAR*>(h + 1);
}

SIZE_T RawSize(SIZE_T bytes) {
    return (sizeof(Header) + bytes + kGuardBytes + 15) & ~SIZE_T(15);
}

void* Allocate(SIZE_T bytes, ULONG tag, POOL_TYPE type) {
    void* raw = aligned_alloc(alignof(Header), RawSize(bytes));
    if (raw == nullptr) {
        return nullptr;
    }
    auto* h = static_cast<Header*>(raw);
    h->Magic = kLiveMagic;
    h->Tag = tag;
    h->Type = type;
    h->Size = bytes;
    memset(Body(h), kAllocatedFill, bytes);
    memset(Body(h) + bytes, kGuardFill, RawSize(bytes) - sizeof(Header) - bytes);
    asan::Poison(Body(h) + bytes, RawSize(bytes) - sizeof(Header) - bytes);
    std::lock_guard<std::mutex> guard(g_lock);
    ++g_outstanding[tag];
    g_live.insert(h + 1);
    return h + 1;
}

// Called with g_lock held, for a block leaving quarantine.
void Release(Header* h) {
    UCHAR* body = Body(h);
    for (SIZE_T i = 0; i < h->Size; ++i) {
        if (body[i] != kFreedFill) {
            VerifierStop(rule::kFreedPoolWritten, "pool quarantine",
                         "block %p (tag 0x%08x, %zu bytes) was written at offset %zu after it was "
                         "freed (byte 0x%02x)",
                         static_cast<void*>(body), h->Tag, static_cast<size_t>(h->Size),
                         static_cast<size_t>(i), body[i]);
        }
    }
    g_freedRanges.erase(reinterpret_cast<const char*>(body));
    free(h);
}

void Free(void* block, ULONG tag, const char* api) {
    Header* h = HeaderOf(block);
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_live.erase(block) == 0) {
        VerifierStop(rule::kDoubleFree, api,
                     "%p is not a live pool block (freed twice, or never allocated)", block);
    }
    if (tag != 0 && h->Tag != tag) {
        VerifierStop(rule::kPoolTagMismatch, api, "block %p has tag 0x%08x, freed with 0x%08x",
                     block, h->Tag, tag);
    }
    UCHAR* body = Body(h);
    SIZE_T slack = RawSize(h->Size) - sizeof(Header) - h->Size;
    asan::Unpoison(body + h->Size, slack);
    for (SIZE_T i = 0; i < slack; ++i) {
        if (body[h->Size + i] != kGuardFill) {
            VerifierStop(rule::kPoolGuardOverwritten, api,
                         "block %p (tag 0x%08x) of %zu bytes was written %zu byte(s) past its end",
                         block, h->Tag, static_cast<size_t>(h->Size), static_cast<size_t>(i + 1));
        }
    }
    --g_outstanding[h->Tag];
    h->Magic = kFreedMagic;
    memset(body, kFreedFill, h->Size);
    if (kQuarantineBlocks == 0) {
        free(h);
        return;
    }
    g_freedRanges[reinterpret_cast<const char*>(body)] =
        reinterpret_cast<const char*>(body) + h->Size;
    g_quarantine.push_back(h);
    if (g_quarantine.size() > kQuarantineBlocks) {
        Header* oldest = g_quarantine.front();
        g_quarantine.pop_front();
        Release(oldest);
    }
}

} // namespace

size_t OutstandingBlocks(ULONG tag) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_outstanding.find(tag);
    return it == g_outstanding.end() ? 0 : it->second;
}

std::map<ULONG, size_t> OutstandingBlocksByTag() {
    std::lock_guard<std::mutex> guard(g_lock);
    std::map<ULONG, size_t> byTag;
    for (const auto& tagged : g_outstanding) {
        if (tagged.second != 0) {
            byTag.insert(tagged);
        }
    }
    return byTag;
}

size_t OutstandingBlocks() {
    std::lock_guard<std::mutex> guard(g_lock);
    size_t blocks = 0;
    for (const auto& tagged : g_outstanding) {
        blocks += tagged.second;
    }
    return blocks;
}

void CheckFreedBlocks() {
    std::lock_guard<std::mutex> guard(g_lock);
    while (!g_quarantine.empty()) {
        Header* h = g_quarantine.front();
        g_quarantine.pop_front();
        Release(h);
    }
}

bool IsFreed(const void* address) {
    auto at = static_cast<const char*>(address);
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_freedRanges.upper_bound(at);
    if (it == g_freedRanges.begin()) {
        return false;
    }
    --it;
    return at >= it->first && at < it->second;
}

void* AllocateForSystem(SIZE_T bytes, ULONG tag) {
    return Allocate(bytes, tag, NonPagedPool);
}

void FreeForSystem(void* block, ULONG tag) {
    Free(block, tag, "pool");
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
    return Allocate(NumberOfBytes, Tag, PoolType);
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
    Free(P, Tag, "ExFreePoolWithTag");
}

VOID ExFreePool(PVOID P) {
    ExFreePoolWithTag(P, 0);
}

} // extern "C"
