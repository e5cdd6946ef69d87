// Framework I/O targets. The default target of a device is the device it is
// attached over; requests sent to it are tracked until they come back, so
// removal can cancel them and wait for them.
#pragma once

#include <set>
#include <string>

#include "sim/core/pointer_set.h"
#include "sim/wdf/request.h"

namespace sim::wdf {

// Pause point (sim/core/race.h): a send found the target open and is about to
// count the request as out, under the lock a purge takes. The object is the
// request.
inline constexpr const char* kIoTargetSendAdmitting =
    "IoTarget::Send: target found open, request not yet counted";

class IoTarget : public Object {
  public:
    IoTarget() : Object(Kind::IoTarget) {}

    Device* device = nullptr;
    PDEVICE_OBJECT targetDevice = nullptr;
    bool accepting = true; // false once purged for removal

    // A remote target (WdfIoTargetCreate): open while it holds a file on the
    // device it was opened by name, closed for a query-remove in between.
    bool remote = false;
    PFILE_OBJECT file = nullptr;
    std::string openedName;
    ACCESS_MASK openedAccess = 0;
    ULONG openedShareAccess = 0;
    ULONG openedCreateOptions = 0;
    WDF_IO_TARGET_OPEN_PARAMS openParams{};
    bool closedForQueryRemove = false;
    void* removalListener = nullptr;
    // Serialises opening and closing between the driver and the framework's
    // own handling of the device's removal.
    std::mutex openLock;

    // Sends a formatted request with the framework's completion routine;
    // STATUS_INVALID_DEVICE_STATE when the target is closed or purged (unless 'ignoreState'),
    // STATUS_REQUEST_NOT_ACCEPTED when the IRP has no stack location left for it.
    NTSTATUS Send(Request* request, bool ignoreState);
    // Cancels every request sent and not yet back, waits until all are back,
    // and refuses new ones.
    void Purge(const char* api);
    // Opened on 'device' and taking requests, or closed (null), under the lock
    // a send takes: a send sees the target whole.
    void SetDestination(PDEVICE_OBJECT device);
    // Cancels one sent request; false when it is not out.
    bool CancelSent(Request* request);

  protected:
    // A remote target still open when it is deleted is closed first.
    void OnCleanup() override;

  private:
    static IO_COMPLETION_ROUTINE SentRequestCompleted;
    void Finished();

    std::mutex lock_;
    std::condition_variable idle_;
    PointerSet<Request> sent_;
    size_t inFlight_ = 0; // sent and not yet through FinishSentRequest
    friend void FinishSentRequest(Request*);
};

} // namespace sim::wdf
