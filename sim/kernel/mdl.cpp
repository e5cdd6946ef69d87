// Memory descriptor lists. Every address of the simulator is resident, so
// locking only records that the pages are locked; mapping gives a view of
// exactly the described bytes with a guard after them (sim/kernel/mdl_mapping),
// as the special pool would. What is checked is the order Windows demands:
// pages locked (or nonpaged) before they are mapped, unlocked before the MDL
// is freed, and nothing written past the mapping's end.
#include "sim/core/fault.h"
#include "sim/core/verifier.h"
#include "sim/kernel/irql_check.h"
#include "sim/kernel/mdl_mapping.h"
#include "ntddk.h"

namespace {

constexpr ULONG kMdlPoolTag = ' ldM';
constexpr ULONG kMaxMdlBytes = 0xFFFFFFFF - 2 * PAGE_SIZE;

// The MDL describes resident pages: record their frame numbers.
void FillPageFrames(PMDL mdl) {
    PPFN_NUMBER pfn = MmGetMdlPfnArray(mdl);
    SIZE_T pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
    for (SIZE_T i = 0; i < pages; ++i) {
        pfn[i] = (reinterpret_cast<ULONG_PTR>(mdl->StartVa) >> PAGE_SHIFT) + i;
    }
}

} // namespace

extern "C" {

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                   PIRP Irp) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
    if (Length == 0 || Length > kMaxMdlBytes) {
        return nullptr;
    }
    if (sim::fault::ShouldFail("IoAllocateMdl", nullptr)) {
        return nullptr;
    }
    SIZE_T pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
    SIZE_T size = sizeof(MDL) + pages * sizeof(PFN_NUMBER);
    if (size > MAXUSHORT / 2) { // CSHORT Size: larger buffers take several MDLs
        return nullptr;
    }
    auto mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, size, kMdlPoolTag));
    if (mdl == nullptr) {
        return nullptr;
    }
    RtlZeroMemory(mdl, size);
    mdl->Size = static_cast<CSHORT>(size);
    mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
    mdl->StartVa = PAGE_ALIGN(VirtualAddress);
    mdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
    mdl->ByteCount = Length;
    if (Irp != nullptr) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL last = Irp->MdlAddress;
            while (last != nullptr && last->Next != nullptr) {
                last = last->Next;
            }
            if (last == nullptr) {
                Irp->MdlAddress = mdl;
            } else {
                last->Next = mdl;
            }
        }
    }
    return mdl;
}

VOID IoFreeMdl(PMDL Mdl) {
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeMdl");
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
        sim::VerifierStop(sim::rule::kMdlStillLocked, "IoFreeMdl",
                          "MDL %p is freed with its pages still locked (MmUnlockPages first)",
                          static_cast<void*>(Mdl));
    }
    // Nonpaged pool stays mapped for the MDL's life.
    sim::mdl::ReleaseMapping(Mdl, "IoFreeMdl");
    ExFreePoolWithTag(Mdl, kMdlPoolTag);
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    PMDL mdl = MemoryDescriptorList;
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "MmBuildMdlForNonPagedPool");
    if (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL)) {
        sim::VerifierStop(sim::rule::kMdlMisuse, "MmBuildMdlForNonPagedPool",
                          "MDL %p already describes locked or mapped pages (flags 0x%x)",
                          static_cast<void*>(mdl), static_cast<unsigned>(mdl->MdlFlags));
    }
    FillPageFrames(mdl);
    mdl->MappedSystemVa = sim::mdl::CreateMapping(mdl);
    if (mdl->MappedSystemVa == nullptr) {
        sim::VerifierStop(sim::rule::kMdlMisuse, "MmBuildMdlForNonPagedPool",
                          "no memory left to map MDL %p", static_cast<void*>(mdl));
    }
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                         LOCK_OPERATION Operation) {
    UNREFERENCED_PARAMETER(AccessMode);
    UNREFERENCED_PARAMETER(Operation);
    PMDL mdl = MemoryDescriptorList;
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "MmProbeAndLockPages");
    if (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) {
        sim::VerifierStop(sim::rule::kMdlMisuse, "MmProbeAndLockPages",
                          "MDL %p is already locked or describes nonpaged pool (flags 0x%x)",
                          static_cast<void*>(mdl), static_cast<unsigned>(mdl->MdlFlags));
    }
    FillPageFrames(mdl);
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
}

VOID MmUnlockPages(PMDL MemoryDescriptorList) {
    PMDL mdl = MemoryDescriptorList;
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "MmUnlockPages");
    if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) {
        sim::VerifierStop(sim::rule::kMdlMisuse, "MmUnlockPages", "MDL %p is not locked",
                          static_cast<void*>(mdl));
    }
    // Unlocking also tears down the system mapping.
    sim::mdl::ReleaseMapping(mdl, "MmUnlockPages");
    mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
    mdl->MappedSystemVa = nullptr;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                   ULONG BugCheckOnFailure, ULONG Priority) {
    UNREFERENCED_PARAMETER(CacheType);
    UNREFERENCED_PARAMETER(Priority);
    PMDL mdl = MemoryDescriptorList;
    sim::kernel::RequireIrqlAtMost(AccessMode == KernelMode ? DISPATCH_LEVEL : APC_LEVEL,
                                   "MmMapLockedPagesSpecifyCache");
    // A partial MDL is mapped only while the pages it borrows are locked.
    if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) {
        sim::VerifierStop(sim::rule::kMdlMisuse, "MmMapLockedPagesSpecifyCache",
                          "MDL %p maps pages that are neither locked nor nonpaged%s (flags 0x%x)",
                          static_cast<void*>(mdl),
                          (mdl->MdlFlags & MDL_PARTIAL) ? " (an unlocked partial MDL)" : "",
                          static_cast<unsigned>(mdl->MdlFlags));
    }
    if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
        sim::VerifierStop(sim::rule::kMdlMisuse, "MmMapLockedPagesSpecifyCache",
                          "MDL %p is already mapped at %p: a second mapping leaks the first "
                          "(use MmGetSystemAddressForMdlSafe, which reuses it)",
                          static_cast<void*>(mdl), mdl->MappedSystemVa);
    }
    if (RequestedAddress != nullptr || AccessMode != KernelMode) {
        return nullptr; // only system-space mappings exist here
    }
    NTSTATUS ignored;
    if (sim::fault::ShouldFail("MmMapLockedPagesSpecifyCache", &ignored)) {
        if (BugCheckOnFailure) {
            sim::VerifierStop(sim::rule::kMdlMisuse, "MmMapLockedPagesSpecifyCache",
                              "mapping MDL %p failed with BugCheckOnFailure set",
                              static_cast<void*>(mdl));
        }
        return nullptr;
    }
    if (mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) {
        return mdl->MappedSystemVa; // mapped since it was built
    }
    PVOID view = sim::mdl::CreateMapping(mdl);
    if (view == nullptr) {
        if (BugCheckOnFailure) {
            sim::VerifierStop(sim::rule::kMdlMisuse, "MmMapLockedPagesSpecifyCache",
                              "mapping MDL %p failed with BugCheckOnFailure set",
                              static_cast<void*>(mdl));
        }
        return nullptr;
    }
    mdl->MappedSystemVa = view;
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return view;
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
    PMDL mdl = MemoryDescriptorList;
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "MmUnmapLockedPages");
    if (!(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) || BaseAddress != mdl->MappedSystemVa) {
        sim::VerifierStop(sim::rule::kMdlMisuse, "MmUnmapLockedPages",
                          "%p is not the system mapping of MDL %p", BaseAddress,
                          static_cast<void*>(mdl));
    }
    sim::mdl::ReleaseMapping(mdl, "MmUnmapLockedPages");
    mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
    mdl->MappedSystemVa = nullptr;
}

} // extern "C"
