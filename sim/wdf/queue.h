// Framework I/O queues. Parallel dispatch: each request is presented to its
// handler at once, on the thread that sent it.
#pragma once

#include "sim/wdf/device.h"

namespace sim::wdf {

class Queue : public Object {
  public:
    Queue() : Object(Kind::Queue) {}

    Device* device = nullptr;
    WDF_IO_QUEUE_CONFIG config{};

    // Whether a request of this major function reaches a handler here.
    bool Handles(UCHAR major) const;
    // Presents the request to its handler; returns STATUS_PENDING (the
    // request is the driver's until it completes or sends it).
    NTSTATUS Present(PIRP irp);

  protected:
    void OnCleanup() override;
};

} // namespace sim::wdf
