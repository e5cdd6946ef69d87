// Framework requests: presentation, parameters and buffers, completion.
#include "sim/wdf/request.h"

#include "sim/core/verifier.h"
#include "sim/kernel/irql_check.h"
#include "sim/wdf/file_object.h"
#include "sim/wdf/queue.h"

namespace sim::wdf {
namespace {

Request* LookupRequest(WDFREQUEST handle, const char* api) {
    auto* request = LookupAs<Request>(handle, Kind::Request, api);
    if (request->target != nullptr) {
        VerifierStop(rule::kRequestNotOwned, api,
                     "WDFREQUEST %p is at an I/O target; it is the driver's again in its "
                     "completion routine",
                     static_cast<void*>(handle));
    }
    return request;
}

// Where a request's buffers are, by its type and the device's transfer method.
NTSTATUS LocateBuffer(Request* request, bool output, PVOID* buffer, size_t* length) {
    PIRP irp = request->irp;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool bufferedDevice = (request->device->wdm->Flags & DO_BUFFERED_IO) != 0;
    switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
        ULONG method = METHOD_FROM_CTL_CODE(stack->Parameters.DeviceIoControl.IoControlCode);
        if (method == METHOD_NEITHER) {
            return STATUS_INVALID_DEVICE_REQUEST; // only the unsafe retrievals reach these
        }
        if (output && method != METHOD_BUFFERED) {
            return STATUS_NOT_SUPPORTED; // the output travels in an MDL
        }
        *buffer = irp->AssociatedIrp.SystemBuffer;
        *length = output ? stack->Parameters.DeviceIoControl.OutputBufferLength
                         : stack->Parameters.DeviceIoControl.InputBufferLength;
        return STATUS_SUCCESS;
    }
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
        if (output != (stack->MajorFunction == IRP_MJ_READ)) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (!bufferedDevice) {
            return STATUS_NOT_SUPPORTED;
        }
        *buffer = irp->AssociatedIrp.SystemBuffer;
        *length = output ? stack->Parameters.Read.Length : stack->Parameters.Write.Length;
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS RetrieveBuffer(WDFREQUEST handle, size_t minimum, PVOID* buffer, size_t* length,
                        bool output, const char* api) {
    kernel::RequireIrqlAtMost(DISPATCH_LEVEL, api);
    Request* request = LookupRequest(handle, api);
    if (buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *buffer = nullptr;
    if (length != nullptr) {
        *length = 0;
    }
    PVOID found = nullptr;
    size_t size = 0;
    NTSTATUS status = LocateBuffer(request, output, &found, &size);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (size == 0 || found == nullptr || size < minimum) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *buffer = found;
    if (length != nullptr) {
        *length = size;
    }
    return STATUS_SUCCESS;
}

} // namespace

Request* PresentRequest(Device* device, Queue* queue, PIRP irp) {
    auto* request = new Request();
    request->irp = irp;
    request->device = device;
    request->queue = queue;
    request->status = irp->IoStatus.Status;
    Object* parent = queue != nullptr ? static_cast<Object*>(queue) : device;
    Attach(request, nullptr, parent, "request presentation");
    device->RequestPresented();
    IoMarkIrpPending(irp);
    return request;
}

void CompleteRequest(Request* request, NTSTATUS status, ULONG_PTR information, const char* api) {
    PIRP irp = request->irp;
    Device* device = request->device;
    FileObject* file = request->createdFile;
    if (file != nullptr && !NT_SUCCESS(status)) {
        DeleteFileObject(file); // the open failed: there is no file to keep
    }
    Delete(request, api);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    device->RequestFinished();
}

} // namespace sim::wdf

using namespace sim::wdf;

extern "C" {

VOID WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters) {
    sim::wdf::Request* request = LookupRequest(Request, "WdfRequestGetParameters");
    if (Parameters == nullptr || Parameters->Size != sizeof(WDF_REQUEST_PARAMETERS)) {
        sim::VerifierStop(sim::rule::kBadConfigSize, "WdfRequestGetParameters",
                          "WDF_REQUEST_PARAMETERS missing or of the wrong Size");
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(request->irp);
    WDF_REQUEST_PARAMETERS_INIT(Parameters);
    Parameters->Type = static_cast<WDF_REQUEST_TYPE>(stack->MajorFunction);
    Parameters->MinorFunction = stack->MinorFunction;
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        Parameters->Parameters.Create.SecurityContext = stack->Parameters.Create.SecurityContext;
        Parameters->Parameters.Create.Options = stack->Parameters.Create.Options;
        Parameters->Parameters.Create.FileAttributes = stack->Parameters.Create.FileAttributes;
        Parameters->Parameters.Create.ShareAccess = stack->Parameters.Create.ShareAccess;
        Parameters->Parameters.Create.EaLength = stack->Parameters.Create.EaLength;
        break;
    case IRP_MJ_READ:
        Parameters->Parameters.Read.Length = stack->Parameters.Read.Length;
        Parameters->Parameters.Read.Key = stack->Parameters.Read.Key;
        Parameters->Parameters.Read.DeviceOffset = stack->Parameters.Read.ByteOffset.QuadPart;
        break;
    case IRP_MJ_WRITE:
        Parameters->Parameters.Write.Length = stack->Parameters.Write.Length;
        Parameters->Parameters.Write.Key = stack->Parameters.Write.Key;
        Parameters->Parameters.Write.DeviceOffset = stack->Parameters.Write.ByteOffset.QuadPart;
        break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
        const auto& io = stack->Parameters.DeviceIoControl;
        Parameters->Parameters.DeviceIoControl.OutputBufferLength = io.OutputBufferLength;
        Parameters->Parameters.DeviceIoControl.InputBufferLength = io.InputBufferLength;
        Parameters->Parameters.DeviceIoControl.IoControlCode = io.IoControlCode;
        Parameters->Parameters.DeviceIoControl.Type3InputBuffer = io.Type3InputBuffer;
        break;
    }
    default:
        Parameters->Parameters.Others.Arg1 = stack->Parameters.Others.Argument1;
        Parameters->Parameters.Others.Arg2 = stack->Parameters.Others.Argument2;
        Parameters->Parameters.Others.Arg4 = stack->Parameters.Others.Argument4;
        break;
    }
}

NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength,
                                       PVOID* Buffer, size_t* Length) {
    return RetrieveBuffer(Request, MinimumRequiredLength, Buffer, Length, false,
                          "WdfRequestRetrieveInputBuffer");
}

NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength,
                                        PVOID* Buffer, size_t* Length) {
    return RetrieveBuffer(Request, MinimumRequiredLength, Buffer, Length, true,
                          "WdfRequestRetrieveOutputBuffer");
}

WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request) {
    sim::wdf::Request* request = LookupRequest(Request, "WdfRequestGetFileObject");
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(request->irp)->FileObject;
    FileObject* object = file != nullptr ? FindFileObject(request->device, file) : nullptr;
    return object != nullptr ? object->HandleAs<WDFFILEOBJECT>() : nullptr;
}

WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST Request) {
    sim::wdf::Request* request = LookupRequest(Request, "WdfRequestGetIoQueue");
    return request->queue != nullptr ? request->queue->HandleAs<WDFQUEUE>() : nullptr;
}

PIRP WdfRequestWdmGetIrp(WDFREQUEST Request) {
    return LookupRequest(Request, "WdfRequestWdmGetIrp")->irp;
}

KPROCESSOR_MODE WdfRequestGetRequestorMode(WDFREQUEST Request) {
    return LookupRequest(Request, "WdfRequestGetRequestorMode")->irp->RequestorMode;
}

VOID WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status) {
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestComplete");
    sim::wdf::Request* request = LookupRequest(Request, "WdfRequestComplete");
    CompleteRequest(request, Status, request->irp->IoStatus.Information, "WdfRequestComplete");
}

VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information) {
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestCompleteWithInformation");
    CompleteRequest(LookupRequest(Request, "WdfRequestCompleteWithInformation"), Status,
                    Information, "WdfRequestCompleteWithInformation");
}

VOID WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information) {
    LookupRequest(Request, "WdfRequestSetInformation")->irp->IoStatus.Information = Information;
}

ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request) {
    return LookupRequest(Request, "WdfRequestGetInformation")->irp->IoStatus.Information;
}

NTSTATUS WdfRequestGetStatus(WDFREQUEST Request) {
    // Allowed while the request is out: it reads what is known so far.
    return LookupAs<sim::wdf::Request>(Request, Kind::Request, "WdfRequestGetStatus")->status;
}

} // extern "C"
