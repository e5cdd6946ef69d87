// One request of an importer while it is out: the IRP and URB it travels in
// and the buffer the device reads or writes.
#pragma once

#include <atomic>
#include <vector>

#include "sim/peers/usbip/host_device.h"

namespace sim::usbip {

struct HostDevice::Transfer {
    HostDevice* owner = nullptr;
    Request request;
    PIRP irp = nullptr;
    std::vector<uint64_t> urbStorage; // 8-byte aligned, as the URB's pointers need
    std::vector<uint8_t> buffer;
    // What the URB does to the configuration when it succeeds.
    enum class Effect {
        None,
        SelectConfiguration,
        Unconfigure,
        SelectInterface
    } effect = Effect::None;
    std::vector<uint32_t> unlinks; // unlinks waiting for this request's end
    // The device's dispatch returned STATUS_PENDING: it holds the request.
    bool taken = false;
    // The completion holds it, and each IoCancelIrp in progress.
    std::atomic<int> holders{1};

    PURB Urb() { return reinterpret_cast<PURB>(urbStorage.data()); }
    PURB NewUrb(size_t bytes) {
        urbStorage.assign((bytes + 7) / 8, 0);
        PURB urb = Urb();
        urb->UrbHeader.Length = static_cast<USHORT>(bytes);
        return urb;
    }
    // The bytes the URB says were moved: its TransferBufferLength, for the
    // functions that carry one.
    ULONG TransferredLength();
};

} // namespace sim::usbip
