// The class driver as a WDM driver (its skeleton: sim/peers/wdm/function_driver.h):
// the instances over the children it is installed on, their player numbers,
// and their PnP handling.
#include "sim/peers/xbox/class_driver.h"

#include <stdio.h>
#include <stdlib.h>

#include "sim/peers/wdm/function_driver.h"

namespace sim::xbox {
namespace {

using Driver = peers::FunctionDriver<Controller>;

// What the class driver keeps beside its instances.
struct Registry {
    std::mutex lock;
    Options options;
    // Player numbers 1 to 4: whether a configured controller holds each.
    bool playerTaken[4] = {};
};

// Never destroyed: instances may still be reachable while the program exits.
Registry& TheRegistry() {
    static Registry* registry = new Registry();
    return *registry;
}

} // namespace

pnp::DriverPackage Package(const Options& options) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.options = options;
    return pnp::DriverPackage{"xusb22", Driver::Entry, options.ids};
}

std::vector<std::shared_ptr<Controller>> Controllers() {
    return Driver::All();
}

std::shared_ptr<Controller> WaitForController(PDEVICE_OBJECT pdo, std::chrono::milliseconds limit) {
    return Driver::WaitFor(pdo, limit);
}

void Forget() {
    Driver::Forget();
}

std::shared_ptr<Controller> Controller::Make(PDEVICE_OBJECT device, PDEVICE_OBJECT lower,
                                             PDEVICE_OBJECT pdo,
                                             const std::vector<std::shared_ptr<Controller>>&) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    return std::make_shared<Controller>(device, lower, pdo, registry.options);
}

int Controller::TakePlayer() {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    for (int n = 0; n < 4; ++n) {
        if (!registry.playerTaken[n]) {
            registry.playerTaken[n] = true;
            player_ = n + 1;
            return player_;
        }
    }
    return 0;
}

void Controller::ReleasePlayer() {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    if (player_ != 0) {
        registry.playerTaken[player_ - 1] = false;
        player_ = 0;
    }
}

int Controller::Player() const {
    std::lock_guard<std::mutex> guard(TheRegistry().lock);
    return player_;
}

// PnP of one instance.

NTSTATUS Controller::Start(PIRP irp) {
    // The device below starts first.
    IoCopyCurrentIrpStackLocationToNext(irp);
    NTSTATUS status = CallLower(irp, PASSIVE_LEVEL);
    if (NT_SUCCESS(status)) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            state_ = State::Started;
        }
        auto thread = std::make_shared<pnp::PnpThread>("xusb22");
        std::thread::id id;
        thread->Run([&id] { id = std::this_thread::get_id(); });
        std::shared_ptr<pnp::PnpThread> previous;
        {
            std::lock_guard<std::mutex> guard(threadLock_);
            previous.swap(thread_);
            thread_ = thread;
            threadId_ = id;
        }
        // A start after a stop finds the last start's thread, which may still
        // be enumerating: it ends here, outside the lock its work takes to
        // find the thread it runs on (what it still sends goes to the new
        // one), and before the new enumeration begins.
        previous.reset();
        if (options_.enumerate) {
            thread->Post([this] { Enumerate(); });
        }
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void Controller::SurpriseRemoved() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        state_ = State::SurpriseRemoved;
    }
    ReleasePlayer();
}

NTSTATUS Controller::Remove(PIRP irp) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    if (options_.cancelOnRemove) {
        // What is still out comes back through an abort of the pipe, as a
        // class driver stops; a device that refuses the abort has its
        // transfers cancelled one by one. The device is left only once every
        // transfer has come back.
        // A resubmission that passed its check before the stop can reach
        // the device just after the abort: what is still out a moment later
        // is cancelled as well.
        if (!NT_SUCCESS(AbortPipe()) || !WaitOutstanding(0, std::chrono::seconds(1))) {
            CancelTransfers();
        }
        if (!WaitOutstanding(0)) {
            fprintf(stderr,
                    "xusb22: endpoint 1: %zu transfer(s) never came back within 10 s of their "
                    "cancel\n",
                    Outstanding());
            abort();
        }
    }
    // The thread finishes what it was given, then ends.
    // Work handed to it before that is done before the device is left.
    std::shared_ptr<pnp::PnpThread> thread;
    {
        std::unique_lock<std::mutex> guard(threadLock_);
        thread.swap(thread_);
        runsDone_.wait(guard, [&] { return runs_ == 0; });
    }
    thread.reset();
    if (NT_SUCCESS(busInterfaceStatus_) && busInterface_.InterfaceDereference != nullptr) {
        busInterface_.InterfaceDereference(busInterface_.BusContext);
    }
    ReleasePlayer();
    irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = Driver::PassDown(lower_, irp);
    IoDetachDevice(lower_);
    IoDeleteDevice(device_);
    {
        std::lock_guard<std::mutex> guard(lock_);
        state_ = State::Removed;
    }
    changed_.notify_all();
    return status;
}

} // namespace sim::xbox
