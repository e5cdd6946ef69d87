#include "tests/support/device_life.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "hidclass.h"
#include "sim/hid/collection.h"
#include "sim/peers/stick/plug.h"
#include "usbdlib.h"
#include "sim/kernel/system_thread.h"
#include "sim/kernel/system_worker.h"
#include "sim/peers/stick/raw_reports.h"
#include "sim/peers/stick/stick.h"

namespace quillex_test {
namespace {

using namespace std::chrono_literals;

// Waits on the host clock until 'done' holds, at most 'limit'. Time passes
// for the reader too: its pauses (after a read it could not send) run on the
// simulated clock, which moves on while a pause is pending.
bool Within(sim::kernel::SimulatedClock* clock, std::chrono::milliseconds limit,
            const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (clock != nullptr && clock->TimedWaiters() > 0) {
            clock->Advance(std::chrono::milliseconds(1));
        }
    }
    return true;
}

std::string Hex(NTSTATUS status) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08x", static_cast<unsigned>(status));
    return text;
}

} // namespace

const char* LifeStepName(LifeStep step) {
    switch (step) {
    case LifeStep::PlugAndStart:
        return "plug and start";
    case LifeStep::FirstOpen:
        return "first open";
    case LifeStep::ReaderStart:
        return "reader start";
    case LifeStep::AppRequests:
        return "application requests";
    case LifeStep::Restart:
        return "restart";
    case LifeStep::OrderlyRemoval:
        return "orderly removal";
    case LifeStep::SurpriseRemoval:
        return "surprise removal with a handle open";
    }
    return "?";
}

DeviceLife::DeviceLife(sim::pnp::Stack* stack, sim::kernel::SimulatedClock* clock,
                       uint16_t productId)
    : stack_(stack), clock_(clock), productId_(productId) {}

DeviceLife::~DeviceLife() {
    for (auto& app : apps_) {
        app->Close();
    }
}

void DeviceLife::Refused(LifeStep step, const std::string& what, NTSTATUS status) {
    refusals_.push_back(std::string(LifeStepName(step)) + ": " + what + " (" + Hex(status) + ")");
}

bool DeviceLife::ReaderAlive() const {
    return sim::kernel::LiveSystemThreadCount() > 0;
}

bool DeviceLife::HasController() {
    if (!plugged_ || removed_) {
        return false;
    }
    stack_->WaitIdle();
    for (const sim::pnp::ChildDevice& child : stack_->Children(id_)) {
        if (child.pdo != nullptr && child.state == sim::pnp::DeviceState::Started) {
            return true;
        }
    }
    return false;
}

std::shared_ptr<sim::xbox::Controller> DeviceLife::Controller() {
    if (!plugged_ || removed_) {
        return nullptr;
    }
    stack_->WaitIdle();
    // The newest: a restart makes the controller anew.
    std::vector<sim::pnp::ChildDevice> children = stack_->Children(id_);
    for (auto child = children.rbegin(); child != children.rend(); ++child) {
        if (child->pdo != nullptr && child->state == sim::pnp::DeviceState::Started) {
            return sim::xbox::WaitForController(child->pdo, 1s);
        }
    }
    return nullptr;
}

bool DeviceLife::ReportReachesGame() {
    if (!plugged_ || removed_) {
        return false;
    }
    auto controller = Controller();
    if (controller == nullptr || controller->WaitConfigured(2s) != STATUS_SUCCESS) {
        return false;
    }
    // A reader that lives has its read out at once; one that ended has none.
    sim::hid::Collection* hid = stack_->Hid(id_);
    if (!Within(clock_, 2s, [&] { return hid->WaitingReads() >= 1 || !ReaderAlive(); }) ||
        hid->WaitingReads() == 0 ||
        !Within(clock_, 2s, [&] { return controller->Outstanding() >= 1; })) {
        return false;
    }
    sim::stick::StickState state;
    bool pressA = (++reportsSent_ % 2) == 1;
    state.buttons = pressA ? sim::stick::A : sim::stick::B;
    uint16_t expected = pressA ? sim::xbox::kA : sim::xbox::kB;
    // Read from the history: a transfer sent again after a device-descriptor
    // request gets a fixed report at once, so the latest state may already
    // be past it.
    size_t before = controller->Reports().size();
    sim::stick::Stick stick(hid);
    if (stick.Send(sim::stick::Encode(sim::stick::LayoutForProductId(productId_), state)) !=
        STATUS_SUCCESS) {
        return false;
    }
    if (!Within(clock_, 5s, [&] {
            std::vector<sim::xbox::Gamepad> reports = controller->Reports();
            for (size_t r = before; r < reports.size(); ++r) {
                if (reports[r].buttons == expected) {
                    return true;
                }
            }
            return false;
        })) {
        return false;
    }
    // The reader sends its next read and waits for it just after it
    // delivered the report. Wait until it is parked: on a busy machine those
    // calls would otherwise come during the next step and be counted, and
    // failed, as that step's.
    return Within(clock_, 2s, [&] {
        return (hid->WaitingReads() >= 1 && sim::kernel::SystemThreadsAsleep() >= 1) ||
               !ReaderAlive();
    });
}

void DeviceLife::Probe(LifeStep after) {
    if (!ReportReachesGame()) {
        outages_.push_back(std::string("after ") + LifeStepName(after));
    }
}

bool DeviceLife::Plug() {
    NTSTATUS status = stack_->Plug(sim::stick::ArcadeStick(productId_), &id_);
    plugged_ = id_ != 0 && stack_->State(id_) == sim::pnp::DeviceState::Started;
    if (!NT_SUCCESS(status) || !plugged_) {
        Refused(LifeStep::PlugAndStart, "plug", status);
        return false;
    }
    return true;
}

bool DeviceLife::OpenApp() {
    std::vector<std::string> interfaces = stack_->Interfaces(id_);
    if (interfaces.empty()) {
        Refused(LifeStep::FirstOpen, "no device interface to open", STATUS_OBJECT_NAME_NOT_FOUND);
        return false;
    }
    apps_.push_back(std::make_unique<sim::app::Companion>());
    if (!apps_.back()->Open(interfaces.front())) {
        Refused(LifeStep::FirstOpen, "open", apps_.back()->LastStatus());
        apps_.pop_back();
        return false;
    }
    return true;
}

bool DeviceLife::StartReader() {
    // The reader waits 5 s on the simulated clock before it makes the
    // controller; one that did not start, or left early, is not waited for.
    // An open completed above PASSIVE_LEVEL launches it from a work item, so
    // "not alive" counts only once the system's work has run.
    sim::hid::Collection* hid = stack_->Hid(id_);
    if (!Within(nullptr, 3s, [&] {
            return clock_->TimedWaiters() >= 1 || hid->WaitingReads() >= 1 ||
                   (!ReaderAlive() && sim::kernel::SystemWorkIdle());
        })) {
        return false;
    }
    clock_->Advance(std::chrono::seconds(5));
    if (!Within(clock_, 3s, [&] { return hid->WaitingReads() >= 1 || !ReaderAlive(); })) {
        return false;
    }
    auto controller = Controller();
    return controller != nullptr && controller->WaitConfigured(2s) == STATUS_SUCCESS &&
           ReportReachesGame();
}

bool DeviceLife::AppRequests() {
    if (apps_.empty()) {
        return false;
    }
    sim::app::Companion& app = *apps_.front();
    bool ok = true;
    APP_INSTANCE state{};
    if (!app.GetState(&state)) {
        Refused(LifeStep::AppRequests, "get state", app.LastStatus());
        ok = false;
    }
    if (!app.SetValue(QUILLEX_ITEM_DPAD, 2)) {
        Refused(LifeStep::AppRequests, "set value", app.LastStatus());
        ok = false;
    }
    UCHAR value[4];
    if (!app.GetValue(QUILLEX_ITEM_DPAD, value)) {
        Refused(LifeStep::AppRequests, "get value", app.LastStatus());
        ok = false;
    }
    state.Dpad = 8;
    if (!app.SetState(state)) {
        Refused(LifeStep::AppRequests, "set state", app.LastStatus());
        ok = false;
    }
    // The mapping written back as it is: saved to the registry, same reports.
    REMAP_RECORD mapping{};
    if (!app.GetMapping(&mapping)) {
        Refused(LifeStep::AppRequests, "get mapping", app.LastStatus());
        ok = false;
    } else if (!app.SetMapping(mapping)) {
        Refused(LifeStep::AppRequests, "set mapping", app.LastStatus());
        ok = false;
    }
    // A setting beside the mapping, saved on its own, then read back.
    if (!app.SetValue(QUILLEX_ITEM_TURBO_RATE, 20)) {
        Refused(LifeStep::AppRequests, "set setting", app.LastStatus());
        ok = false;
    }
    if (!app.GetValue(QUILLEX_ITEM_TURBO_RATE, value)) {
        Refused(LifeStep::AppRequests, "get setting", app.LastStatus());
        ok = false;
    }
    return PassDown() && ReportReachesGame() && ok;
}

bool DeviceLife::PassDown() {
    bool ok = true;
    // A device control the driver does not answer goes down to the collection.
    ULONG buffers = 0;
    if (!apps_.front()->Control(IOCTL_GET_NUM_DEVICE_INPUT_BUFFERS, nullptr, 0, &buffers,
                                sizeof(buffers))) {
        Refused(LifeStep::AppRequests, "device control passed down", apps_.front()->LastStatus());
        ok = false;
    }
    // So does every internal device control, from a driver above.
    PDEVICE_OBJECT top = WdfDeviceWdmGetDeviceObject(stack_->FunctionDevice(id_));
    KEVENT done;
    IO_STATUS_BLOCK io{};
    HID_COLLECTION_INFORMATION information{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_HID_GET_COLLECTION_INFORMATION, top, nullptr, 0,
                                             &information, sizeof(information), TRUE, &done, &io);
    if (irp != nullptr && IoCallDriver(top, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    if (irp == nullptr || !NT_SUCCESS(io.Status)) {
        Refused(LifeStep::AppRequests, "internal device control passed down", io.Status);
        ok = false;
    }
    // The class driver reads the device descriptor into locked pages that
    // only an MDL describes, as a USB client may.
    auto controller = Controller();
    if (controller == nullptr) {
        return false;
    }
    std::vector<UCHAR> descriptor(18);
    PMDL mdl = IoAllocateMdl(descriptor.data(), static_cast<ULONG>(descriptor.size()), FALSE, FALSE,
                             nullptr);
    if (mdl == nullptr) {
        return false;
    }
    MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, nullptr, mdl,
                                 static_cast<ULONG>(descriptor.size()), nullptr);
    NTSTATUS status = controller->SubmitUrb(&urb);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    if (!NT_SUCCESS(status) || descriptor[1] != USB_DEVICE_DESCRIPTOR_TYPE) {
        Refused(LifeStep::AppRequests, "descriptor read through an MDL", status);
        ok = false;
    }
    return ok;
}

bool DeviceLife::Restart() {
    NTSTATUS status = stack_->Restart(id_);
    if (!NT_SUCCESS(status)) {
        Refused(LifeStep::Restart, "restart", status);
        if (stack_->State(id_) != sim::pnp::DeviceState::Started &&
            stack_->State(id_) != sim::pnp::DeviceState::Stopped) {
            removed_ = true;
        }
        return false;
    }
    // The reader stopped with the hardware; the next open starts it again.
    return OpenApp() && StartReader();
}

void DeviceLife::RemoveOrderly() {
    for (auto& app : apps_) {
        app->Close();
    }
    NTSTATUS status = stack_->Remove(id_);
    if (!NT_SUCCESS(status)) {
        Refused(LifeStep::OrderlyRemoval, "remove", status);
        return;
    }
    removed_ = true;
}

void DeviceLife::RemoveBySurprise() {
    NTSTATUS status = stack_->Unplug(id_);
    if (!NT_SUCCESS(status)) {
        Refused(LifeStep::SurpriseRemoval, "unplug", status);
        return;
    }
    // The application still holds its handle: its requests now fail.
    for (auto& app : apps_) {
        APP_INSTANCE state{};
        (void)app->GetState(&state);
        app->Close();
    }
    stack_->WaitRemoved(id_);
    removed_ = true;
}

void DeviceLife::Live(bool surpriseRemoval) {
    auto step = [&](LifeStep which, const std::function<bool()>& run) {
        if (beforeStep) {
            beforeStep(which);
        }
        bool ok = run();
        if (afterStep) {
            afterStep(which);
        }
        return ok;
    };
    if (!step(LifeStep::PlugAndStart, [&] { return Plug(); })) {
        return;
    }
    step(LifeStep::FirstOpen, [&] { return OpenApp(); });
    step(LifeStep::ReaderStart, [&] { return StartReader(); });
    Probe(LifeStep::ReaderStart);
    step(LifeStep::AppRequests, [&] { return AppRequests(); });
    Probe(LifeStep::AppRequests);
    step(LifeStep::Restart, [&] { return Restart(); });
    if (removed_) {
        return;
    }
    Probe(LifeStep::Restart);
    if (surpriseRemoval) {
        step(LifeStep::SurpriseRemoval, [&] {
            RemoveBySurprise();
            return true;
        });
    } else {
        step(LifeStep::OrderlyRemoval, [&] {
            RemoveOrderly();
            return true;
        });
    }
}

} // namespace quillex_test
