// Remote I/O targets and the requests a driver formats for targets:
// WdfIoTargetCreate, WdfIoTargetOpen (by name or an existing device),
// WdfIoTargetClose, WdfIoTargetSendIoctlSynchronously and
// WdfIoTargetFormatRequestForRead.
#include "sim/core/fault.h"
#include "sim/core/utf.h"
#include "sim/core/verifier.h"
#include "sim/io/device_object.h"
#include "sim/io/file.h"
#include "sim/io/sync_call.h"
#include "sim/io/target_notification.h"
#include "sim/kernel/irql_check.h"
#include "sim/wdf/io_target.h"
#include "sim/wdf/memory.h"

namespace sim::wdf {
namespace {

// Opens the file of a target opened by name and starts listening for the
// removal of the stack it is on.
NTSTATUS OpenTargetFile(IoTarget* target) {
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = io::OpenFile(target->openedName, target->openedAccess, KernelMode, &file,
                                   target->openedShareAccess, target->openedCreateOptions);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    target->file = file;
    target->SetDestination(IoGetRelatedDeviceObject(file));
    return STATUS_SUCCESS;
}

// Closes what the target holds: every request still out is cancelled and
// waited for, then the file goes.
void CloseTargetFile(IoTarget* target, const char* api) {
    target->Purge(api);
    if (target->file != nullptr) {
        PFILE_OBJECT file = target->file;
        target->file = nullptr;
        io::CloseFile(file);
    }
    target->SetDestination(nullptr);
}

void StopListening(IoTarget* target) {
    if (target->removalListener != nullptr) {
        void* token = target->removalListener;
        target->removalListener = nullptr;
        io::UnregisterTargetListener(token);
    }
}

// What the framework does for a remote target without removal callbacks:
// closes it when its device is about to be removed, and opens it again when
// the removal is cancelled.
void OnTargetEvent(IoTarget* target, io::TargetEvent event) {
    WDFIOTARGET handle = target->HandleAs<WDFIOTARGET>();
    std::lock_guard<std::mutex> guard(target->openLock);
    switch (event) {
    case io::TargetEvent::QueryRemove:
        if (target->file == nullptr) {
            return;
        }
        if (target->openParams.EvtIoTargetQueryRemove != nullptr) {
            // The driver's callback decides; it closes the target itself.
            (void)target->openParams.EvtIoTargetQueryRemove(handle);
            return;
        }
        CloseTargetFile(target, "query-remove of an I/O target's device");
        target->closedForQueryRemove = true;
        return;
    case io::TargetEvent::RemoveCancelled:
        if (target->openParams.EvtIoTargetRemoveCanceled != nullptr) {
            target->openParams.EvtIoTargetRemoveCanceled(handle);
        } else if (target->closedForQueryRemove) {
            target->closedForQueryRemove = false;
            (void)OpenTargetFile(target);
        }
        return;
    case io::TargetEvent::RemoveComplete:
        target->closedForQueryRemove = false;
        if (target->openParams.EvtIoTargetRemoveComplete != nullptr) {
            target->openParams.EvtIoTargetRemoveComplete(handle);
        } else if (target->file != nullptr) {
            CloseTargetFile(target, "removal of an I/O target's device");
        }
        return;
    }
}

// The bytes a memory descriptor names; false for a kind that is not modelled.
bool DescribedBuffer(PWDF_MEMORY_DESCRIPTOR descriptor, const char* api, PVOID* buffer,
                     ULONG* length) {
    *buffer = nullptr;
    *length = 0;
    if (descriptor == nullptr) {
        return true;
    }
    switch (descriptor->Type) {
    case WdfMemoryDescriptorTypeBuffer:
        *buffer = descriptor->u.BufferType.Buffer;
        *length = descriptor->u.BufferType.Length;
        return true;
    case WdfMemoryDescriptorTypeHandle: {
        auto* memory = LookupAs<Memory>(descriptor->u.HandleType.Memory, Kind::Memory, api);
        size_t offset = 0;
        size_t size = memory->size;
        if (descriptor->u.HandleType.Offsets != nullptr) {
            offset = descriptor->u.HandleType.Offsets->BufferOffset;
            size = descriptor->u.HandleType.Offsets->BufferLength;
            if (offset > memory->size || size > memory->size - offset) {
                return false;
            }
        }
        *buffer = static_cast<UCHAR*>(memory->buffer) + offset;
        *length = static_cast<ULONG>(size);
        return true;
    }
    default:
        return false;
    }
}

} // namespace

void IoTarget::OnCleanup() {
    if (remote) {
        StopListening(this);
        std::lock_guard<std::mutex> guard(openLock);
        if (file != nullptr) {
            CloseTargetFile(this, "deletion of an I/O target");
        }
    }
}

} // namespace sim::wdf

using namespace sim::wdf;

extern "C" {

NTSTATUS WdfIoTargetCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES IoTargetAttributes,
                           WDFIOTARGET* IoTarget) {
    sim::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "WdfIoTargetCreate");
    auto* device = LookupAs<sim::wdf::Device>(Device, Kind::Device, "WdfIoTargetCreate");
    if (IoTarget == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *IoTarget = nullptr;
    NTSTATUS status;
    if (sim::fault::ShouldFail("WdfIoTargetCreate", &status)) {
        return status;
    }
    auto* target = new sim::wdf::IoTarget();
    target->remote = true;
    target->accepting = false; // until opened
    target->device = device;
    status = Attach(target, IoTargetAttributes, device, "WdfIoTargetCreate");
    if (!NT_SUCCESS(status)) {
        delete target;
        return status;
    }
    *IoTarget = target->HandleAs<WDFIOTARGET>();
    return STATUS_SUCCESS;
}

NTSTATUS WdfIoTargetOpen(WDFIOTARGET IoTarget, PWDF_IO_TARGET_OPEN_PARAMS OpenParams) {
    sim::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "WdfIoTargetOpen");
    auto* target = LookupAs<sim::wdf::IoTarget>(IoTarget, Kind::IoTarget, "WdfIoTargetOpen");
    if (OpenParams == nullptr || OpenParams->Size != sizeof(WDF_IO_TARGET_OPEN_PARAMS)) {
        sim::VerifierStop(sim::rule::kBadConfigSize, "WdfIoTargetOpen",
                          "WDF_IO_TARGET_OPEN_PARAMS missing or of the wrong Size");
    }
    if (!target->remote) {
        sim::VerifierStop(sim::rule::kIllegalDelete, "WdfIoTargetOpen",
                          "I/O target %p is a device's default target, which the framework "
                          "opens and closes",
                          static_cast<void*>(IoTarget));
    }
    NTSTATUS status;
    if (sim::fault::ShouldFail("WdfIoTargetOpen", &status)) {
        return status;
    }
    std::unique_lock<std::mutex> guard(target->openLock);
    if (target->file != nullptr || target->targetDevice != nullptr) {
        return STATUS_INVALID_DEVICE_STATE; // open already: close it first
    }
    switch (OpenParams->Type) {
    case WdfIoTargetOpenUseExistingDevice:
        if (OpenParams->TargetDeviceObject == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        target->openParams = *OpenParams;
        target->SetDestination(OpenParams->TargetDeviceObject);
        return STATUS_SUCCESS;
    case WdfIoTargetOpenByName:
        break;
    default:
        return STATUS_NOT_SUPPORTED;
    }
    const UNICODE_STRING& name = OpenParams->TargetDeviceName;
    if (name.Buffer == nullptr || name.Length == 0 || (name.Length % sizeof(WCHAR)) != 0 ||
        name.Length > name.MaximumLength) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (OpenParams->CreateDisposition != FILE_OPEN &&
        OpenParams->CreateDisposition != FILE_OPEN_IF) {
        return STATUS_INVALID_PARAMETER; // a device is opened, never created
    }
    target->openParams = *OpenParams;
    target->openParams.TargetDeviceName = UNICODE_STRING{};
    target->openedName = sim::Utf16ToUtf8(name);
    target->openedAccess = OpenParams->DesiredAccess;
    target->openedShareAccess = OpenParams->ShareAccess;
    target->openedCreateOptions = OpenParams->CreateOptions;
    status = OpenTargetFile(target);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_OBJECT pdo = sim::io::BottomOfStack(target->targetDevice);
    guard.unlock();
    target->removalListener = sim::io::RegisterTargetListener(
        pdo, [target](sim::io::TargetEvent event) { OnTargetEvent(target, event); });
    return STATUS_SUCCESS;
}

VOID WdfIoTargetClose(WDFIOTARGET IoTarget) {
    sim::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "WdfIoTargetClose");
    auto* target = LookupAs<sim::wdf::IoTarget>(IoTarget, Kind::IoTarget, "WdfIoTargetClose");
    if (!target->remote) {
        sim::VerifierStop(sim::rule::kIllegalDelete, "WdfIoTargetClose",
                          "I/O target %p is a device's default target, which the framework "
                          "opens and closes",
                          static_cast<void*>(IoTarget));
    }
    // Not listening any more before the lock: a removal being handled now
    // finishes first.
    StopListening(target);
    std::lock_guard<std::mutex> guard(target->openLock);
    target->closedForQueryRemove = false;
    CloseTargetFile(target, "WdfIoTargetClose");
}

NTSTATUS WdfIoTargetSendIoctlSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                           ULONG IoctlCode, PWDF_MEMORY_DESCRIPTOR InputBuffer,
                                           PWDF_MEMORY_DESCRIPTOR OutputBuffer,
                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                           PULONG_PTR BytesReturned) {
    const char* api = "WdfIoTargetSendIoctlSynchronously";
    sim::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, api);
    auto* target = LookupAs<sim::wdf::IoTarget>(IoTarget, Kind::IoTarget, api);
    if (BytesReturned != nullptr) {
        *BytesReturned = 0;
    }
    if (RequestOptions != nullptr && RequestOptions->Size != sizeof(WDF_REQUEST_SEND_OPTIONS)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (Request != nullptr || (RequestOptions != nullptr &&
                               (RequestOptions->Flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) != 0)) {
        // A request of the driver's own and time-outs are not modelled:
        // refused, not faked.
        return STATUS_NOT_SUPPORTED;
    }
    PVOID input;
    ULONG inputLength;
    PVOID output;
    ULONG outputLength;
    if (!DescribedBuffer(InputBuffer, api, &input, &inputLength) ||
        !DescribedBuffer(OutputBuffer, api, &output, &outputLength)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status;
    if (sim::fault::ShouldFail(api, &status)) {
        return status;
    }
    if (!target->accepting || target->targetDevice == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PIRP irp = IoAllocateIrp(target->targetDevice->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->FileObject = target->file;
    stack->Parameters.DeviceIoControl.IoControlCode = IoctlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    std::function<void(PIRP)> finish;
    status = sim::io::LayOutIoctlBuffers(irp, IoctlCode, input, inputLength, output, outputLength,
                                         &finish);
    if (!NT_SUCCESS(status)) {
        IoFreeIrp(irp);
        return status;
    }
    sim::io::IoResult result = sim::io::CallAndWait(target->targetDevice, irp, finish);
    if (BytesReturned != nullptr) {
        *BytesReturned = result.information;
    }
    return result.status;
}

NTSTATUS WdfIoTargetFormatRequestForRead(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                         WDFMEMORY OutputBuffer,
                                         PWDFMEMORY_OFFSET OutputBufferOffset,
                                         PLONGLONG DeviceOffset) {
    const char* api = "WdfIoTargetFormatRequestForRead";
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, api);
    auto* target = LookupAs<sim::wdf::IoTarget>(IoTarget, Kind::IoTarget, api);
    auto* request = LookupAs<sim::wdf::Request>(Request, Kind::Request, api);
    if (request->target != nullptr) {
        sim::VerifierStop(sim::rule::kRequestNotOwned, api,
                          "WDFREQUEST %p is still at an I/O target", static_cast<void*>(Request));
    }
    NTSTATUS status;
    if (sim::fault::ShouldFail(api, &status)) {
        return status;
    }
    // A removal may be closing the target on the PnP thread: the request is
    // formatted for the target open or refused for it closed, not a mix.
    std::lock_guard<std::mutex> guard(target->openLock);
    if (target->targetDevice == nullptr) {
        return STATUS_INVALID_DEVICE_STATE; // never opened, or closed
    }
    Memory* memory = nullptr;
    UCHAR* buffer = nullptr;
    size_t length = 0;
    if (OutputBuffer != nullptr) {
        memory = LookupAs<Memory>(OutputBuffer, Kind::Memory, api);
        buffer = static_cast<UCHAR*>(memory->buffer);
        length = memory->size;
        if (OutputBufferOffset != nullptr) {
            size_t offset = OutputBufferOffset->BufferOffset;
            size_t count = OutputBufferOffset->BufferLength;
            if (offset > memory->size || count > memory->size - offset) {
                return STATUS_INVALID_BUFFER_SIZE;
            }
            buffer += offset;
            length = count;
        }
    }
    if (length > MAXULONG) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    PDEVICE_OBJECT device = target->targetDevice;
    // The framework's own IRP grows for a target deeper than the one it was
    // created for; one that came with a request from above cannot.
    if (request->irp->StackCount < device->StackSize) {
        if (!request->driverCreated) {
            return STATUS_REQUEST_NOT_ACCEPTED;
        }
        PIRP bigger = IoAllocateIrp(device->StackSize, FALSE);
        if (bigger == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        request->ReleaseFormat();
        IoFreeIrp(request->irp);
        request->irp = bigger;
    }
    request->ReleaseFormat();
    PIRP irp = request->irp;
    IoReuseIrp(irp, STATUS_SUCCESS);
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    RtlZeroMemory(stack, sizeof(*stack));
    stack->MajorFunction = IRP_MJ_READ;
    stack->FileObject = target->file;
    stack->Parameters.Read.Length = static_cast<ULONG>(length);
    stack->Parameters.Read.ByteOffset.QuadPart = DeviceOffset != nullptr ? *DeviceOffset : 0;
    irp->AssociatedIrp.SystemBuffer = nullptr;
    irp->UserBuffer = nullptr;
    irp->MdlAddress = nullptr;
    if ((device->Flags & DO_BUFFERED_IO) != 0) {
        irp->AssociatedIrp.SystemBuffer = buffer;
    } else if ((device->Flags & DO_DIRECT_IO) != 0 && length != 0) {
        PMDL mdl = IoAllocateMdl(buffer, static_cast<ULONG>(length), FALSE, FALSE, nullptr);
        if (mdl == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        MmBuildMdlForNonPagedPool(mdl);
        irp->MdlAddress = mdl;
        request->formattedMdl = mdl;
    } else {
        irp->UserBuffer = buffer;
    }
    if (memory != nullptr) {
        // The memory stays alive while the request may still write into it.
        Reference(memory);
        request->formattedMemory = memory;
    }
    request->formatted = true;
    return STATUS_SUCCESS;
}

} // extern "C"
