// The host side of a USB device exported over USB/IP, as Windows' USB stack
// presents a device to its function driver.
//
// A remote host drives the device with USB requests: control transfers with
// their 8-byte setup packet on endpoint 0, interrupt and bulk transfers on the
// other endpoints. On Windows those never reach a device as such: the hub
// driver and the USB library turn them into URBs. This peer is the WDM driver
// the PnP manager loads on the device in place of its class driver while the
// device is exported; it turns each request into the URB the device would get
// on Windows (GET_DESCRIPTOR into URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
// SET_CONFIGURATION into a select-configuration URB built from the
// configuration descriptor, interrupt transfers into
// URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER on the pipe that select-
// configuration returned ...), sends it down as an IOCTL_INTERNAL_USB_SUBMIT_URB
// IRP from a thread of its own, any number at once, and turns the IRP's
// completion back into a USB/IP answer: a Linux status, the length the URB
// reports as transferred, and the data.
//
// On start it reads the device descriptor and the configuration, as the hub
// does before any function driver loads; the USB/IP server lists and imports
// the device from those.
#pragma once

#include <stdint.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/pnp/pnp_thread.h"
#include "sim/pnp/stack.h"
#include "usb.h"
#include "usbbusif.h"
#include "usbdlib.h"
#include "usbioctl.h"

namespace sim::usbip {

// Linux error numbers, as USB/IP carries them (negated) in its answers.
inline constexpr int32_t kErrNoEntry = -2;           // ENOENT
inline constexpr int32_t kErrNoMemory = -12;         // ENOMEM
inline constexpr int32_t kErrPipe = -32;             // EPIPE: a stall
inline constexpr int32_t kErrRemoteIo = -121;        // EREMOTEIO: short, and short was not OK
inline constexpr int32_t kErrConnectionReset = -104; // ECONNRESET: unlinked, cancelled
inline constexpr int32_t kErrShutdown = -108;        // ESHUTDOWN: the device is gone

// Linux URB transfer flags that matter here.
inline constexpr uint32_t kUrbShortNotOk = 0x0001;

// One USB request from the remote host (a USB/IP CMD_SUBMIT).
struct Request {
    uint32_t seqnum = 0;
    uint32_t endpoint = 0; // number, 0 to 15; 0 is the control endpoint
    bool in = false;
    uint32_t flags = 0;             // Linux URB transfer flags
    std::array<uint8_t, 8> setup{}; // control transfers only
    uint32_t length = 0;            // transfer buffer length
    std::vector<uint8_t> out;       // OUT data, 'length' bytes
};

// The device's answer (a USB/IP RET_SUBMIT).
struct Answer {
    uint32_t seqnum = 0;
    int32_t status = 0;        // 0 or a negative Linux error number
    uint32_t actualLength = 0; // IN: the bytes in 'data'; OUT: the bytes taken
    std::vector<uint8_t> data;
};

// Where a device's answers go: the connection of the host that imported it.
// Called from any thread, also from completion routines at DISPATCH_LEVEL:
// an implementation queues and returns.
class AnswerSink {
  public:
    virtual ~AnswerSink() = default;
    virtual void Answered(Answer answer) = 0;
    // An unlink's answer: -ECONNRESET when it cancelled the request (which then
    // gets no answer of its own), 0 when the request had already been answered.
    virtual void Unlinked(uint32_t seqnum, int32_t status) = 0;
    // The device has left; every request it had was answered before.
    virtual void DeviceGone() = 0;
};

class HostDevice {
  public:
    HostDevice(PDEVICE_OBJECT device, PDEVICE_OBJECT lower, PDEVICE_OBJECT pdo, unsigned port);
    ~HostDevice();
    HostDevice(const HostDevice&) = delete;
    HostDevice& operator=(const HostDevice&) = delete;

    PDEVICE_OBJECT Pdo() const { return pdo_; }
    // The hub port, from 1: the device's USB/IP bus id is "1-<port>".
    unsigned Port() const { return port_; }
    // Waits until the hub has read the descriptors (true), or the device
    // failed them or left (false).
    bool WaitReady(std::chrono::milliseconds limit = std::chrono::seconds(10));
    bool Ready() const;
    // Whether a host has imported the device.
    bool Attached() const;
    bool Present() const;
    std::vector<uint8_t> DeviceDescriptor() const; // 18 bytes once ready
    std::vector<uint8_t> Configuration() const;    // the whole set once ready
    // What the device's USBDI bus interface says of its speed.
    bool HighSpeed() const;

    // One importer at a time: false when the device is taken, not ready or gone.
    bool Attach(AnswerSink* sink);
    // The importer leaves: every request still out is cancelled and waited
    // for; their answers go nowhere.
    void Detach();
    // Sends one request; its answer goes to the sink. False when the request
    // cannot be taken at all (a sequence number already out): the importer is
    // misbehaving and should be dropped.
    bool Submit(Request request);
    // Cancels the request 'target' (IoCancelIrp); answered through the sink.
    void Unlink(uint32_t seqnum, uint32_t target);
    size_t Outstanding() const;
    // Requests the device holds, waiting: its dispatch routine has returned
    // STATUS_PENDING for them and they are not answered yet. (An outstanding
    // request may still be on its way to the device.)
    size_t WaitingAtDevice() const;

    // Tests: runs between an unlink marking its request and its IoCancelIrp,
    // where a completion may still win.
    static void SetUnlinkPause(std::function<void()> pause);

    // The function-driver skeleton's (sim/peers/wdm/function_driver.h):
    // the device for a new device object, on the lowest hub port no present
    // device holds, and PnP from the driver's dispatch routine (the PnP
    // thread).
    static std::shared_ptr<HostDevice> Make(PDEVICE_OBJECT device, PDEVICE_OBJECT lower,
                                            PDEVICE_OBJECT pdo,
                                            const std::vector<std::shared_ptr<HostDevice>>& others);
    NTSTATUS Start(PIRP irp);
    void SurpriseRemoved();
    NTSTATUS Remove(PIRP irp);
    bool Gone() const { return !Present(); }

  private:
    struct Transfer;
    static IO_COMPLETION_ROUTINE TransferDone;

    void ReadDescriptors();
    bool QueryHighSpeed();
    NTSTATUS CallSync(PURB urb);
    // Builds the URB of a request; false with *status set when the request is
    // answered here, without the device.
    bool BuildUrb(Transfer* transfer, int32_t* status);
    bool BuildControlUrb(Transfer* transfer, int32_t* status);
    bool BuildSelectConfiguration(Transfer* transfer, UCHAR value, int32_t* status);
    bool BuildSelectInterface(Transfer* transfer, UCHAR number, UCHAR alternate, int32_t* status);
    // After a select-configuration or select-interface that succeeded: the
    // handles to use from then on.
    void RecordConfiguration(Transfer* transfer);
    void Finish(Transfer* transfer);
    void Release(Transfer* transfer);
    void Answer(Answer answer);
    void CancelAll(bool gone);
    void WaitIdle();

    PDEVICE_OBJECT device_;
    PDEVICE_OBJECT lower_;
    PDEVICE_OBJECT pdo_;
    unsigned port_;

    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool ready_ = false;
    bool failed_ = false;
    bool gone_ = false;
    std::vector<uint8_t> deviceDescriptor_;
    std::vector<uint8_t> configuration_;
    bool highSpeed_ = false;
    AnswerSink* sink_ = nullptr;
    bool attached_ = false;
    // After SET_CONFIGURATION: the handles select-configuration returned.
    USBD_CONFIGURATION_HANDLE configurationHandle_ = nullptr;
    std::map<uint8_t, USBD_PIPE_HANDLE> pipes_; // by endpoint address
    std::map<uint32_t, Transfer*> outstanding_; // by sequence number

    std::shared_ptr<pnp::PnpThread> thread_;
};

// The package the PnP manager binds on the emulated controller while it is
// exported: the same IDs the Xbox 360 class driver installs on.
pnp::DriverPackage Package();

// The exported devices, in the order they came; a removed device stays listed
// (not Present) until Forget().
std::vector<std::shared_ptr<HostDevice>> Devices();
std::shared_ptr<HostDevice>
WaitForDevice(PDEVICE_OBJECT pdo = nullptr,
              std::chrono::milliseconds limit = std::chrono::seconds(10));
void Forget();

// Linux status of a finished URB: the IRP's status, then the URB's USBD status.
// 'shortLength' is whether fewer bytes came than were asked for.
int32_t LinuxStatus(NTSTATUS irpStatus, USBD_STATUS urbStatus, bool gone, bool shortNotOk,
                    bool shortLength);

} // namespace sim::usbip
