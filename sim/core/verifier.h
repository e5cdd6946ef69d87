// The simulator's Driver Verifier: a broken kernel or framework rule stops
// the program with a message naming the rule and where it was broken.
#pragma once

namespace sim {

// Rule names, so tests can expect them and messages stay consistent.
namespace rule {
inline constexpr const char* kPagedCodeAtRaisedIrql = "paged code at raised IRQL";
inline constexpr const char* kMutexNotOwned = "mutex released by a thread that does not own it";
inline constexpr const char* kBlockingWaitAtDispatch = "blocking wait at DISPATCH_LEVEL";
inline constexpr const char* kIrqlTransition = "invalid IRQL transition";
inline constexpr const char* kInvalidHandle = "invalid or deleted framework handle";
inline constexpr const char* kWrongHandleType = "framework handle of the wrong type";
inline constexpr const char* kObjectsLeftOver = "framework objects left over";
inline constexpr const char* kBadAttributes = "malformed WDF_OBJECT_ATTRIBUTES";
inline constexpr const char* kPoolTagMismatch = "pool freed with a different tag";
inline constexpr const char* kDoubleFree = "pool block freed twice or never allocated";
inline constexpr const char* kIllegalDelete = "framework object the driver may not delete";
inline constexpr const char* kIrqlTooHigh = "service called above its IRQL";
inline constexpr const char* kIrpCompletedTwice = "IRP completed twice";
inline constexpr const char* kIrpNotLive = "IRP used after it was freed, or never allocated";
inline constexpr const char* kIrpCompletedWithCancelRoutine =
    "IRP completed with its cancel routine set";
inline constexpr const char* kIrpCompletedPending = "IRP completed with STATUS_PENDING";
inline constexpr const char* kIrpStackOverflow = "IRP has no stack location left";
inline constexpr const char* kSpinLockNotHeld =
    "spin lock released by a thread that does not hold it";
inline constexpr const char* kSpinLockRecursion = "spin lock acquired by the thread that holds it";
inline constexpr const char* kListCorrupted = "corrupted LIST_ENTRY";
inline constexpr const char* kMdlMisuse = "MDL used out of order";
inline constexpr const char* kMdlStillLocked = "MDL freed with its pages locked";
inline constexpr const char* kMdlMappingOverrun =
    "MDL mapping overrun (written past the bytes the MDL describes)";
inline constexpr const char* kWorkItemQueuedTwice = "work item queued while already queued";
inline constexpr const char* kWorkItemFreedWhileQueued = "work item freed while queued";
inline constexpr const char* kWorkItemRaisedIrql = "work item returned at raised IRQL";
inline constexpr const char* kWorkItemParent = "work item parent must be a device or a queue";
inline constexpr const char* kWorkItemFlushFromCallback = "work item flushed from its own callback";
inline constexpr const char* kBadConfigSize =
    "framework configuration structure with a wrong Size (use its _INIT function)";
inline constexpr const char* kDeviceInitMisuse =
    "WDFDEVICE_INIT used after WdfDeviceCreate took it";
inline constexpr const char* kRequestNotFormatted = "request sent without being formatted";
inline constexpr const char* kSendAndForgetMisuse =
    "send-and-forget request with a completion routine";
inline constexpr const char* kRequestNotCompleted =
    "request not completed before its device was removed";
inline constexpr const char* kRequestNotOwned = "request used after the driver gave it away";
inline constexpr const char* kNotPhysicalDevice = "PnP service called for a device that is no PDO";
inline constexpr const char* kDeviceStillAttached =
    "device object deleted while still part of a device stack";
inline constexpr const char* kInvalidKernelHandle = "kernel handle closed twice or never opened";
inline constexpr const char* kChildInitMisuse =
    "WDFDEVICE_INIT of a child device misused (freed twice, never freed, or not a child's)";
inline constexpr const char* kStaticChildMisuse =
    "child device used with a parent that is not its own, or added twice";
inline constexpr const char* kPendingNotMarked =
    "STATUS_PENDING returned for an IRP not marked pending";
inline constexpr const char* kMarkedPendingNotReturned =
    "IRP marked pending but STATUS_PENDING not returned";
inline constexpr const char* kReturnedOtherThanCompleted =
    "IRP completed with one status, another returned";
inline constexpr const char* kRoutineChangedIrql = "routine returned at another IRQL";
inline constexpr const char* kRoutineReturnedOwningMutex = "routine returned owning a mutex";
inline constexpr const char* kWaitNeverEnded = "wait never ended";
inline constexpr const char* kPoolGuardOverwritten = "pool block overrun (guard bytes changed)";
inline constexpr const char* kFreedPoolWritten = "freed pool block written after it was freed";
inline constexpr const char* kFreedPoolUsed = "freed pool memory used";
inline constexpr const char* kInformationTooLarge =
    "Information larger than the request's output buffer";
inline constexpr const char* kRundownReleasedTooOften =
    "rundown protection released more often than it was acquired";
inline constexpr const char* kRundownWaitedTwice =
    "rundown protection waited for by two threads at once";
inline constexpr const char* kRundownReinitializedInUse =
    "rundown protection reinitialized before its rundown ended";
} // namespace rule

// Prints "QUILLEX VERIFIER STOP: <rule>", where it happened, the detail and
// a backtrace, then aborts.
[[noreturn]] void VerifierStop(const char* rule, const char* where, const char* detailFormat, ...)
    __attribute__((format(printf, 3, 4)));

} // namespace sim
