// Requests a driver creates for itself: WdfRequestCreate, WdfRequestReuse,
// WdfRequestCancelSentRequest, and their deletion.
#include "sim/core/fault.h"
#include "sim/core/verifier.h"
#include "sim/kernel/irql_check.h"
#include "sim/wdf/io_target.h"

namespace sim::wdf {

void Request::ReleaseFormat() {
    if (formattedMdl != nullptr) {
        IoFreeMdl(formattedMdl);
        if (irp != nullptr && irp->MdlAddress == formattedMdl) {
            irp->MdlAddress = nullptr;
        }
        formattedMdl = nullptr;
    }
    if (formattedMemory != nullptr) {
        Object* memory = formattedMemory;
        formattedMemory = nullptr;
        Dereference(memory);
    }
}

void Request::OnCleanup() {
    if (target != nullptr) {
        VerifierStop(rule::kRequestNotOwned, "WdfObjectDelete",
                     "WDFREQUEST %p deleted while it is at I/O target %p; cancel it and wait "
                     "for its completion first",
                     static_cast<void*>(this), static_cast<void*>(target.load()));
    }
    ReleaseFormat();
    if (driverCreated && irp != nullptr) {
        IoFreeIrp(irp);
        irp = nullptr;
    }
}

bool IoTarget::CancelSent(Request* request) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (sent_.count(request) == 0) {
            return false;
        }
        request->irpRefs.fetch_add(1);
    }
    IoCancelIrp(request->irp);
    if (request->irpRefs.fetch_sub(1) == 1) {
        FinishSentRequest(request);
    }
    return true;
}

} // namespace sim::wdf

using namespace sim::wdf;

extern "C" {

NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget,
                          WDFREQUEST* Request) {
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestCreate");
    if (Request == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Request = nullptr;
    sim::wdf::IoTarget* target =
        IoTarget != nullptr
            ? LookupAs<sim::wdf::IoTarget>(IoTarget, Kind::IoTarget, "WdfRequestCreate")
            : nullptr;
    NTSTATUS status;
    if (sim::fault::ShouldFail("WdfRequestCreate", &status)) {
        return status;
    }
    // Sized for the target's stack when there is one, and grown by a later
    // format for a deeper one.
    CCHAR stackSize = 1;
    if (target != nullptr && target->targetDevice != nullptr) {
        stackSize = target->targetDevice->StackSize;
    }
    PIRP irp = IoAllocateIrp(stackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* request = new sim::wdf::Request();
    request->driverMayDelete = true;
    request->driverCreated = true;
    request->irp = irp;
    request->device = target != nullptr ? target->device : nullptr;
    status = Attach(request, RequestAttributes, DriverRoot(), "WdfRequestCreate");
    if (!NT_SUCCESS(status)) {
        IoFreeIrp(irp);
        delete request;
        return status;
    }
    *Request = request->HandleAs<WDFREQUEST>();
    return STATUS_SUCCESS;
}

NTSTATUS WdfRequestReuse(WDFREQUEST Request, PWDF_REQUEST_REUSE_PARAMS ReuseParams) {
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestReuse");
    auto* request = LookupAs<sim::wdf::Request>(Request, Kind::Request, "WdfRequestReuse");
    if (ReuseParams == nullptr || ReuseParams->Size != sizeof(WDF_REQUEST_REUSE_PARAMS)) {
        sim::VerifierStop(sim::rule::kBadConfigSize, "WdfRequestReuse",
                          "WDF_REQUEST_REUSE_PARAMS missing or of the wrong Size");
    }
    if (request->target != nullptr) {
        sim::VerifierStop(sim::rule::kRequestNotOwned, "WdfRequestReuse",
                          "WDFREQUEST %p is still at an I/O target", static_cast<void*>(Request));
    }
    if (!request->driverCreated) {
        sim::VerifierStop(sim::rule::kRequestNotOwned, "WdfRequestReuse",
                          "WDFREQUEST %p was presented by the framework; only requests the "
                          "driver created can be reused",
                          static_cast<void*>(Request));
    }
    if ((ReuseParams->Flags & WDF_REQUEST_REUSE_SET_NEW_IRP) != 0) {
        return STATUS_NOT_SUPPORTED; // the driver's own IRPs are not modelled
    }
    request->ReleaseFormat();
    IoReuseIrp(request->irp, ReuseParams->Status);
    request->status = ReuseParams->Status;
    request->formatted = false;
    request->completionParams = WDF_REQUEST_COMPLETION_PARAMS{};
    return STATUS_SUCCESS;
}

BOOLEAN WdfRequestCancelSentRequest(WDFREQUEST Request) {
    sim::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestCancelSentRequest");
    auto* request =
        LookupAs<sim::wdf::Request>(Request, Kind::Request, "WdfRequestCancelSentRequest");
    sim::wdf::IoTarget* target = request->target;
    // Read once: the request may come back on another thread meanwhile, and
    // then there is nothing left to cancel.
    return target != nullptr && target->CancelSent(request) ? TRUE : FALSE;
}

} // extern "C"
