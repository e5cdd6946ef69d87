// quillex-sim: runs Quillex in the simulated Windows and shows what a game sees.
//
// It installs the Quillex service and the Xbox 360 class driver in the
// simulated machine, lets the PnP manager load the driver, plugs a simulated
// arcade stick of either model and shows the device the driver made over it
// (instance number, product id, interface, mapping). A thread that plays the
// HID reader thread (not built yet) then creates the emulated controller: the
// PnP manager enumerates the child and loads the class driver on it, which
// configures it, keeps endpoint 1 transfers waiting and sends its LED
// command. The stick's demo session is replayed through the driver's decoders
// and report composition; each composed report is handed to the emulated
// controller and shown as the gamepad state the class driver read from it.
// Finally the stick is unplugged again.
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <thread>

#include "driver/device_add.h"
#include "mapping/remap_store.h"
#include "mapping/xusb_report.h"
#include "sim/core/utf.h"
#include "sim/kernel/thread_state.h"
#include "sim/peers/xbox/class_driver.h"
#include "sim/peers/stick/raw_reports.h"
#include "sim/pnp/stack.h"
#include "sim/registry/reg_file.h"
#include "sim/registry/registry.h"
#include "sim/wdf/object.h"
#include "tools/quillex-sim/command_line.h"
#include "tools/quillex-sim/gamepad_view.h"
#include "tools/quillex-sim/mapping_report.h"
#include "tools/quillex-sim/reader_stand_in.h"
#include "tools/quillex-sim/usb_capture.h"
#include "xusb/xusb_pdo.h"

namespace {

std::string Hex(const uint8_t* bytes, size_t count) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < count; ++i) {
        snprintf(b, sizeof(b), "%02X ", bytes[i]);
        out += b;
    }
    if (!out.empty()) {
        out.pop_back();
    }
    return out;
}

// Waits until 'done' holds, or five seconds have gone.
template <class Predicate> bool WaitBriefly(Predicate done) {
    for (int i = 0; i < 5000 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

const char* PipeType(USBD_PIPE_TYPE type) {
    switch (type) {
    case UsbdPipeTypeControl:
        return "control";
    case UsbdPipeTypeIsochronous:
        return "isochronous";
    case UsbdPipeTypeBulk:
        return "bulk";
    default:
        return "interrupt";
    }
}

// Creates the emulated controller and waits for the class driver to configure
// it; shows what the PnP manager and the class driver made of it.
std::shared_ptr<sim::xbox::Controller> BringUpController(sim::pnp::Stack& stack,
                                                         sim::pnp::Stack::DeviceId id,
                                                         PDEVICE_CONTEXT ctx,
                                                         ReaderStandIn& reader) {
    NTSTATUS status = reader.CreateController();
    stack.WaitIdle();
    if (!NT_SUCCESS(status) || ctx->XusbPdo == nullptr) {
        fprintf(stderr, "quillex-sim: creating the emulated controller failed: %08x\n",
                static_cast<unsigned>(status));
        return nullptr;
    }
    PDEVICE_OBJECT pdo = WdfDeviceWdmGetDeviceObject(ctx->XusbPdo);
    for (const sim::pnp::ChildDevice& child : stack.Children(id)) {
        if (child.pdo == pdo) {
            printf("   emulated controller %s: \"%s\" at \"%s\", driver %s\n",
                   child.instanceId.c_str(), child.description.c_str(), child.location.c_str(),
                   child.service.empty() ? "(none)" : child.service.c_str());
        }
    }
    std::shared_ptr<sim::xbox::Controller> controller = sim::xbox::WaitForController(pdo);
    status = controller != nullptr ? controller->WaitConfigured() : STATUS_NO_SUCH_DEVICE;
    if (!NT_SUCCESS(status)) {
        fprintf(stderr, "quillex-sim: the class driver could not configure the controller: %08x\n",
                static_cast<unsigned>(status));
        return nullptr;
    }
    std::vector<uint8_t> device = controller->DeviceDescriptor();
    printf("   class driver: \"%s\", vendor %04X product %04X, USBDI 0x%X\n",
           controller->Product().c_str(), device[8] | device[9] << 8, device[10] | device[11] << 8,
           controller->UsbdVersion().USBDI_Version);
    for (const sim::xbox::Controller::Pipe& pipe : controller->Pipes()) {
        printf("   endpoint %02X %s %s, %u bytes, interval %u, pipe handle 0x%X\n",
               pipe.endpointAddress, PipeType(pipe.type),
               (pipe.endpointAddress & 0x80) ? "in" : "out", pipe.maximumPacketSize, pipe.interval,
               pipe.handle);
    }
    // The LED state is recorded by a work item of the child, just after the
    // class driver's command came in.
    int command = sim::xbox::Options().startLed;
    // The work item writes the state under the mapping mutex, and so it is read.
    auto ledState = [ctx] {
        UCHAR state = 0;
        if (TorvaXboxMappingLock(ctx) == STATUS_SUCCESS) {
            state = ctx->LedState;
            TorvaXboxMappingUnlock(ctx);
        }
        return state;
    };
    WaitBriefly([&] { return ledState() != 0; });
    printf("   LED: the class driver sent 01 03 %02X, LED state %u\n", command, ledState());
    return controller;
}

// Plays the reader thread: brings up the emulated controller, then replays
// the demo session, handing each composed report to the controller.
int ReaderSession(sim::pnp::Stack& stack, sim::pnp::Stack::DeviceId id, PDEVICE_CONTEXT ctx,
                  sim::stick::Layout layout,
                  std::shared_ptr<sim::xbox::Controller>* controllerOut) {
    size_t length =
        layout == sim::stick::Layout::A ? sim::stick::kLayoutALength : sim::stick::kLayoutBLength;
    ReaderStandIn reader(ctx, length);
    if (!reader.Ok()) {
        fprintf(stderr, "quillex-sim: could not allocate the report buffers\n");
        return 1;
    }
    std::shared_ptr<sim::xbox::Controller> controller = BringUpController(stack, id, ctx, reader);
    if (controller == nullptr) {
        return 1;
    }
    *controllerOut = controller;
    int index = 0;
    for (const auto& step : sim::stick::DemoScript()) {
        std::vector<uint8_t> raw = sim::stick::Encode(layout, step.state);
        bool changed = false;
        NTSTATUS status = reader.Feed(raw, &changed);
        if (!NT_SUCCESS(status)) {
            fprintf(stderr, "quillex-sim: composing the Xbox report failed: %08x\n",
                    static_cast<unsigned>(status));
            return 1;
        }
        const ULONG* a = reader.Analog();
        printf("#%02d %-22s raw [%s]\n", index++, step.what.c_str(),
               Hex(raw.data(), raw.size()).c_str());
        printf("    %-9s buttons: %s\n", changed ? "changed" : "unchanged",
               sim::stick::ButtonNames(ctx->CanonicalButtons).c_str());
        printf("    left stick (%u, %u)  right stick (%u, %u)  hat %u  left trigger %u  right "
               "trigger %u\n",
               a[ANALOG_LEFT_STICK_X], a[ANALOG_LEFT_STICK_Y], a[ANALOG_RIGHT_STICK_X],
               a[ANALOG_RIGHT_STICK_Y], a[ANALOG_HAT], a[ANALOG_LEFT_TRIGGER],
               a[ANALOG_RIGHT_TRIGGER]);
        std::string delivery = "  (not sent again)";
        if (changed) {
            size_t before = controller->CompletionCount();
            status = reader.DeliverReport();
            if (status == STATUS_SUCCESS) {
                delivery = "  (endpoint 1)";
                controller->WaitCompletions(before + 1);
            } else {
                char why[48];
                snprintf(why, sizeof(why), "  (no transfer waiting: %08x)",
                         static_cast<unsigned>(status));
                delivery = why;
            }
        }
        printf("    xbox [%s]%s\n", Hex(ctx->XusbInputReport, XUSB_INPUT_REPORT_LENGTH).c_str(),
               delivery.c_str());
        printf("    game %s\n", sim::xbox::Describe(controller->GamepadState()).c_str());
    }
    return 0;
}

int RunStick(sim::pnp::Stack& stack, sim::stick::Layout layout, bool firstDevice,
             const Options& options) {
    uint16_t productId = layout == sim::stick::Layout::A ? sim::stick::kLayoutAProductId
                                                         : sim::stick::kLayoutBProductId;
    sim::pnp::StickDescription stick = sim::pnp::ArcadeStick(productId);
    std::string hardwareId = stick.hardwareIds.front();
    sim::pnp::Stack::DeviceId id = 0;
    NTSTATUS status = stack.Plug(std::move(stick), &id);
    printf("== plugged stick %s on %s: %s\n", hardwareId.c_str(),
           id != 0 ? stack.PdoName(id).c_str() : "?", NT_SUCCESS(status) ? "started" : "failed");
    if (!NT_SUCCESS(status) || stack.FunctionDevice(id) == nullptr) {
        fprintf(stderr, "quillex-sim: plugging the stick failed: %08x\n",
                static_cast<unsigned>(status));
        return 1;
    }
    PDEVICE_CONTEXT ctx = QuillexGetDeviceContext(stack.FunctionDevice(id));
    printf("   device #%u, product id 0x%X (raw layout %c), physical device object %s\n",
           ctx->InstanceNumber, ctx->ProductId,
           ctx->ProductId == QUILLEX_LAYOUT_A_PRODUCT_ID ? 'A' : 'B',
           sim::Utf16ToUtf8(ctx->PdoName).c_str());
    for (const std::string& path : stack.Interfaces(id)) {
        printf("   interface %s\n", path.c_str());
    }
    printf("   mapping key %s\n", sim::Utf16ToUtf8(ctx->RegistryPath).c_str());
    if (firstDevice && options.saveMapping) {
        status = TorvaXboxMappingSaveRemap(ctx);
        printf("   mapping saved: %s\n", NT_SUCCESS(status) ? "ok" : "failed");
    }
    if (firstDevice && options.printMapping) {
        printf(
            "%s",
            DescribeStoredMapping(sim::Utf16ToUtf8(ctx->RegistryPath), ctx->RemapRecord).c_str());
    }

    int rc = 0;
    std::shared_ptr<sim::xbox::Controller> controller;
    std::thread reader([&] {
        sim::kernel::SetCurrentThreadName("reader");
        rc = ReaderSession(stack, id, ctx, layout, &controller);
    });
    reader.join();

    status = stack.Unplug(id);
    stack.WaitRemoved(id);
    printf("== unplugged stick %s: %s\n", hardwareId.c_str(),
           NT_SUCCESS(status) && stack.FunctionDevice(id) == nullptr ? "device removed"
                                                                     : "removal failed");
    if (controller != nullptr) {
        size_t reports = 0, cancelled = 0;
        for (const sim::xbox::Controller::Completion& c : controller->Completions()) {
            reports += c.isReport ? 1 : 0;
            cancelled += c.status == STATUS_CANCELLED ? 1 : 0;
        }
        printf("   class driver: %zu reports read, %zu waiting transfers cancelled at removal\n",
               reports, cancelled);
    }
    sim::xbox::Forget();
    return rc;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    int exitCode = ParseCommandLine(argc, argv, &options);
    if (exitCode >= 0) {
        return exitCode;
    }

    // The registry file is checked before anything runs: a run whose result
    // could not be kept is not started.
    std::string error;
    std::unique_ptr<sim::registry::RegFile> registryFile;
    if (!options.registryFile.empty()) {
        registryFile = std::make_unique<sim::registry::RegFile>(options.registryFile);
        if (!registryFile->CheckWritable(&error) || !registryFile->Load(&error)) {
            fprintf(stderr, "quillex-sim: %s\n", error.c_str());
            return 1;
        }
    } else if (options.saveMapping) {
        printf("== no --registry FILE.reg: the saved mapping lives in this run's registry only, "
               "nothing persists\n");
    }

    UsbCapture capture;
    if (!options.pcapFile.empty() && !capture.Open(options.pcapFile, &error)) {
        fprintf(stderr, "quillex-sim: --pcap: %s\n", error.c_str());
        return 1;
    }

    int rc = 0;
    {
        sim::pnp::Stack stack(DriverEntry);
        // The Xbox 360 controller class driver, as its INF installs it.
        sim::xbox::Options classDriver;
        if (!options.pcapFile.empty()) {
            classDriver.urbObserver = capture.Observer();
        }
        stack.Install(sim::xbox::Package(classDriver));
        // Installing the INF creates the service key and its Parameters key; the
        // mapping's Remap key below it is the driver's to create.
        if (!sim::registry::CreateKey(stack.RegistryPath() + "\\Parameters")) {
            fprintf(stderr, "quillex-sim: could not create the service key\n");
            return 1;
        }
        NTSTATUS status = stack.Load();
        printf("== driver loaded from %s: %08x\n", stack.RegistryPath().c_str(),
               static_cast<unsigned>(status));
        if (!NT_SUCCESS(status)) {
            return 1;
        }
        bool first = true;
        if (options.layout == "a" || options.layout == "both") {
            rc |= RunStick(stack, sim::stick::Layout::A, first, options);
            first = false;
        }
        if (options.layout == "b" || options.layout == "both") {
            rc |= RunStick(stack, sim::stick::Layout::B, first, options);
        }
        status = stack.Unload();
        printf("== driver unloaded: %08x, %zu framework objects left\n",
               static_cast<unsigned>(status), sim::wdf::LiveObjectCount());
        rc |= NT_SUCCESS(status) ? 0 : 1;
    }

    if (!options.pcapFile.empty()) {
        size_t packets = capture.Packets();
        if (!capture.Close(&error)) {
            fprintf(stderr, "quillex-sim: --pcap: %s\n", error.c_str());
            return 1;
        }
        printf("== USB capture: %zu packets written to %s\n", packets, options.pcapFile.c_str());
    }
    if (registryFile != nullptr) {
        bool written = false;
        if (!registryFile->Save(&written, &error)) {
            fprintf(stderr, "quillex-sim: %s\n", error.c_str());
            return 1;
        }
        printf(written ? "== registry written to %s\n"
                       : "== registry unchanged: %s left as it was\n",
               options.registryFile.c_str());
    }
    return rc;
}
