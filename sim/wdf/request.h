// Framework requests over IRPs: presented by a queue or by file creation,
// completed by the driver or sent to an I/O target.
#pragma once

#include <atomic>

#include "sim/wdf/device.h"

namespace sim::wdf {

class Request : public Object {
  public:
    Request() : Object(Kind::Request) { driverMayDelete = false; }

    PIRP irp = nullptr;
    Device* device = nullptr;
    Queue* queue = nullptr;            // the queue that presented it, if one did
    FileObject* createdFile = nullptr; // a create: its file object, dropped if the open fails
    NTSTATUS status = STATUS_SUCCESS;  // what WdfRequestGetStatus reports
    bool formatted = false;            // the next stack location is set up
    PFN_WDF_REQUEST_COMPLETION_ROUTINE completionRoutine = nullptr;
    WDFCONTEXT completionContext = nullptr;
    WDF_REQUEST_COMPLETION_PARAMS completionParams{};

    // While at an I/O target: the completion work runs when the last of the
    // IRP's completion and any canceller lets go.
    std::atomic<IoTarget*> target{nullptr};
    std::atomic<int> irpRefs{0};

    // A request the driver created (WdfRequestCreate): it owns its IRP, may be
    // reused and deleted, and keeps what a format gave it (the memory object
    // referenced, an MDL for direct I/O) until the next format or reuse.
    bool driverCreated = false;
    Object* formattedMemory = nullptr;
    PMDL formattedMdl = nullptr;

    // Drops what the last format took.
    void ReleaseFormat();

  protected:
    void OnCleanup() override;
};

// A request for an IRP the framework hands to the driver.
Request* PresentRequest(Device* device, Queue* queue, PIRP irp);
// Completes the request's IRP and retires the request.
void CompleteRequest(Request* request, NTSTATUS status, ULONG_PTR information, const char* api);
// The sent request's IRP came back (and no canceller holds it): fill the
// completion parameters and run the driver's completion routine.
void FinishSentRequest(Request* request);

} // namespace sim::wdf
