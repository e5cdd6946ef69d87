// The system's Xbox 360 controller class driver, as a WDM driver in the
// simulated Windows. The PnP manager loads it on a child device whose
// hardware or compatible IDs it installs on, and it drives that device the
// way the real one drives a wired controller on USB:
//
// - on start, on its own thread: the USBDI bus interface (query interface),
//   the device descriptor (up to 64 bytes asked, as a USB stack's first
//   request does), the configuration (9 bytes, then all of it), the
//   product string (its 2-byte header, then all of it), select configuration,
//   its vendor control transfers; then it keeps interrupt-in transfers
//   outstanding on endpoint 1, each resubmitted from its completion routine,
//   takes the lowest player number of the four that no other configured
//   controller holds and sends that player's LED command on endpoint 2
//   (0x06 player 1 ... 0x09 player 4); a fifth controller gets no player and
//   is sent 0x01, all four lights blinking; a removal frees its number;
// - every 20-byte report that comes back becomes the gamepad state a game
//   reads (sim::xbox::Gamepad);
// - it believes the URB as a USB stack fills it: only the TransferBufferLength
//   bytes that came back count, a descriptor shorter than it needs fails the
//   enumeration (STATUS_DEVICE_DATA_ERROR), a short transfer that the IRP
//   calls a success is taken with the bytes it has, whatever its USBD status;
// - on removal it aborts its endpoint 1 pipe (cancelling transfer by transfer
//   when the device refuses the abort) and waits for its transfers before it
//   leaves; the bus interface's reference, which the device took for it when
//   it answered the query, it drops then.
//
// Requests travel as IRPs down to the device below (IoCallDriver), from the
// class driver's thread at PASSIVE_LEVEL (or DISPATCH_LEVEL when a test asks)
// and from completion routines at whatever IRQL the device completed them.
// Tests and quillex-sim reach each instance through a Controller.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/core/pointer_set.h"
#include "sim/peers/xbox/gamepad.h"
#include "sim/peers/xbox/urb_trace.h"
#include "sim/pnp/pnp_thread.h"
#include "sim/pnp/stack.h"
#include "usb.h"
#include "usbbusif.h"
#include "usbdlib.h"
#include "usbioctl.h"

namespace sim::xbox {

struct Options {
    // What its INF installs it on: the controller's hardware ID, then the
    // compatible IDs of the Xbox 360 controller class.
    std::vector<std::string> ids = {"USB\\VID_045E&PID_028E", "USB\\MS_COMP_XUSB10",
                                    "USB\\Class_FF&SubClass_5D&Prot_01"};
    bool enumerate = true;  // enumerate and configure on start
    unsigned transfers = 2; // endpoint 1 transfers kept outstanding once configured
    // The LED command of player 1, sent once configured; player n gets
    // startLed + n - 1. -1: no LED command, and no player number taken.
    int startLed = 0x06;
    bool cancelOnRemove = true; // removal cancels outstanding transfers and waits for them
    bool keepHistory = true;    // keep every completion and report, not only the last state
    // Called with every URB on its way down and again once back, from the
    // thread that sent or completed it (at up to DISPATCH_LEVEL).
    UrbObserver urbObserver;
    // Called first thing in every endpoint 1 transfer's completion routine,
    // on the thread that completed it (a benchmark stops its clock here).
    std::function<void()> onTransferBack;
};

// The class driver's package for the PnP manager; the options apply to every
// device it is added to from then on.
pnp::DriverPackage Package(const Options& options = Options());

class Controller {
  public:
    enum class State { Added, Started, Configured, EnumerationFailed, SurpriseRemoved, Removed };

    // One request of the enumeration, as it came back.
    struct Step {
        std::string what;
        NTSTATUS status = STATUS_SUCCESS;
        USBD_STATUS usbdStatus = 0;
        std::vector<uint8_t> data; // what the device wrote: as many bytes as the URB says
    };

    struct Pipe {
        UCHAR endpointAddress = 0;
        USBD_PIPE_TYPE type = UsbdPipeTypeControl;
        USHORT maximumPacketSize = 0;
        UCHAR interval = 0;
        ULONG handle = 0;
    };

    // One endpoint 1 transfer that came back.
    struct Completion {
        NTSTATUS status = STATUS_SUCCESS;
        ULONG_PTR information = 0;
        KIRQL irql = PASSIVE_LEVEL;
        ULONG length = 0;           // bytes the device wrote, from the URB
        USBD_STATUS usbdStatus = 0; // from the URB
        std::array<uint8_t, kReportLength> bytes{};
        bool isReport = false; // at least 20 bytes came back and they decode as a report
        Gamepad pad;
    };

    Controller(PDEVICE_OBJECT device, PDEVICE_OBJECT lower, PDEVICE_OBJECT pdo,
               const Options& options);
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    PDEVICE_OBJECT Pdo() const { return pdo_; }
    State GetState() const;
    // Waits until enumeration is over (for a configured device: its transfers
    // sent and its LED command answered); its status, or STATUS_TIMEOUT.
    NTSTATUS WaitConfigured(std::chrono::milliseconds limit = std::chrono::seconds(10));
    std::vector<Step> Steps() const;
    std::vector<uint8_t> DeviceDescriptor() const;
    std::vector<uint8_t> Configuration() const;
    std::string Product() const;
    std::vector<Pipe> Pipes() const;
    NTSTATUS BusInterfaceStatus() const;
    USB_BUS_INTERFACE_USBDI_V1 BusInterface() const;
    USBD_VERSION_INFORMATION UsbdVersion() const;
    ULONG HcdCapabilities() const;
    BOOLEAN HighSpeed() const;
    // The player number (1 to 4) it holds, 0 for none; the LED command it
    // sent once configured, -1 for none.
    int Player() const;
    int LedCommand() const;

    // Requests sent on the class driver's thread, dispatched at 'irql'; they
    // return once completed (STATUS_TIMEOUT when the device keeps them).
    NTSTATUS SubmitUrb(PURB urb, KIRQL irql = PASSIVE_LEVEL);
    NTSTATUS SendInternalIoctl(ULONG code, PVOID argument1, ULONG_PTR* information = nullptr,
                               KIRQL irql = PASSIVE_LEVEL);
    // IRP_MN_QUERY_INTERFACE; the IRP starts with STATUS_NOT_SUPPORTED.
    NTSTATUS QueryInterface(const GUID& type, USHORT size, USHORT version, PINTERFACE iface);
    // An LED command on endpoint 2 (01 03 command); the transfer's status.
    NTSTATUS SendLed(UCHAR command, KIRQL irql = PASSIVE_LEVEL);
    // Any message on endpoint 2.
    NTSTATUS SendOutput(const std::vector<uint8_t>& message, KIRQL irql = PASSIVE_LEVEL);

    // Endpoint 1. Transfers are sent from the class driver's thread; with
    // 'resubmit', each that comes back with a report is sent again from its
    // completion routine (one the device answered at once goes again from
    // the loop that sent it, not from inside its own completion), until
    // CancelTransfers or SetResubmit(false). A transfer of the same buffer
    // length that is back is sent again before a new one is made, so a class
    // driver that cancels and resubmits for hours does not grow.
    void StartTransfers(unsigned count, ULONG bufferLength = 32, bool resubmit = true);
    // Cancels the outstanding transfer at 'index' (modulo how many are out,
    // in the order OutstandingIrps gives) from the class driver's thread; it
    // is not sent again. False when none is out.
    bool CancelOneTransfer(size_t index);
    // Sends one transfer that is cancelled on its way down (its Cancel flag
    // set before the device sees it, no cancel routine yet).
    void SendCancelledTransfer();
    void SetResubmit(bool on);
    // Cancels every transfer not yet back (IoCancelIrp), from the class
    // driver's thread.
    void CancelTransfers();
    // URB_FUNCTION_ABORT_PIPE on endpoint 1, after turning resubmission off;
    // the URB's status (STATUS_NO_SUCH_DEVICE before configuration).
    NTSTATUS AbortPipe();
    size_t Outstanding() const;
    // The IRPs of the endpoint 1 transfers not yet back, in the order they
    // were first sent (for tests that cancel one of them themselves).
    std::vector<PIRP> OutstandingIrps() const;
    bool WaitOutstanding(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Every completion and report in order (with keepHistory); the count and
    // the last state are kept either way.
    std::vector<Completion> Completions() const;
    size_t CompletionCount() const;
    bool WaitCompletions(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // The last gamepad state read, and every one in order.
    Gamepad GamepadState() const;
    std::vector<Gamepad> Reports() const;

    // The function-driver skeleton's (sim/peers/wdm/function_driver.h):
    // the instance for a new device, and PnP from the class driver's
    // dispatch routine (the PnP thread).
    static std::shared_ptr<Controller> Make(PDEVICE_OBJECT device, PDEVICE_OBJECT lower,
                                            PDEVICE_OBJECT pdo,
                                            const std::vector<std::shared_ptr<Controller>>& others);
    NTSTATUS Start(PIRP irp);
    void SurpriseRemoved();
    NTSTATUS Remove(PIRP irp);
    bool Gone() const { return GetState() == State::Removed; }

  private:
    struct Transfer {
        Controller* owner = nullptr;
        PIRP irp = nullptr;
        URB urb{};
        std::vector<uint8_t> buffer;
        bool cancelOnTheWay = false;
        std::atomic<bool> sendAgain{false};
        // Under lock_: send loops running on this transfer (with none and the
        // transfer not outstanding, nobody touches its IRP), and whether the
        // class driver cancelled it for good.
        unsigned sending = 0;
        bool noResend = false;
        // Held while the IRP is reset and set up for its next trip, and while
        // the class driver cancels it, so a cancel never meets a reset.
        std::mutex irpLock;
    };

    static IO_COMPLETION_ROUTINE TransferDone;

    // Runs 'work' on the class driver's thread and waits for it; before the
    // start and after the removal nothing runs.
    void Run(std::function<void()> work);
    template <class T> T Locked(const T& field) const {
        std::lock_guard<std::mutex> guard(lock_);
        return field;
    }

    NTSTATUS CallLower(PIRP irp, KIRQL irql);
    NTSTATUS CallUrb(PURB urb, KIRQL irql);
    NTSTATUS GetDescriptor(UCHAR type, UCHAR index, USHORT language, ULONG length, const char* what,
                           std::vector<uint8_t>* data);
    // What a control request that asked for 'asked' bytes into *data came
    // back with: *data cut to the bytes the URB reports, and the status to
    // go on with.
    static NTSTATUS Returned(NTSTATUS status, const URB& urb, ULONG asked,
                             std::vector<uint8_t>* data);
    NTSTATUS Enumerate();
    NTSTATUS SelectConfiguration();
    void Record(Step step);
    // Tells the URB observer, if there is one.
    void Observe(PIRP irp, const URB* urb, bool completion);
    void Send(Transfer* transfer, bool again);
    // A transfer that is back and that nobody touches, taken for a new trip
    // (counted as sending); null when there is none.
    Transfer* IdleTransfer(ULONG bufferLength);
    // The lowest free player number, taken (0 when all four are held), and
    // its release; the numbers are shared by every instance.
    int TakePlayer();
    void ReleasePlayer();

    PDEVICE_OBJECT device_;
    PDEVICE_OBJECT lower_;
    PDEVICE_OBJECT pdo_;
    Options options_;

    mutable std::mutex lock_;
    std::condition_variable changed_;
    State state_ = State::Added;
    NTSTATUS enumeration_ = STATUS_PENDING;
    std::vector<Step> steps_;
    std::vector<uint8_t> deviceDescriptor_;
    std::vector<uint8_t> configuration_;
    std::string product_;
    std::vector<Pipe> pipes_;
    NTSTATUS busInterfaceStatus_ = STATUS_PENDING;
    USB_BUS_INTERFACE_USBDI_V1 busInterface_{};
    USBD_VERSION_INFORMATION usbdVersion_{};
    ULONG hcdCapabilities_ = 0;
    BOOLEAN highSpeed_ = FALSE;

    ULONG ep1Handle_ = 0;
    ULONG ep2Handle_ = 0;
    std::vector<std::unique_ptr<Transfer>> transfers_;
    PointerSet<Transfer> outstanding_;
    bool resubmit_ = true;
    bool stopping_ = false;
    std::vector<Completion> completions_;
    std::vector<Gamepad> reports_;
    // Changed under lock_ with the history; read without it, so a caller
    // polling it does not hold up the completion routine.
    std::atomic<size_t> completionCount_{0};
    Gamepad latest_;
    int player_ = 0;
    int ledCommand_ = -1;

    std::mutex threadLock_;
    // Run() calls handing work to the thread from elsewhere; the removal
    // waits for them, so no work touches the device after it is left.
    unsigned runs_ = 0;
    std::condition_variable runsDone_;
    std::shared_ptr<pnp::PnpThread> thread_;
    std::thread::id threadId_;
};

// The instances of the class driver, newest last; each stays reachable after
// its device is removed until Forget().
std::vector<std::shared_ptr<Controller>> Controllers();
// Waits for an instance on the given child (any child when null).
std::shared_ptr<Controller>
WaitForController(PDEVICE_OBJECT pdo = nullptr,
                  std::chrono::milliseconds limit = std::chrono::seconds(10));
void Forget();

} // namespace sim::xbox
