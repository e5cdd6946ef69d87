// One exported device: the hub's reading of its descriptors on start, the
// requests of its importer as IRPs down the device's stack, their answers,
// unlinks, and the device leaving.
//
// A request in flight is held by its completion and, for the time of an
// IoCancelIrp, by whoever cancels it: the last of them frees its IRP, so an
// unlink never touches an IRP its completion has already freed.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

#include "sim/kernel/thread_state.h"
#include "sim/peers/usbip/host_device.h"
#include "sim/peers/usbip/transfer.h"
#include "sim/peers/wdm/send.h"

namespace sim::usbip {
namespace {

// Requests one importer may have out at once; more are refused as a host
// controller out of memory would.
constexpr size_t kMaxOutstanding = 1024;

constexpr ULONG kMaxConfigurationLength = 4096;

std::mutex pauseLock;
std::function<void()>& UnlinkPause() {
    static std::function<void()>* pause = new std::function<void()>();
    return *pause;
}

} // namespace

HostDevice::HostDevice(PDEVICE_OBJECT device, PDEVICE_OBJECT lower, PDEVICE_OBJECT pdo,
                       unsigned port)
    : device_(device), lower_(lower), pdo_(pdo), port_(port) {}

HostDevice::~HostDevice() {
    std::shared_ptr<pnp::PnpThread> thread;
    {
        std::lock_guard<std::mutex> guard(lock_);
        thread.swap(thread_);
        if (!outstanding_.empty()) {
            fprintf(stderr, "usbip-host: device destroyed with %zu request(s) still out\n",
                    outstanding_.size());
            abort();
        }
    }
}

void HostDevice::SetUnlinkPause(std::function<void()> pause) {
    std::lock_guard<std::mutex> guard(pauseLock);
    UnlinkPause() = std::move(pause);
}

bool HostDevice::WaitReady(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, limit, [this] { return ready_ || failed_ || gone_; });
    return ready_ && !gone_;
}

bool HostDevice::Ready() const {
    std::lock_guard<std::mutex> guard(lock_);
    return ready_ && !gone_;
}

bool HostDevice::Attached() const {
    std::lock_guard<std::mutex> guard(lock_);
    return attached_;
}

bool HostDevice::Present() const {
    std::lock_guard<std::mutex> guard(lock_);
    return !gone_;
}

std::vector<uint8_t> HostDevice::DeviceDescriptor() const {
    std::lock_guard<std::mutex> guard(lock_);
    return deviceDescriptor_;
}

std::vector<uint8_t> HostDevice::Configuration() const {
    std::lock_guard<std::mutex> guard(lock_);
    return configuration_;
}

bool HostDevice::HighSpeed() const {
    std::lock_guard<std::mutex> guard(lock_);
    return highSpeed_;
}

size_t HostDevice::Outstanding() const {
    std::lock_guard<std::mutex> guard(lock_);
    return outstanding_.size();
}

size_t HostDevice::WaitingAtDevice() const {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<size_t>(
        std::count_if(outstanding_.begin(), outstanding_.end(),
                      [](const auto& entry) { return entry.second->taken; }));
}

// --- Requests the hub sends itself, and waits for.

NTSTATUS HostDevice::CallSync(PURB urb) {
    PIRP irp = IoAllocateIrp(lower_->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    peers::FormatUrbSubmission(irp, urb);
    NTSTATUS status = peers::SendAndWait(lower_, irp, PASSIVE_LEVEL, "usbip-host");
    IoFreeIrp(irp);
    return status;
}

// The speed the device's bus interface reports, as the hub knows it from its
// port: full speed unless the device says otherwise.
bool HostDevice::QueryHighSpeed() {
    PIRP irp = IoAllocateIrp(lower_->StackSize, FALSE);
    if (irp == nullptr) {
        return false;
    }
    USB_BUS_INTERFACE_USBDI_V1 bus{};
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
    next->Parameters.QueryInterface.Size = sizeof(bus);
    next->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
    next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&bus);
    peers::SendAndWait(lower_, irp, PASSIVE_LEVEL, "usbip-host");
    bool high = false;
    if (NT_SUCCESS(irp->IoStatus.Status) && bus.IsDeviceHighSpeed != nullptr) {
        high = bus.IsDeviceHighSpeed(bus.BusContext) != FALSE;
        if (bus.InterfaceDereference != nullptr) {
            bus.InterfaceDereference(bus.BusContext);
        }
    }
    IoFreeIrp(irp);
    return high;
}

// The hub's part of the enumeration: the device descriptor and the whole
// configuration, which the server lists and imports the device from.
void HostDevice::ReadDescriptors() {
    auto read = [this](UCHAR type, ULONG length, std::vector<uint8_t>* data) {
        data->assign(length, 0);
        URB urb{};
        UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0,
                                     data->data(), nullptr, length, nullptr);
        NTSTATUS status = CallSync(&urb);
        if (!NT_SUCCESS(status) || USBD_ERROR(urb.UrbHeader.Status)) {
            return false;
        }
        data->resize(std::min(length, urb.UrbControlDescriptorRequest.TransferBufferLength));
        return true;
    };
    bool high = QueryHighSpeed();
    std::vector<uint8_t> device, header, configuration;
    bool ok = read(USB_DEVICE_DESCRIPTOR_TYPE, sizeof(USB_DEVICE_DESCRIPTOR), &device) &&
              device.size() == sizeof(USB_DEVICE_DESCRIPTOR) &&
              device[0] == sizeof(USB_DEVICE_DESCRIPTOR) && device[1] == USB_DEVICE_DESCRIPTOR_TYPE;
    ok = ok &&
         read(USB_CONFIGURATION_DESCRIPTOR_TYPE, sizeof(USB_CONFIGURATION_DESCRIPTOR), &header) &&
         header.size() == sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
         header[1] == USB_CONFIGURATION_DESCRIPTOR_TYPE;
    ULONG total = ok ? header[2] | header[3] << 8 : 0;
    ok = ok && total >= sizeof(USB_CONFIGURATION_DESCRIPTOR) && total <= kMaxConfigurationLength &&
         read(USB_CONFIGURATION_DESCRIPTOR_TYPE, total, &configuration) &&
         configuration.size() == total &&
         static_cast<ULONG>(configuration[2] | configuration[3] << 8) == total;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (ok) {
            deviceDescriptor_ = device;
            configuration_ = configuration;
            highSpeed_ = high;
            ready_ = true;
        } else {
            failed_ = true;
            fprintf(stderr, "usbip-host: the device on port %u did not give its descriptors\n",
                    port_);
        }
    }
    changed_.notify_all();
}

// --- The importer.

bool HostDevice::Attach(AnswerSink* sink) {
    std::lock_guard<std::mutex> guard(lock_);
    if (attached_ || !ready_ || gone_) {
        return false;
    }
    attached_ = true;
    sink_ = sink;
    return true;
}

void HostDevice::Detach() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!attached_) {
            return;
        }
        sink_ = nullptr; // answers of what is cancelled now go nowhere
    }
    CancelAll(false);
    WaitIdle();
    std::lock_guard<std::mutex> guard(lock_);
    attached_ = false;
    // The next importer configures the device anew.
    pipes_.clear();
    configurationHandle_ = nullptr;
}

void HostDevice::Answer(usbip::Answer answer) {
    std::lock_guard<std::mutex> guard(lock_);
    if (sink_ != nullptr) {
        sink_->Answered(std::move(answer));
    }
}

bool HostDevice::Submit(Request request) {
    auto transfer = std::make_unique<Transfer>();
    transfer->owner = this;
    transfer->request = std::move(request);
    uint32_t seqnum = transfer->request.seqnum;
    int32_t local = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (outstanding_.count(seqnum) != 0) {
            return false;
        }
        if (gone_ || thread_ == nullptr || !attached_) {
            local = kErrShutdown;
        } else if (outstanding_.size() >= kMaxOutstanding) {
            local = kErrNoMemory;
        } else if (BuildUrb(transfer.get(), &local)) {
            transfer->irp = IoAllocateIrp(lower_->StackSize, FALSE);
            if (transfer->irp == nullptr) {
                local = kErrNoMemory;
            }
        }
        if (transfer->irp != nullptr) {
            peers::FormatUrbSubmission(transfer->irp, transfer->Urb());
            IoSetCompletionRoutine(transfer->irp, TransferDone, transfer.get(), TRUE, TRUE, TRUE);
            outstanding_[seqnum] = transfer.get();
            // Sent from the device's own thread, never from the importer's.
            Transfer* raw = transfer.release();
            PDEVICE_OBJECT lower = lower_;
            thread_->Post([this, raw, lower, seqnum] {
                if (IoCallDriver(lower, raw->irp) != STATUS_PENDING) {
                    return;
                }
                // It may be answered (and gone) already: found by its number.
                std::lock_guard<std::mutex> guard(lock_);
                auto out = outstanding_.find(seqnum);
                if (out != outstanding_.end() && out->second == raw) {
                    raw->taken = true;
                }
            });
            return true;
        }
    }
    // Answered here, without the device.
    usbip::Answer answer;
    answer.seqnum = seqnum;
    answer.status = local;
    Answer(std::move(answer));
    return true;
}

NTSTATUS HostDevice::TransferDone(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    auto* transfer = static_cast<Transfer*>(context);
    transfer->owner->Finish(transfer);
    // The IRP is ours: freed by the last holder of the transfer.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void HostDevice::Finish(Transfer* transfer) {
    NTSTATUS irpStatus = transfer->irp->IoStatus.Status;
    PURB urb = transfer->Urb();
    const Request& request = transfer->request;
    usbip::Answer answer;
    answer.seqnum = request.seqnum;

    // What the URB says it moved, never more than the buffer holds.
    ULONG moved = transfer->TransferredLength();
    if (moved > transfer->buffer.size()) {
        fprintf(stderr, "usbip-host: the device reported %lu bytes moved for a %zu-byte buffer\n",
                static_cast<unsigned long>(moved), transfer->buffer.size());
        moved = static_cast<ULONG>(transfer->buffer.size());
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        answer.status = LinuxStatus(irpStatus, urb->UrbHeader.Status, gone_,
                                    (request.flags & kUrbShortNotOk) != 0, moved < request.length);
    }
    if (answer.status == 0 || answer.status == kErrRemoteIo) {
        answer.actualLength = moved;
        if (request.in) {
            answer.data.assign(transfer->buffer.begin(), transfer->buffer.begin() + moved);
        }
    }

    std::lock_guard<std::mutex> guard(lock_);
    if (answer.status == 0) {
        RecordConfiguration(transfer);
    }
    outstanding_.erase(request.seqnum);
    if (sink_ != nullptr) {
        if (!transfer->unlinks.empty() && irpStatus == STATUS_CANCELLED) {
            // The unlink won: the request itself gets no answer.
            for (uint32_t unlink : transfer->unlinks) {
                sink_->Unlinked(unlink, kErrConnectionReset);
            }
        } else {
            // The completion won: its answer goes first, then the unlink's.
            sink_->Answered(std::move(answer));
            for (uint32_t unlink : transfer->unlinks) {
                sink_->Unlinked(unlink, 0);
            }
        }
    }
    changed_.notify_all();
    Release(transfer);
}

void HostDevice::Release(Transfer* transfer) {
    if (transfer->holders.fetch_sub(1) == 1) {
        IoFreeIrp(transfer->irp);
        delete transfer;
    }
}

void HostDevice::Unlink(uint32_t seqnum, uint32_t target) {
    Transfer* transfer = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = outstanding_.find(target);
        if (it == outstanding_.end()) {
            // Already answered (or never sent): nothing is left to cancel.
            if (sink_ != nullptr) {
                sink_->Unlinked(seqnum, 0);
            }
            return;
        }
        transfer = it->second;
        transfer->unlinks.push_back(seqnum);
        transfer->holders.fetch_add(1);
    }
    {
        std::function<void()> pause;
        {
            std::lock_guard<std::mutex> guard(pauseLock);
            pause = UnlinkPause();
        }
        if (pause) {
            pause();
        }
    }
    IoCancelIrp(transfer->irp);
    Release(transfer);
}

void HostDevice::CancelAll(bool gone) {
    std::vector<Transfer*> out;
    {
        std::lock_guard<std::mutex> guard(lock_);
        gone_ = gone_ || gone;
        for (auto& entry : outstanding_) {
            entry.second->holders.fetch_add(1);
            out.push_back(entry.second);
        }
    }
    changed_.notify_all();
    for (Transfer* transfer : out) {
        IoCancelIrp(transfer->irp);
        Release(transfer);
    }
}

void HostDevice::WaitIdle() {
    std::unique_lock<std::mutex> guard(lock_);
    if (!changed_.wait_for(guard, peers::kRequestLimit, [this] { return outstanding_.empty(); })) {
        fprintf(stderr, "usbip-host: %zu request(s) never came back after their cancel\n",
                outstanding_.size());
        abort();
    }
}

// --- PnP.

NTSTATUS HostDevice::Start(PIRP irp) {
    // The device below starts first.
    IoCopyCurrentIrpStackLocationToNext(irp);
    peers::SendAndWait(lower_, irp, PASSIVE_LEVEL, "usbip-host");
    NTSTATUS status = irp->IoStatus.Status;
    if (NT_SUCCESS(status)) {
        auto thread = std::make_shared<pnp::PnpThread>("usbip-host");
        {
            std::lock_guard<std::mutex> guard(lock_);
            thread_ = thread;
        }
        thread->Post([this] { ReadDescriptors(); });
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void HostDevice::SurpriseRemoved() {
    // What is out is answered as the device's end; the importer hears it.
    CancelAll(true);
    WaitIdle();
    AnswerSink* sink;
    {
        std::lock_guard<std::mutex> guard(lock_);
        sink = sink_;
        sink_ = nullptr;
    }
    if (sink != nullptr) {
        sink->DeviceGone();
    }
}

NTSTATUS HostDevice::Remove(PIRP irp) {
    SurpriseRemoved(); // an orderly removal ends the export the same way
    std::shared_ptr<pnp::PnpThread> thread;
    {
        std::lock_guard<std::mutex> guard(lock_);
        thread.swap(thread_);
    }
    thread.reset(); // finishes what it was given, then ends
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower_, irp);
    IoDetachDevice(lower_);
    IoDeleteDevice(device_);
    changed_.notify_all();
    return status;
}

} // namespace sim::usbip
