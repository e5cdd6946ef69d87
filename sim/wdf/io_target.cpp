// Sending requests to I/O targets: formatting, completion routines, send and
// send-and-forget, and the purge that removal runs.
#include "sim/wdf/io_target.h"

#include <chrono>

#include "sim/core/fault.h"
#include "sim/core/race.h"
#include "sim/core/verifier.h"
#include "sim/kernel/cpu_time.h"
#include "sim/kernel/irql_check.h"
#include "sim/kernel/thread_state.h"

namespace sim::wdf {
namespace {

void FillCompletionParams(Request* request) {
    PIRP irp = request->irp;
    WDF_REQUEST_COMPLETION_PARAMS& params = request->completionParams;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&params);
    params.IoStatus = irp->IoStatus;
    // The location the target used still holds the parameters it was given.
    PIO_STACK_LOCATION sent = IoGetNextIrpStackLocation(irp);
    params.Type = static_cast<WDF_REQUEST_TYPE>(sent->MajorFunction);
    switch (sent->MajorFunction) {
    case IRP_MJ_READ:
        params.Parameters.Read.Length = sent->Parameters.Read.Length;
        break;
    case IRP_MJ_WRITE:
        params.Parameters.Write.Length = sent->Parameters.Write.Length;
        break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        params.Parameters.Ioctl.IoControlCode = sent->Parameters.DeviceIoControl.IoControlCode;
        params.Parameters.Ioctl.Output.Length = sent->Parameters.DeviceIoControl.OutputBufferLength;
        break;
    default:
        params.Parameters.Others.Argument1.Ptr = sent->Parameters.Others.Argument1;
        params.Parameters.Others.Argument2.Ptr = sent->Parameters.Others.Argument2;
        params.Parameters.Others.Argument3.Ptr = sent->Parameters.Others.Argument3;
        params.Parameters.Others.Argument4.Ptr = sent->Parameters.Others.Argument4;
        break;
    }
}

Request* OwnedRequest(WDFREQUEST handle, const char* api) {
    auto* request = LookupAs<Request>(handle, Kind::Request, api);
    if (request->target != nullptr) {
        VerifierStop(rule::kRequestNotOwned, api, "WDFREQUEST %p is already at an I/O target",
                     static_cast<void*>(handle));
    }
    return request;
}

BOOLEAN Refuse(Request* request, NTSTATUS status) {
    request->status = status;
    return FALSE;
}

} // namespace

NTSTATUS IoTarget::Send(Request* request, bool ignoreState) {
    // Admitted and counted in one step: a removal closing the target either
    // refuses the request or finds it out and cancels it.
    PDEVICE_OBJECT device;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!accepting && !ignoreState) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        device = targetDevice;
        if (device == nullptr) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        if (request->irp->CurrentLocation - 1 < device->StackSize) {
            return STATUS_REQUEST_NOT_ACCEPTED;
        }
        race::Point(kIoTargetSendAdmitting, request);
        request->target = this;
        request->irpRefs.store(1);
        sent_.insert(request);
        ++inFlight_;
    }
    IoSetCompletionRoutine(request->irp, SentRequestCompleted, request, TRUE, TRUE, TRUE);
    IoCallDriver(device, request->irp);
    return STATUS_SUCCESS;
}

NTSTATUS IoTarget::SentRequestCompleted(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    auto* request = static_cast<Request*>(context);
    IoTarget* target = request->target;
    {
        std::lock_guard<std::mutex> guard(target->lock_);
        target->sent_.erase(request);
    }
    // A purge that is cancelling the IRP holds a reference: the last one
    // out runs the completion.
    if (request->irpRefs.fetch_sub(1) == 1) {
        FinishSentRequest(request);
    }
    // The IRP is the request's again; it is completed when the request is.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void IoTarget::Finished() {
    std::lock_guard<std::mutex> guard(lock_);
    if (--inFlight_ == 0) {
        idle_.notify_all();
    }
}

void IoTarget::Purge(const char* api) {
    std::vector<Request*> cancelling;
    {
        std::lock_guard<std::mutex> guard(lock_);
        accepting = false;
        for (Request* request : sent_) {
            request->irpRefs.fetch_add(1);
            cancelling.push_back(request);
        }
    }
    for (Request* request : cancelling) {
        IoCancelIrp(request->irp);
        if (request->irpRefs.fetch_sub(1) == 1) {
            FinishSentRequest(request);
        }
    }
    std::unique_lock<std::mutex> guard(lock_);
    if (!idle_.wait_for(guard, RemovalWaitLimit(), [this] { return inFlight_ == 0; })) {
        VerifierStop(rule::kRequestNotCompleted, api,
                     "%zu request(s) sent to I/O target %p never came back after being "
                     "cancelled",
                     inFlight_, static_cast<void*>(this));
    }
}

void IoTarget::SetDestination(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(lock_);
    targetDevice = device;
    accepting = device != nullptr;
}

void FinishSentRequest(Request* request) {
    IoTarget* target = request->target;
    request->target = nullptr;
    request->formatted = false;
    request->status = request->irp->IoStatus.Status;
    FillCompletionParams(request);
    if (request->completionRoutine != nullptr) {
        // Timed as the driver's own work when asked for (sim/kernel/cpu_time.h).
        bool timed =
            kernel::cpu::CountingCompletionRoutines() && !kernel::CurrentThread()->SystemThread;
        int64_t started = timed ? kernel::cpu::ThisThreadNanos() : 0;
        request->completionRoutine(request->HandleAs<WDFREQUEST>(), target->HandleAs<WDFIOTARGET>(),
                                   &request->completionParams, request->completionContext);
        if (timed) {
            kernel::cpu::AddCompletionRoutineNanos(kernel::cpu::ThisThreadNanos() - started);
        }
    } else {
        // Nobody asked to see it: the framework completes it with the
        // target's answer.
        CompleteRequest(request, request->status, request->irp->IoStatus.Information,
                        "request completion");
    }
    target->Finished();
}

} // namespace sim::wdf

using namespace sim::wdf;

extern "C" {

VOID WdfRequestFormatRequestUsingCurrentType(WDFREQUEST Request) {
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestFormatRequestUsingCurrentType");
    sim::wdf::Request* request = OwnedRequest(Request, "WdfRequestFormatRequestUsingCurrentType");
    if (request->irp->CurrentLocation <= 1) {
        sim::VerifierStop(sim::rule::kIrpStackOverflow, "WdfRequestFormatRequestUsingCurrentType",
                          "the IRP of WDFREQUEST %p has no location below this device",
                          static_cast<void*>(Request));
    }
    IoCopyCurrentIrpStackLocationToNext(request->irp);
    request->formatted = true;
}

VOID WdfRequestSetCompletionRoutine(WDFREQUEST Request,
                                    PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                    WDFCONTEXT CompletionContext) {
    sim::wdf::Request* request = OwnedRequest(Request, "WdfRequestSetCompletionRoutine");
    request->completionRoutine = CompletionRoutine;
    request->completionContext = CompletionContext;
}

VOID WdfRequestGetCompletionParams(WDFREQUEST Request, PWDF_REQUEST_COMPLETION_PARAMS Params) {
    auto* request =
        LookupAs<sim::wdf::Request>(Request, Kind::Request, "WdfRequestGetCompletionParams");
    if (Params == nullptr || Params->Size != sizeof(WDF_REQUEST_COMPLETION_PARAMS)) {
        sim::VerifierStop(sim::rule::kBadConfigSize, "WdfRequestGetCompletionParams",
                          "WDF_REQUEST_COMPLETION_PARAMS missing or of the wrong Size");
    }
    *Params = request->completionParams;
}

BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options) {
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestSend");
    sim::wdf::Request* request = OwnedRequest(Request, "WdfRequestSend");
    auto* target = LookupAs<IoTarget>(Target, Kind::IoTarget, "WdfRequestSend");
    if (Options != nullptr && Options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS)) {
        return Refuse(request, STATUS_INFO_LENGTH_MISMATCH);
    }
    ULONG flags = Options != nullptr ? Options->Flags : 0;
    NTSTATUS status;
    if (sim::fault::ShouldFail("WdfRequestSend", &status)) {
        return Refuse(request, status);
    }
    if ((flags & (WDF_REQUEST_SEND_OPTION_SYNCHRONOUS | WDF_REQUEST_SEND_OPTION_TIMEOUT)) != 0) {
        // Synchronous and timed sends are not modelled: refused, not faked.
        return Refuse(request, STATUS_NOT_SUPPORTED);
    }
    const bool ignoreState = (flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE) != 0;
    PIRP irp = request->irp;
    if ((flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) != 0) {
        if (!target->accepting && !ignoreState) {
            return Refuse(request, STATUS_INVALID_DEVICE_STATE);
        }
        if (request->completionRoutine != nullptr) {
            sim::VerifierStop(sim::rule::kSendAndForgetMisuse, "WdfRequestSend",
                              "WDFREQUEST %p has a completion routine",
                              static_cast<void*>(Request));
        }
        // The target gets this device's own stack location: it must fit below.
        if (irp->CurrentLocation < target->targetDevice->StackSize) {
            return Refuse(request, STATUS_REQUEST_NOT_ACCEPTED);
        }
        // The request is handed over for good: the framework forgets it and
        // the IRP goes down as it came.
        sim::wdf::Device* device = request->device;
        Delete(request, "WdfRequestSend");
        device->RequestFinished();
        IoSkipCurrentIrpStackLocation(irp);
        IoCallDriver(target->targetDevice, irp);
        return TRUE;
    }
    if (!request->formatted) {
        sim::VerifierStop(sim::rule::kRequestNotFormatted, "WdfRequestSend",
                          "format WDFREQUEST %p for the target before sending it",
                          static_cast<void*>(Request));
    }
    status = target->Send(request, ignoreState);
    return NT_SUCCESS(status) ? TRUE : Refuse(request, status);
}

PDEVICE_OBJECT WdfIoTargetWdmGetTargetDeviceObject(WDFIOTARGET IoTarget) {
    return LookupAs<sim::wdf::IoTarget>(IoTarget, Kind::IoTarget,
                                        "WdfIoTargetWdmGetTargetDeviceObject")
        ->targetDevice;
}

WDFDEVICE WdfIoTargetGetDevice(WDFIOTARGET IoTarget) {
    return LookupAs<sim::wdf::IoTarget>(IoTarget, Kind::IoTarget, "WdfIoTargetGetDevice")
        ->device->HandleAs<WDFDEVICE>();
}

} // extern "C"
