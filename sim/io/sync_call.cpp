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

struct Waiter {
    std::mutex lock;
    std::condition_variable done;
    bool completed = false;
    IoResult result{};
};

// The system buffer of a buffered request: input copied in now, the answer
// copied out at completion.
NTSTATUS LayOutSystemBuffer(PIRP irp, const void* input, ULONG inputLength, void* output,
                            ULONG outputLength, std::function<void(PIRP)>* finish) {
    ULONG size = inputLength > outputLength ? inputLength : outputLength;
    PVOID system = nullptr;
    if (size != 0) {
        system = ExAllocatePoolWithTag(NonPagedPool, size, kSystemBufferTag);
        if (system == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(system, size);
        if (inputLength != 0 && input != nullptr) {
            RtlCopyMemory(system, input, inputLength);
        }
    }
    irp->AssociatedIrp.SystemBuffer = system;
    *finish = [system, output, outputLength](PIRP done) {
        if (system != nullptr && output != nullptr && CarriesData(done->IoStatus.Status)) {
            // Never more than the caller's buffer, whatever the driver claims.
            ULONG_PTR count = done->IoStatus.Information < outputLength ? done->IoStatus.Information
                                                                        : outputLength;
            RtlCopyMemory(output, system, count);
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
        return LayOutSystemBuffer(irp, input, inputLength, output, outputLength, finish);
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
        return isWrite ? LayOutSystemBuffer(irp, buffer, length, nullptr, 0, finish)
                       : LayOutSystemBuffer(irp, nullptr, 0, buffer, length, finish);
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
