// Synchronous IRPs: built, sent, waited for and torn down by the I/O manager.
#include "sim/io/sync_call.h"

#include <condition_variable>
#include <memory>
#include <mutex>

#include "sim/core/verifier.h"
#include "sim/core/watchdog.h"
#include "sim/kernel/irp.h"

namespace sim::io {
namespace {

constexpr ULONG kSystemBufferTag = 'BsyS';
constexpr UCHAR kStaleSystemBufferFill = 0xA5;

struct Waiter {
    std::mutex lock;
    std::condition_variable done;
    bool completed = false;
    IoResult result{};
};

// The system buffer of a buffered request: input copied in now, the answer
// copied out at completion.
NTSTATUS LayOutSystemBuffer(PIRP irp, const void* input, ULONG inputLength, void* output,
                            ULONG outputLength, bool isDeviceControl,
                            std::function<void(PIRP)>* finish) {
    ULONG size = inputLength > outputLength ? inputLength : outputLength;
    PVOID system = nullptr;
    if (size != 0) {
        system = ExAllocatePoolWithTag(NonPagedPool, size, kSystemBufferTag);
        if (system == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        // Not zeroed: past the input, the buffer holds whatever the pool
        // held before, as on Windows.
        RtlFillMemory(system, size, kStaleSystemBufferFill);
        if (inputLength != 0 && input != nullptr) {
            RtlCopyMemory(system, input, inputLength);
        }
    }
    irp->AssociatedIrp.SystemBuffer = system;
    // A write's Information counts bytes taken, not bytes to copy back.
    bool informationIsOutput = isDeviceControl || output != nullptr;
    *finish = [system, output, outputLength, informationIsOutput](PIRP done) {
        if (informationIsOutput && CarriesData(done->IoStatus.Status)) {
            // The I/O manager copies Information bytes to the caller: more
            // than its buffer would overrun it.
            if (done->IoStatus.Information > outputLength) {
                VerifierStop(rule::kInformationTooLarge, "IoCompleteRequest",
                             "IRP %p completed with Information %llu for an output buffer of %lu "
                             "bytes (status 0x%08x)",
                             static_cast<void*>(done),
                             static_cast<unsigned long long>(done->IoStatus.Information),
                             static_cast<unsigned long>(outputLength),
                             static_cast<unsigned>(done->IoStatus.Status));
            }
            if (system != nullptr && output != nullptr) {
                RtlCopyMemory(output, system, done->IoStatus.Information);
            }
        }
        if (system != nullptr) {
            ExFreePoolWithTag(system, kSystemBufferTag);
        }
        done->AssociatedIrp.SystemBuffer = nullptr;
    };
    return STATUS_SUCCESS;
}

} // namespace

IoResult CallAndWait(PDEVICE_OBJECT device, PIRP irp, std::function<void(PIRP)> finish) {
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
        VerifierStop(rule::kBlockingWaitAtDispatch, "synchronous I/O",
                     "a synchronous request would block at IRQL %u", KeGetCurrentIrql());
    }
    auto waiter = std::make_shared<Waiter>();
    SetFinalCompletion(irp, [waiter, finish = std::move(finish)](PIRP done) {
        if (finish) {
            finish(done);
        }
        IoResult result{done->IoStatus.Status, done->IoStatus.Information};
        IoFreeIrp(done);
        std::lock_guard<std::mutex> guard(waiter->lock);
        waiter->result = result;
        waiter->completed = true;
        waiter->done.notify_all();
    });
    IoCallDriver(device, irp);
    std::unique_lock<std::mutex> lock(waiter->lock);
    watchdog::Wait(
        waiter->done, lock, [&] { return waiter->completed; }, "synchronous I/O",
        "the driver to complete a synchronous request");
    return waiter->result;
}

NTSTATUS LayOutIoctlBuffers(PIRP irp, ULONG code, const void* input, ULONG inputLength,
                            void* output, ULONG outputLength, std::function<void(PIRP)>* finish) {
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED:
        return LayOutSystemBuffer(irp, input, inputLength, output, outputLength, true, finish);
    case METHOD_NEITHER:
        stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
        irp->UserBuffer = output;
        *finish = nullptr;
        return STATUS_SUCCESS;
    default:
        // METHOD_IN_DIRECT and METHOD_OUT_DIRECT describe the output with an
        // MDL, which this I/O manager does not build yet.
        return STATUS_NOT_SUPPORTED;
    }
}

NTSTATUS LayOutTransferBuffers(PIRP irp, PDEVICE_OBJECT device, bool isWrite, void* buffer,
                               ULONG length, std::function<void(PIRP)>* finish) {
    if ((device->Flags & DO_BUFFERED_IO) != 0) {
        return isWrite ? LayOutSystemBuffer(irp, buffer, length, nullptr, 0, false, finish)
                       : LayOutSystemBuffer(irp, nullptr, 0, buffer, length, false, finish);
    }
    if ((device->Flags & DO_DIRECT_IO) != 0) {
        return STATUS_NOT_SUPPORTED; // the transfer travels in an MDL
    }
    irp->UserBuffer = buffer;
    *finish = nullptr;
    return STATUS_SUCCESS;
}

} // namespace sim::io

using namespace sim::io;

extern "C" {

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    if (DeviceObject == nullptr || IoStatusBlock == nullptr) {
        return nullptr;
    }
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (irp == nullptr) {
        return nullptr;
    }
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    std::function<void(PIRP)> copyBack;
    if (!NT_SUCCESS(LayOutIoctlBuffers(irp, IoControlCode, InputBuffer, InputBufferLength,
                                       OutputBuffer, OutputBufferLength, &copyBack))) {
        IoFreeIrp(irp);
        return nullptr;
    }
    // The answer is copied back before the caller's event is set, then the IRP
    // goes away: the caller only ever sees the status block.
    SetFinalCompletion(irp, [copyBack, Event, IoStatusBlock](PIRP done) {
        if (copyBack) {
            copyBack(done);
        }
        *IoStatusBlock = done->IoStatus;
        IoFreeIrp(done);
        if (Event != nullptr) {
            KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
        }
    });
    return irp;
}

} // extern "C"
