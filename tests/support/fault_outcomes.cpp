#include "tests/support/fault_outcomes.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <unordered_map>

#include "sim/peers/stick/raw_reports.h"

namespace quillex_test::sweep {
namespace {

std::string Text(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    std::string result(text);
    while (!result.empty() && result.back() == '\n') {
        result.pop_back();
    }
    return result;
}

std::string Hex(NTSTATUS status) {
    return Text("0x%08x", static_cast<unsigned>(status));
}

// The lines of the driver's source files, read once.
const std::vector<std::string>& SourceLines(const std::string& sourceDir, const std::string& file) {
    static std::mutex lock;
    static std::unordered_map<std::string, std::vector<std::string>> files;
    std::lock_guard<std::mutex> guard(lock);
    auto known = files.find(file);
    if (known != files.end()) {
        return known->second;
    }
    std::vector<std::string> lines;
    std::ifstream in(sourceDir + "/" + file);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return files.emplace(file, std::move(lines)).first->second;
}

// The statement line n (from 1) belongs to: back to the line after one that
// ends a statement or opens or closes a block, on to the line that ends it.
std::string Statement(const std::vector<std::string>& lines, size_t n) {
    auto ends = [&](size_t line) {
        const std::string& text = lines[line - 1];
        size_t last = text.find_last_not_of(" \t");
        return last == std::string::npos || text[last] == ';' || text[last] == '{' ||
               text[last] == '}';
    };
    size_t first = n;
    while (first > 1 && !ends(first - 1)) {
        --first;
    }
    size_t last = n;
    while (last < lines.size() && !ends(last)) {
        ++last;
    }
    std::string statement;
    for (size_t line = first; line <= last; ++line) {
        statement += lines[line - 1] + "\n";
    }
    return statement;
}

// Where the failed call was made, and through which callers.
class Site {
  public:
    Site(const std::string& sourceDir, const FaultPoint& point, const Call& call)
        : sourceDir_(sourceDir), point_(point), call_(call) {}

    // The fault point is the call of 'routine' in 'file'.
    bool Is(const char* file, const char* routine) const {
        return point_.file == file && point_.service == routine;
    }
    // ... and its statement mentions 'text'.
    bool At(const char* text) const {
        const auto& lines = SourceLines(sourceDir_, point_.file);
        for (unsigned n = point_.line; n <= point_.lastLine && n <= lines.size(); ++n) {
            if (lines[n - 1].find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    // A caller in 'file' reached it through a statement that mentions 'text'
    // (the line tables may name any line of a call that spans several).
    bool Via(const char* file, const char* text) const {
        for (const std::string& caller : call_.callers) {
            size_t colon = caller.rfind(':');
            if (caller.compare(0, colon, file) != 0) {
                continue;
            }
            const auto& lines = SourceLines(sourceDir_, file);
            size_t n = std::stoul(caller.substr(colon + 1));
            if (n >= 1 && n <= lines.size() &&
                Statement(lines, n).find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    // The status the driver gets back: the failed service's own, or, when a
    // framework routine failed inside (an allocation, an IRP), the routine's
    // STATUS_INSUFFICIENT_RESOURCES.
    NTSTATUS Status() const {
        return call_.service == point_.service ? call_.failure : STATUS_INSUFFICIENT_RESOURCES;
    }

  private:
    const std::string& sourceDir_;
    const FaultPoint& point_;
    const Call& call_;
};

// What the outcome depends on besides the call site.
struct Facts {
    NTSTATUS status; // what the driver got back
    ULONG instance;  // the stick's device number
    LifeStep step;   // the step the failure came in
    unsigned nth;    // which call of its service from that point, in the step
};

// Device add refused: the stick is never started.
Outcome DeviceNotAdded(std::string rule, NTSTATUS status, std::vector<std::string> traced) {
    return {std::move(rule),
            {{"plug", status}},
            std::move(traced),
            Reports::NotProbed,
            Controller::NotAsked};
}

// Prepare hardware still succeeds when HID setup fails; the setup is torn
// down, and the reader the next open starts finds no input buffer and ends
// after making the emulated controller. The next hardware start sets up
// again.
// Until then the application's pushes, which need the decoded state that
// setup makes, are refused with STATUS_DEVICE_NOT_READY.
Outcome SetupFailed(std::string rule, const Facts& f, NTSTATUS setupStatus,
                    std::vector<std::string> traced) {
    traced.push_back(Text("Quillex!QuillexHidSetup: <%u> Error - Setup failed with status %x, "
                          "cleaning up...\n",
                          f.instance, setupStatus));
    traced.push_back(Text("Quillex!QuillexHidReaderThread: <%u> Error - Memory has not allocated\n",
                          f.instance));
    std::vector<Refusal> refused;
    if (f.step == LifeStep::PlugAndStart) {
        refused = {{"set value", STATUS_DEVICE_NOT_READY}, {"set state", STATUS_DEVICE_NOT_READY}};
    }
    return {std::move(rule), std::move(refused), std::move(traced), Reports::BackAfterRestart,
            Controller::Made};
}

// A step of the emulated controller's creation failed: traced with the
// creation's failure message, no controller; the reader reads on and the
// reports go nowhere until the next hardware start asks again.
Outcome ControllerNotCreated(std::string rule, ULONG instance, NTSTATUS status,
                             std::string stepMessage) {
    std::vector<std::string> traced = {std::move(stepMessage)};
    traced.push_back(
        Text("Quillex!Bus_XusbCreatePdo: <%u>-- Failed - - %x (err)\n", instance, status));
    return {std::move(rule), {}, std::move(traced), Reports::BackAfterRestart, Controller::NotMade};
}

// The reader ended (or never read) after it made the emulated controller:
// reports stop until the next hardware start and open.
Outcome ReaderEnded(std::string rule, std::vector<std::string> traced) {
    return {std::move(rule), {}, std::move(traced), Reports::BackAfterRestart, Controller::Made};
}

std::optional<Outcome> DeviceAddOutcome(const Site& site, const Facts& f) {
    const NTSTATUS s = f.status;
    if (site.Is("driver/device_add.cpp", "WdfDriverCreate")) {
        return DeviceNotAdded("the driver does not load", s,
                              {Text("Quillex: Error Creating WDFDRIVER 0x%x\n", s)});
    }
    if (site.Is("driver/device_add.cpp", "WdfDeviceCreate")) {
        return DeviceNotAdded(
            "device add returns WdfDeviceCreate's status", s,
            {Text("Quillex!Quillex_EvtDeviceAdd: Error - WdfDeviceCreate failed - %x\n", s)});
    }
    if (site.Is("driver/device_add.cpp", "WdfDeviceQueryProperty")) {
        return DeviceNotAdded("device add returns the hardware ID query's status", s, {});
    }
    if (site.Is("driver/forwarding.cpp", "WdfWorkItemCreate")) {
        return DeviceNotAdded(
            "device add returns the reader launch work item's creation status", s,
            {Text("Quillex!QuillexReaderLaunchInit: Error - WdfWorkItemCreate failed - 0x%x\n",
                  s)});
    }
    if (site.Is("driver/device_add.cpp", "WdfIoQueueCreate")) {
        return DeviceNotAdded(
            "device add returns the queue creation's status", s,
            {Text("Quillex!QuillexQueueInit: Error - WdfIoQueueCreate failed 0x%x\n", s)});
    }
    if (site.Is("driver/device_add.cpp", "WdfDeviceCreateDeviceInterface")) {
        // A filter without an interface: nothing can open it, so no reader.
        return Outcome{"the device starts without an interface",
                       {{"no device interface to open", STATUS_OBJECT_NAME_NOT_FOUND}},
                       {Text("Quillex!Quillex_EvtDeviceAdd: Error - "
                             "WdfDeviceCreateDeviceInterface failed - 0x%x\n",
                             s)},
                       Reports::StopForGood,
                       Controller::NotMade};
    }
    if (site.Is("driver/device_add.cpp", "WdfDeviceAllocAndQueryProperty")) {
        // No physical device object name: the reader makes the controller,
        // then cannot open its shadow target by the empty name, at every
        // start.
        return Outcome{"the device starts with an empty PdoName",
                       {},
                       {Text("Quillex!Quillex_EvtDeviceAdd: Error - "
                             "WdfDeviceAllocAndQueryProperty failed - 0x%x\n",
                             s)},
                       Reports::StopForGood,
                       Controller::Made};
    }
    if (site.Is("platform/memory_buffer.cpp", "WdfMemoryCreate") &&
        site.Via("mapping/remap_store.cpp", "RegistryPathBuffer")) {
        // The defaults stay in force; the mapping can be neither loaded nor
        // saved, and a mapping write says so (its key cannot be opened), as
        // does a setting's write beside it.
        return Outcome{"the mapping keeps its defaults and cannot be saved",
                       {{"set mapping", kAnyError}, {"set setting", kAnyError}},
                       {Text("Quillex!TorvaXboxMappingInit: ERROR: Couldn't allocate "
                             "RegistryPath buffer - %x\n",
                             s)},
                       Reports::Flow,
                       Controller::Made};
    }
    return std::nullopt;
}

std::optional<Outcome> SetupOutcome(const Site& site, const Facts& f) {
    const NTSTATUS s = f.status;
    const ULONG n = f.instance;
    const NTSTATUS noMemory = STATUS_INSUFFICIENT_RESOURCES;
    if (site.Is("hid/hid_probe.cpp", "WdfIoTargetSendIoctlSynchronously")) {
        const std::string information = Text("Quillex!QuillexHidDeviceProbe: <%u> Error - "
                                             "IOCTL_HID_GET_COLLECTION_INFORMATION failed - %x\n",
                                             n, s);
        const std::string descriptor = Text("Quillex!QuillexHidDeviceProbe: <%u> Error -  "
                                            "IOCTL_HID_GET_COLLECTION_DESCRIPTOR failed - 0x%x\n",
                                            n, s);
        if (site.Via("hid/hid_probe.cpp", "IOCTL_HID_GET_COLLECTION_INFORMATION")) {
            return SetupFailed("setup fails with the information request's status", f, s,
                               {information});
        }
        if (site.Via("hid/hid_probe.cpp", "IOCTL_HID_GET_COLLECTION_DESCRIPTOR")) {
            return SetupFailed("setup fails with the descriptor request's status", f, s,
                               {descriptor});
        }
        Outcome outcome = SetupFailed("setup fails with the collection request's status", f, s, {});
        outcome.tracedOneOf.push_back({information, descriptor});
        return outcome;
    }
    if (site.Is("hid/hid_probe.cpp", "HidP_GetCaps")) {
        return SetupFailed("setup fails with HidP_GetCaps's result", f, s, {});
    }
    if (site.Is("hid/hid_probe.cpp", "HidP_GetButtonCaps")) {
        // A capability array that cannot be built does not fail the probe.
        return Outcome{"the probe goes on without the button array",
                       {},
                       {Text("Quillex!QuillexGetCapsArray: HidP_GetButtonCaps failed 0x%x\n", s)},
                       Reports::Flow,
                       Controller::Made};
    }
    if (site.Is("hid/hid_probe.cpp", "HidP_GetValueCaps")) {
        return Outcome{"the probe goes on without the value array",
                       {},
                       {Text("Quillex!QuillexGetCapsArray: HidP_GetValueCaps failed 0x%x\n", s)},
                       Reports::Flow,
                       Controller::Made};
    }
    if (site.Is("hid/hid_setup.cpp", "WdfRequestCreate")) {
        if (site.Via("hid/hid_setup.cpp", "&context->InputReportWdfRequest")) {
            return SetupFailed("setup fails with the input request's creation status", f, s,
                               {Text("Quillex!QuillexHidSetup: <%u> Error - WdfRequestCreate "
                                     "failed for InputReport - 0x%x\n",
                                     n, s)});
        }
        if (site.Via("hid/hid_setup.cpp", "&context->OutputReportWdfRequest")) {
            return SetupFailed("setup fails with the output request's creation status", f, s,
                               {Text("Quillex!QuillexHidSetup: <%u> Error - WdfRequestCreate "
                                     "failed for OutputReport - 0x%x\n",
                                     n, s)});
        }
        Outcome outcome = SetupFailed("setup fails with the request creation's status", f, s, {});
        outcome.tracedOneOf.push_back(
            {Text("Quillex!QuillexHidSetup: <%u> Error - WdfRequestCreate failed for InputReport "
                  "- 0x%x\n",
                  n, s),
             Text("Quillex!QuillexHidSetup: <%u> Error - WdfRequestCreate failed for "
                  "OutputReport - 0x%x\n",
                  n, s)});
        return outcome;
    }
    if (!site.Is("platform/memory_buffer.cpp", "WdfMemoryCreate")) {
        return std::nullopt;
    }
    if (site.Via("hid/hid_probe.cpp", "&hid->PreparsedData")) {
        return SetupFailed("setup fails with the preparsed data allocation's status", f, s,
                           {Text("Quillex!QuillexHidDeviceProbe: <%u> Error - Couldn't alloc "
                                 "PreparsedData - %x\n",
                                 n, s)});
    }
    if (site.Via("hid/hid_probe.cpp", "QuillexAllocMemory(Parent, Pair")) {
        return Outcome{"the probe goes on without that capability array",
                       {},
                       {},
                       Reports::Flow,
                       Controller::Made};
    }
    if (site.Via("hid/hid_setup.cpp", "&analogValues")) {
        return SetupFailed("setup fails with STATUS_INSUFFICIENT_RESOURCES", f, noMemory,
                           {Text("Quillex!QuillexHidSetup: <%u> Error - Couldn't allocate analog "
                                 "input values array - 0x%x\n",
                                 n, s)});
    }
    if (site.Via("hid/hid_setup.cpp", "&context->InputReport,")) {
        return SetupFailed(
            "setup fails with STATUS_INSUFFICIENT_RESOURCES", f, noMemory,
            {Text("Quillex!QuillexHidSetup: <%u> Error - Couldn't allocate InputReport - 0x%x\n", n,
                  s)});
    }
    if (site.Via("hid/hid_setup.cpp", "&context->OutputReport,")) {
        return SetupFailed(
            "setup fails with STATUS_INSUFFICIENT_RESOURCES", f, noMemory,
            {Text("Quillex!QuillexHidSetup: <%u> Error - Couldn't allocate OutputReport 0x%x\n", n,
                  s)});
    }
    return std::nullopt;
}

std::optional<Outcome> OpenAndReaderOutcome(const Site& site, const Facts& f) {
    const NTSTATUS s = f.status;
    const ULONG n = f.instance;
    if (site.Is("driver/forwarding.cpp", "WdfRequestSend") &&
        site.At("WdfDeviceGetIoTarget(Device)")) {
        std::string traced = Text("Quillex!Quillex_EvtDeviceFileCreate: Error - WdfRequestSend "
                                  "failed, complete FileCreate request locally with %x\n",
                                  s);
        if (site.Via("hid/reader_thread.cpp", "WdfIoTargetOpen(")) {
            // The reader's own open of its shadow target, through the filter.
            return ReaderEnded("the reader's target open fails with the send status",
                               {traced, Text("Quillex!QuillexHidReaderThread: <%u> Error - "
                                             "WdfIoTargetOpen failed - 0x%x\n",
                                             n, s)});
        }
        // The application's open: refused with the send status, no reader.
        return Outcome{"the open completes with the send status and starts nothing",
                       {{"open", s}},
                       {traced},
                       Reports::BackAfterRestart,
                       Controller::NotMade};
    }
    if (site.Is("hid/worker.cpp", "PsCreateSystemThread")) {
        return Outcome{
            "the open succeeds, the reader is not launched; the next open tries again",
            {},
            {Text("Quillex!ThreadLaunch: Error - PsCreateSystemThread failed - %x\n", s),
             Text("Quillex!Quillex_EvtDeviceFileCreateComplete: Error - Unable to launch HID "
                  "reader thread - %x\n",
                  s)},
            Reports::BackAfterRestart,
            Controller::NotMade};
    }
    if (site.Is("hid/worker.cpp", "ObReferenceObjectByHandle")) {
        // The thread was started all the same, and reads.
        return Outcome{
            "the launch is reported failed, the thread started all the same",
            {},
            {Text("Quillex!ThreadLaunch: Error - ObReferenceObjectByHandle failed - %x\n", s),
             Text("Quillex!Quillex_EvtDeviceFileCreateComplete: Error - Unable to launch HID "
                  "reader thread - %x\n",
                  s)},
            Reports::Flow,
            Controller::Made};
    }
    if (site.Is("hid/reader_thread.cpp", "KeWaitForSingleObject") && site.At("startupWait")) {
        // Whatever ends the start-up wait, the thread goes on.
        return Outcome{
            "the reader goes on after its start-up wait", {}, {}, Reports::Flow, Controller::Made};
    }
    if (site.Is("hid/reader_thread.cpp", "WdfIoTargetCreate")) {
        return ReaderEnded("the reader ends with the target creation's status",
                           {Text("Quillex!QuillexHidReaderThread: <%u> Error - WdfIoTargetCreate "
                                 "failed - 0x%x\n",
                                 n, s)});
    }
    if (site.Is("hid/reader_thread.cpp", "WdfIoTargetOpen")) {
        return ReaderEnded(
            "the reader ends with the target open's status",
            {Text("Quillex!QuillexHidReaderThread: <%u> Error - WdfIoTargetOpen failed - 0x%x\n", n,
                  s)});
    }
    if (site.Is("hid/reader_thread.cpp", "WdfIoTargetFormatRequestForRead")) {
        return ReaderEnded("the read loop ends when a read cannot be formatted",
                           {Text("Quillex!QuillexHidReaderThread: <%u> Error - "
                                 "WdfIoTargetFormatRequestForRead failed - 0x%x\n",
                                 n, s)});
    }
    if (site.Is("hid/reader_thread.cpp", "WdfRequestSend")) {
        // The next pass sends the read again.
        return Outcome{
            "a read that cannot be sent is sent again",
            {},
            {Text("Quillex!QuillexHidReaderThread: <%u> Error - WdfRequestSend failed - 0x%x\n", n,
                  s)},
            Reports::Flow,
            Controller::NotAsked};
    }
    if (site.Is("hid/reader_thread.cpp", "KeWaitForMultipleObjects")) {
        // A wait that ends otherwise is handled as the stop event.
        return ReaderEnded("the reader bails out of a wait that ends otherwise",
                           {Text("Quillex!QuillexHidReaderThread: <%u> Error- Unhandled wait "
                                 "status - 0x%x (Bailing)\n",
                                 n, s),
                            Text("Quillex!QuillexHidReaderThread: <%u> Stop event\n", n)});
    }
    if (site.Is("hid/worker.cpp", "KeWaitForSingleObject")) {
        // The stop's 7 ms wait timing out is traced; teardown goes on.
        return Outcome{
            "teardown goes on after the stop's wait times out",
            {},
            {Text("Quillex!ThreadRecover: SHUTDOWN error KeWaitForSingleObject - %x\n", s),
             Text("Quillex!ThreadRecover: *****TBD*****\n"),
             Text("Quillex!QuillexHidTeardown: <%u> ThreadRecover status %x\n", n, s)},
            Reports::Flow,
            Controller::NotAsked};
    }
    return std::nullopt;
}

std::optional<Outcome> ControllerOutcome(const Site& site, const Facts& f) {
    const NTSTATUS s = f.status;
    const ULONG n = f.instance;
    const char* file = "xusb/pdo_create.cpp";
    struct Step {
        const char* routine;
        const char* at; // to tell two calls of one routine apart
        const char* format;
    };
    static const Step steps[] = {
        {"WdfDeviceInitAssignSDDLString", nullptr,
         "Quillex!Bus_XusbCreatePdo: <%u> WdfDeviceInitAssignSDDLString failed 0x%x\n"},
        {"WdfPdoInitAssignDeviceID", nullptr,
         "Quillex!Bus_XusbCreatePdo: <%u> WdfPdoInitAssignDeviceID failed 0x%x\n"},
        {"WdfPdoInitAddHardwareID", nullptr,
         "Quillex!Bus_XusbCreatePdo: <%u> WdfPdoInitAddHardwareID failed 0x%x\n"},
        {"WdfPdoInitAddCompatibleID", nullptr,
         "Quillex!Bus_XusbCreatePdo: <%u> WdfPdoInitAddCompatibleID failed 0x%x\n"},
        {"RtlUnicodeStringPrintf", "%02d",
         "Quillex!Bus_XusbCreatePdo: <%u>-- RtlUnicodeStringPrintf failed 0x%x\n"},
        {"WdfPdoInitAssignInstanceID", nullptr,
         "Quillex!Bus_XusbCreatePdo: <%u>-- WdfPdoInitAssignInstanceID failed 0x%x\n"},
        {"RtlUnicodeStringPrintf", "Controller",
         "Quillex!Bus_XusbCreatePdo: <%u> RtlUnicodeStringPrintf failed 0x%x\n"},
        {"WdfPdoInitAddDeviceText", nullptr,
         "Quillex!Bus_XusbCreatePdo: <%u> WdfPdoInitAddDeviceText failed 0x%x\n"},
        {"WdfDeviceInitAssignWdmIrpPreprocessCallback", "IRP_MJ_PNP",
         "Quillex!Bus_XusbCreatePdo: <%u> WdfDeviceInitAssignWdmIrpPreprocessCallback "
         "IRP_MJ_PNP failed 0x%x\n"},
        {"WdfDeviceInitAssignWdmIrpPreprocessCallback", "IRP_MJ_INTERNAL_DEVICE_CONTROL",
         "Quillex!Bus_XusbCreatePdo: <%u> WdfDeviceInitAssignWdmIrpPreprocessCallback "
         "IRP_MJ_INTERNAL_DEVICE_CONTROL failed 0x%x\n"},
        {"WdfDeviceCreate", nullptr,
         "Quillex!Bus_XusbCreatePdo: <%u> WdfDeviceCreate failed 0x%x\n"},
    };
    for (const Step& step : steps) {
        if (site.Is(file, step.routine) && (step.at == nullptr || site.At(step.at))) {
            return ControllerNotCreated(std::string("no controller: ") + step.routine + " failed",
                                        n, s, Text(step.format, n, s));
        }
    }
    if (site.Is(file, "WdfPdoInitAllocate")) {
        return ControllerNotCreated(
            "no controller: WdfPdoInitAllocate failed", n, STATUS_INSUFFICIENT_RESOURCES,
            Text("Quillex!Bus_XusbCreatePdo: <%u> WdfPdoInitAllocate failed\n", n));
    }
    if (site.Is(file, "WdfFdoAddStaticChild")) {
        return ControllerNotCreated(
            "no controller: WdfFdoAddStaticChild failed", n, s,
            Text("Quillex!Bus_XusbCreatePdo:  WdfFdoAddStaticChild  failed - 0x%x", s));
    }
    return std::nullopt;
}

// A mapping save writes the 13 buttons, then the three flags (only after
// every button), then the 12 control points (always); the first failure ends
// its stage, traced, and only the control points decide the save's status,
// which the application's mapping write carries.
Outcome SaveWriteFailed(const Facts& f) {
    static const char* const flags[] = {"SWAP_TRIGGERS", "SWAP_STICKS", "ENABLE_SCALING"};
    static const char* const points[] = {"R_TRIG_CP_1",    "R_TRIG_CP_2",    "L_TRIG_CP_1",
                                         "L_TRIG_CP_2",    "R_STICK_X_CP_1", "R_STICK_X_CP_2",
                                         "R_STICK_Y_CP_1", "R_STICK_Y_CP_2", "L_STICK_X_CP_1",
                                         "L_STICK_X_CP_2", "L_STICK_Y_CP_1", "L_STICK_Y_CP_2"};
    const char* const unable = "Quillex!TorvaXboxMappingSaveRemap: Unable to save remap [%d] to "
                               "registry value '%s'\n";
    unsigned write = f.nth - 1;
    if (write < 13) {
        return {"a button not saved is traced; the save still succeeds",
                {},
                {Text(unable, write, sim::stick::kButtonNames[write])},
                Reports::Flow,
                Controller::NotAsked};
    }
    if (write < 16) {
        return {"a flag not saved is traced; the save still succeeds",
                {},
                {Text("Quillex!RemapSaveValue: Unable to save remap registry value '%s'\n",
                      flags[write - 13])},
                Reports::Flow,
                Controller::NotAsked};
    }
    write -= 16;
    return {"a control point not saved fails the save, and the mapping write with it",
            {{"set mapping", f.status}},
            {Text(unable, write, write < 12 ? points[write] : "?")},
            Reports::Flow,
            Controller::NotAsked};
}

std::optional<Outcome> RequestOutcome(const Site& site, const Facts& f) {
    const NTSTATUS s = f.status;
    if (site.Is("appapi/control_dispatch.cpp", "WdfRequestSend")) {
        return Outcome{"a device control that cannot be sent down completes with the send status",
                       {{"device control passed down", s}},
                       {},
                       Reports::Flow,
                       Controller::NotAsked};
    }
    if (site.Is("driver/forwarding.cpp", "WdfRequestSend") &&
        site.At("WdfIoQueueGetDevice(Queue)")) {
        return Outcome{
            "an internal device control that cannot be sent down completes with the send status",
            {{"internal device control passed down", s}},
            {Text("Quillex!Torva_EvtIoInternalDeviceControl: Error - WdfRequestSend failed: "
                  "0x%x\n",
                  s)},
            Reports::Flow,
            Controller::NotAsked};
    }
    // The setting the application sets after the mapping: its own save.
    if (site.Is("mapping/remap_store.cpp", "ZwCreateKey") && f.step == LifeStep::AppRequests &&
        site.Via("mapping/arcade_store.cpp", "RemapOpenKey")) {
        return Outcome{"a setting whose key cannot be opened is in force and reports the open",
                       {{"set setting", s}},
                       {Text("Quillex!TorvaXboxMappingSaveArcade: <%u> Unable to open the mapping "
                             "key to save 'TURBO_RATE' - %x\n",
                             f.instance, s)},
                       Reports::Flow,
                       Controller::NotAsked};
    }
    if (site.Is("mapping/remap_store.cpp", "ZwSetValueKey") &&
        site.Via("mapping/arcade_store.cpp", "RemapSetValue")) {
        return Outcome{"a setting that cannot be saved is in force and reports the write",
                       {{"set setting", s}},
                       {Text("Quillex!TorvaXboxMappingSaveArcade: Unable to save registry value "
                             "'TURBO_RATE' - %x\n",
                             s)},
                       Reports::Flow,
                       Controller::NotAsked};
    }
    if (site.Is("mapping/remap_store.cpp", "ZwQueryValueKey") ||
        (site.Is("mapping/remap_store.cpp", "ZwCreateKey") && f.step != LifeStep::AppRequests)) {
        // At the load: a value not read, or a key not opened, keeps the
        // defaults.
        return Outcome{"the mapping loads what it can and keeps the defaults for the rest",
                       {},
                       {},
                       Reports::Flow,
                       Controller::NotAsked};
    }
    if (site.Is("mapping/remap_store.cpp", "ZwCreateKey")) {
        // The save's key open: the new mapping is in force, and the
        // application hears the open's status.
        return Outcome{"a mapping write whose key cannot be opened reports the open's status",
                       {{"set mapping", s}},
                       {},
                       Reports::Flow,
                       Controller::NotAsked};
    }
    if (site.Is("mapping/remap_store.cpp", "ZwSetValueKey")) {
        return SaveWriteFailed(f);
    }
    if (site.Is("xusb/urb_dispatch.cpp", "MmMapLockedPagesSpecifyCache")) {
        // A transfer buffer only an MDL describes, which cannot be mapped.
        return Outcome{"a request whose MDL cannot be mapped is refused",
                       {{"descriptor read through an MDL", STATUS_INVALID_DEVICE_REQUEST}},
                       {},
                       Reports::Flow,
                       Controller::NotAsked};
    }
    return std::nullopt;
}

bool Contains(const std::vector<std::string>& items, const std::string& item) {
    return std::find(items.begin(), items.end(), item) != items.end();
}

// The life's step whose end shows whether the reader made the controller.
std::optional<LifeStep> ControllerStep(LifeStep swept) {
    switch (swept) {
    case LifeStep::PlugAndStart:
    case LifeStep::FirstOpen:
    case LifeStep::ReaderStart:
        return LifeStep::ReaderStart;
    case LifeStep::Restart:
        return LifeStep::Restart;
    default:
        return std::nullopt;
    }
}

} // namespace

std::optional<Outcome> ExpectedOutcome(const std::string& sourceDir, const FaultPoint& point,
                                       const Call& call, unsigned nth, LifeStep step,
                                       ULONG instance) {
    Site site(sourceDir, point, call);
    const Facts facts{site.Status(), instance, step, nth};
    for (auto outcome : {DeviceAddOutcome, SetupOutcome, OpenAndReaderOutcome, ControllerOutcome,
                         RequestOutcome}) {
        if (std::optional<Outcome> found = outcome(site, facts)) {
            return found;
        }
    }
    return std::nullopt;
}

bool OutcomeLeftOpen(const FaultPoint& point) {
    static const std::pair<const char*, const char*> open[] = {
        {"hid/reader_thread.cpp", "KeWaitForSingleObject"},   // the pause after a failed send
        {"hid/hid_setup.cpp", "KeWaitForSingleObject"},       // teardown's longer wait
        {"xusb/pdo.cpp", "WdfWorkItemCreate"},                // the LED work item
        {"mapping/remap_store.cpp", "KeWaitForSingleObject"}, // the mapping mutex
    };
    return std::any_of(std::begin(open), std::end(open), [&](const auto& entry) {
        return point.file == entry.first && point.service == entry.second;
    });
}

std::vector<std::string> Differences(const Outcome& expected, const LifeShowing& life) {
    std::vector<std::string> differences;
    // Refusals: each expected one seen, and none else.
    std::vector<std::string> wanted;
    for (const Refusal& refusal : expected.refused) {
        // An error status of any value: its first hex digit, 'c'.
        wanted.push_back(
            refusal.what + " (" +
            (refusal.status == kAnyError ? std::string("0xc") : Hex(refusal.status) + ")"));
    }
    // A refusal reads "step: what (0x........)".
    auto matches = [](const std::string& r, const std::string& w) {
        size_t at = r.find(": " + w);
        return at != std::string::npos && (w.back() != ')' || at + 2 + w.size() == r.size());
    };
    for (const std::string& w : wanted) {
        if (std::none_of(life.refusals.begin(), life.refusals.end(),
                         [&](const std::string& r) { return matches(r, w); })) {
            differences.push_back("no refusal \"" + w + "\"");
        }
    }
    for (const std::string& r : life.refusals) {
        bool allowed = std::any_of(wanted.begin(), wanted.end(),
                                   [&](const std::string& w) { return matches(r, w); });
        if (!allowed) {
            differences.push_back("refused \"" + r + "\"");
        }
    }
    for (const std::string& message : expected.traced) {
        if (!Contains(life.traced, message)) {
            differences.push_back("not traced \"" + message + "\"");
        }
    }
    for (const std::vector<std::string>& messages : expected.tracedOneOf) {
        if (std::none_of(messages.begin(), messages.end(),
                         [&](const std::string& m) { return Contains(life.traced, m); })) {
            differences.push_back("traced none of \"" + messages.front() + "\" and the like");
        }
    }
    const bool afterRestart = Contains(life.outages, "after restart");
    switch (expected.reports) {
    case Reports::Flow:
        if (!life.outages.empty()) {
            differences.push_back("reports stopped (" + life.outages.front() + ")");
        }
        break;
    case Reports::BackAfterRestart:
        if (life.swept == LifeStep::Restart) {
            if (!afterRestart) {
                differences.push_back("reports still reach the game after the restart");
            }
        } else if (life.outages.empty()) {
            differences.push_back("reports never stopped");
        } else if (afterRestart) {
            differences.push_back("reports did not come back after the restart");
        }
        break;
    case Reports::StopForGood:
        if (!afterRestart) {
            differences.push_back("reports reach the game after the restart");
        }
        break;
    case Reports::NotProbed:
        break;
    }
    std::optional<LifeStep> at = ControllerStep(life.swept);
    if (expected.controller != Controller::NotAsked && at) {
        auto made = life.controllerAfter.find(*at);
        bool present = made != life.controllerAfter.end() && made->second;
        if (expected.controller == Controller::Made && !present) {
            differences.push_back(std::string("no emulated controller after ") + LifeStepName(*at));
        } else if (expected.controller == Controller::NotMade && present) {
            differences.push_back(std::string("an emulated controller after ") + LifeStepName(*at));
        }
    }
    return differences;
}

} // namespace quillex_test::sweep
