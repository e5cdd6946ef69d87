// The companion application's control codes end to end: an application opens
// the stick's device interface and sends buffered device control requests
// through the I/O manager; the driver answers them, and its writes drive the
// emulated controller the class driver reads.
#include <hidclass.h>

#include <atomic>
#include <set>
#include <thread>

#include "appapi/app_data.h"
#include "sim/peers/app/companion.h"
#include "sim/peers/stick/raw_reports.h"
#include "sim/peers/stick/stick.h"
#include "tests/support/decoded_state.h"
#include "tests/support/reader_stack.h"
#include "tests/support/controller_stack.h"

namespace quillex_test {
namespace {

const UCHAR kDefaultMapping[29] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09,
                                   0x0A, 0x07, 0x06, 0x00, 0x00, 0x00, 0x00, 0x5A, 0xA5, 0x5A,
                                   0xA5, 0x5A, 0xA5, 0x5A, 0xA5, 0x5A, 0xA5, 0x5A, 0xA5};

class AppInterfaceTest : public ReaderStackTest {
  protected:
    void SetUp() override {
        // Installing the INF makes the service's Parameters key.
        ASSERT_TRUE(sim::registry::CreateKey(stack_.RegistryPath() + "\\Parameters"));
    }

    // A plugged stick and an application with a handle on its interface.
    DeviceId PlugAndOpen(sim::app::Companion& app, DWORD access = GENERIC_READ | GENERIC_WRITE) {
        DeviceId id = PlugStick(0x0402);
        EXPECT_TRUE(app.Open(stack_.Interfaces(id).at(0), access)) << app.LastError();
        return id;
    }

    // Sends a code with the given buffer lengths; the buffer is 0xEE-filled.
    bool Send(sim::app::Companion& app, ULONG code, DWORD inLength, DWORD outLength,
              std::vector<UCHAR>* out = nullptr) {
        std::vector<UCHAR> in(inLength, 0);
        std::vector<UCHAR> reply(outLength, 0xEE);
        bool ok = app.Control(code, inLength ? in.data() : nullptr, inLength,
                              outLength ? reply.data() : nullptr, outLength);
        if (out != nullptr) {
            *out = reply;
        }
        return ok;
    }

    // A device control sent straight to the filter device, as a driver
    // above would send it: the status block as the request completed.
    IO_STATUS_BLOCK SendToFilter(DeviceId id, ULONG code, PVOID in, ULONG inLength, PVOID out,
                                 ULONG outLength) {
        PDEVICE_OBJECT top = WdfDeviceWdmGetDeviceObject(stack_.FunctionDevice(id));
        KEVENT done;
        IO_STATUS_BLOCK io{};
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, top, in, inLength, out, outLength, FALSE,
                                                 &done, &io);
        if (IoCallDriver(top, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        }
        return io;
    }

    struct Reading {
        DeviceId id = 0;
        PDEVICE_CONTEXT context = nullptr;
        std::shared_ptr<sim::xbox::Controller> controller;
    };
    // A stick whose reader is reading, and its emulated controller as the
    // class driver configured it.
    Reading PlugReading(const sim::xbox::Options& options = sim::xbox::Options()) {
        stack_.Install(sim::xbox::Package(options));
        Reading r;
        r.id = PlugAndRead(0x0402);
        r.context = Context(r.id);
        EXPECT_NE(r.context->XusbPdo, nullptr);
        if (r.context->XusbPdo != nullptr) {
            r.controller =
                sim::xbox::WaitForController(WdfDeviceWdmGetDeviceObject(r.context->XusbPdo));
        }
        EXPECT_NE(r.controller, nullptr);
        if (r.controller != nullptr) {
            EXPECT_EQ(r.controller->WaitConfigured(), STATUS_SUCCESS);
        }
        return r;
    }
};

// A refused item read completes with no bytes: nothing of the shared buffer
// (which still holds the id) is handed back as an answer.
TEST_F(AppInterfaceTest, ARefusedItemReadCompletesWithNoBytes) {
    DeviceId id = PlugStick(0x0402);
    for (ULONG bad : {0u, 27u}) {
        ULONG buffer = bad;
        IO_STATUS_BLOCK io =
            SendToFilter(id, IOCTL_QUILLEX_GET_VALUE, &buffer, sizeof(buffer), &buffer, 4);
        EXPECT_EQ(io.Status, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(io.Information, 0u);
    }
    ULONG item = QUILLEX_ITEM_LED;
    IO_STATUS_BLOCK io = SendToFilter(id, IOCTL_QUILLEX_GET_VALUE, &item, sizeof(item), &item, 4);
    EXPECT_EQ(io.Status, STATUS_SUCCESS);
    EXPECT_EQ(io.Information, 4u);
}

// Without an emulated controller (it could not be made) the stick's reports
// still reach the application's block through the refresh.
TEST_F(AppInterfaceTest, TheBlockFollowsTheStickWhenThereIsNoController) {
    sim::fault::FailNthCall("WdfPdoInitAllocate", 1, STATUS_INSUFFICIENT_RESOURCES);
    DeviceId id = PlugAndRead(0x0402);
    PDEVICE_CONTEXT context = Context(id);
    ASSERT_EQ(QuillexChildOf(context), nullptr);
    auto buttonA = [context] {
        KIRQL irql;
        KeAcquireSpinLock(&context->StateLock, &irql);
        UCHAR pressed = context->AppInstance.Buttons[0];
        KeReleaseSpinLock(&context->StateLock, irql);
        return pressed;
    };
    EXPECT_EQ(buttonA(), 0);
    sim::stick::StickState pressed;
    pressed.buttons = sim::stick::A;
    sim::stick::Stick stick(stack_.Hid(id));
    ASSERT_EQ(stick.Send(sim::stick::Encode(sim::stick::Layout::A, pressed)), STATUS_SUCCESS);
    EXPECT_TRUE(WaitUntil([&] { return buttonA() == 1; }));
}

TEST_F(AppInterfaceTest, StateAndItemsThroughTheIoManagerWithTheirMinimumLengths) {
    sim::app::Companion app;
    // This stick's reader pipeline cannot be set up (its read request is
    // refused), so it has no decoded state until the test attaches one.
    sim::fault::FailNthCall("WdfRequestCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    DeviceId id = PlugAndOpen(app);

    // The whole block: 48 bytes of defaults; 47 are too few; more get 48.
    EXPECT_FALSE(Send(app, IOCTL_QUILLEX_GET_STATE, 0, 47));
    EXPECT_EQ(app.LastStatus(), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(app.LastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(trace_.Contains("Quillex!Quillex_EvtIoDeviceControl: Error - "
                                "IOCTL_QUILLEX_GET_STATE: WdfRequestRetrieveOutputBuffer failed "
                                "- 0xc0000023\n"));
    std::vector<UCHAR> reply;
    ASSERT_TRUE(Send(app, IOCTL_QUILLEX_GET_STATE, 0, 64, &reply));
    EXPECT_EQ(app.LastReturned(), 48u);
    EXPECT_EQ(reply[48], 0xEE); // nothing past the reply
    APP_INSTANCE state;
    ASSERT_TRUE(app.GetState(&state));
    EXPECT_EQ(state.RightStickY, 128u);
    EXPECT_EQ(state.Dpad, 8u);
    EXPECT_EQ(state.Led, 3u);
    EXPECT_FALSE(Send(app, IOCTL_QUILLEX_SET_STATE, 47, 0));
    EXPECT_EQ(app.LastStatus(), STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(trace_.Contains("Quillex!Quillex_EvtIoDeviceControl: Error - "
                                "IOCTL_QUILLEX_SET_STATE: WdfRequestRetrieveInputBuffer failed "
                                "- 0xc0000023\n"));

    // Single items: a button's reply keeps the id's other bytes (zero).
    app.SetValue(QUILLEX_ITEM_BTN_A, 1); // stored; not sent before the stick starts
    UCHAR value[4];
    ASSERT_TRUE(app.GetValue(QUILLEX_ITEM_BTN_A, value));
    EXPECT_EQ(app.LastReturned(), 4u);
    EXPECT_EQ(value[0], 1);
    EXPECT_EQ(value[1] | value[2] | value[3], 0);
    ASSERT_TRUE(app.GetValue(QUILLEX_ITEM_LED, value));
    EXPECT_EQ(value[0], 3);
    EXPECT_FALSE(Send(app, IOCTL_QUILLEX_GET_VALUE, 3, 4));
    EXPECT_EQ(app.LastStatus(), STATUS_BUFFER_TOO_SMALL);
    EXPECT_FALSE(Send(app, IOCTL_QUILLEX_GET_VALUE, 4, 3));
    EXPECT_EQ(app.LastStatus(), STATUS_BUFFER_TOO_SMALL);
    EXPECT_FALSE(Send(app, IOCTL_QUILLEX_SET_VALUE, 7, 0));
    EXPECT_EQ(app.LastStatus(), STATUS_BUFFER_TOO_SMALL);

    // Refused items now say so, and change nothing.
    for (ULONG bad : {0u, 27u, 0x01000001u}) {
        EXPECT_FALSE(app.GetValue(bad, value));
        EXPECT_EQ(app.LastStatus(), STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(app.LastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
        EXPECT_EQ(app.LastReturned(), 0u);
        EXPECT_FALSE(app.SetValue(bad, 1));
        EXPECT_EQ(app.LastStatus(), STATUS_INVALID_DEVICE_REQUEST);
    }
    EXPECT_FALSE(app.SetValue(QUILLEX_ITEM_DPAD, 9));
    EXPECT_EQ(app.LastStatus(), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(app.SetValue(QUILLEX_ITEM_LED, 4));
    EXPECT_EQ(app.LastStatus(), STATUS_INVALID_PARAMETER);
    APP_INSTANCE after;
    ASSERT_TRUE(app.GetState(&after));
    EXPECT_EQ(after.Dpad, 8u);
    EXPECT_EQ(after.Led, 3u);

    // Without a decoded state to drive, the block keeps the write and the
    // application hears that nothing was sent.
    EXPECT_FALSE(app.SetValue(QUILLEX_ITEM_LEFT_STICK_X, 7));
    EXPECT_EQ(app.LastStatus(), STATUS_DEVICE_NOT_READY);
    ASSERT_TRUE(app.GetState(&after));
    EXPECT_EQ(after.LeftStickX, 7u);
    ASSERT_EQ(AttachDecodedState(Context(id), sim::stick::kLayoutALength), STATUS_SUCCESS);
    EXPECT_TRUE(app.SetValue(QUILLEX_ITEM_LEFT_STICK_X, 7)) << std::hex << app.LastStatus();
    EXPECT_TRUE(app.SetState(after)) << std::hex << app.LastStatus();
}

TEST_F(AppInterfaceTest, TheMappingReadAndWrittenWholeAndSavedOrTheSaveFailureReported) {
    sim::app::Companion app;
    DeviceId id = PlugAndOpen(app);
    REMAP_RECORD mapping;
    ASSERT_TRUE(app.GetMapping(&mapping));
    EXPECT_EQ(app.LastReturned(), 29u);
    EXPECT_EQ(memcmp(&mapping, kDefaultMapping, 29), 0);
    EXPECT_FALSE(Send(app, IOCTL_QUILLEX_GET_MAPPING, 0, 28));
    EXPECT_EQ(app.LastStatus(), STATUS_BUFFER_TOO_SMALL);
    EXPECT_FALSE(Send(app, IOCTL_QUILLEX_SET_MAPPING, 28, 0));
    EXPECT_EQ(app.LastStatus(), STATUS_BUFFER_TOO_SMALL);

    // Written back unchanged: the same 29 bytes, now in the registry.
    EXPECT_FALSE(sim::registry::GetDword(RemapKey(), "BTN_A").has_value());
    ASSERT_TRUE(app.SetMapping(mapping));
    EXPECT_EQ(sim::registry::GetDword(RemapKey(), "BTN_HOME"), 7u);
    EXPECT_EQ(sim::registry::GetDword(RemapKey(), "L_STICK_Y_CP_2"), 0xA5u);

    mapping.SWAP_TRIGGERS = 2;
    mapping.ButtonMap[0] = 3;
    ASSERT_TRUE(app.SetMapping(mapping));
    REMAP_RECORD back;
    ASSERT_TRUE(app.GetMapping(&back));
    EXPECT_EQ(memcmp(&back, &mapping, 29), 0);
    EXPECT_EQ(sim::registry::GetDword(RemapKey(), "SWAP_TRIGGERS"), 2u);

    // A mapping that cannot be saved is in force, and the caller is told.
    sim::fault::FailNthCall("ZwSetValueKey", 20, STATUS_INSUFFICIENT_RESOURCES);
    mapping.ButtonMap[0] = 2;
    EXPECT_FALSE(app.SetMapping(mapping));
    EXPECT_EQ(app.LastStatus(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Context(id)->RemapRecord.ButtonMap[0], 2);

    // Restore-defaults, whatever the rest holds.
    memset(&mapping, 0x33, sizeof(mapping));
    mapping.RestoreDefaults = 1;
    ASSERT_TRUE(app.SetMapping(mapping));
    ASSERT_TRUE(app.GetMapping(&back));
    EXPECT_EQ(memcmp(&back, kDefaultMapping, 29), 0);
    EXPECT_EQ(sim::registry::GetDword(RemapKey(), "BTN_A"), 0u);
}

TEST_F(AppInterfaceTest, AccessAndTheCollectionsOwnCodes) {
    sim::app::Companion writer;
    DeviceId id = PlugAndOpen(writer, GENERIC_WRITE);
    sim::hid::RecordingLowerDevice& collection = *stack_.Recorder(id);
    size_t before = collection.Requests().size();

    // Every code needs read access, the writing ones too: refused by the I/O
    // manager before the driver sees it.
    APP_INSTANCE state{};
    EXPECT_FALSE(writer.GetState(&state));
    EXPECT_EQ(writer.LastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(writer.SetState(state));
    EXPECT_EQ(writer.LastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(trace_.Contains("Quillex!Quillex_EvtIoDeviceControl: ++ (ioctl 2a4000)\n"));

    sim::app::Companion app;
    ASSERT_TRUE(app.Open(stack_.Interfaces(id).at(0), GENERIC_READ));
    // The collection's information is not for applications above the filter.
    EXPECT_FALSE(Send(app, IOCTL_HID_GET_COLLECTION_INFORMATION, 0, 16));
    EXPECT_EQ(app.LastStatus(), STATUS_INVALID_PARAMETER);
    // Other HID class codes reach the collection as sent, and its answer comes back.
    collection.AnswerIoctl(IOCTL_HID_GET_POLL_FREQUENCY_MSEC,
                           {STATUS_SUCCESS, {8, 0, 0, 0}, false});
    std::vector<UCHAR> poll;
    EXPECT_TRUE(Send(app, IOCTL_HID_GET_POLL_FREQUENCY_MSEC, 0, 4, &poll));
    EXPECT_EQ(poll[0], 8);
    collection.AnswerIoctl(IOCTL_GET_NUM_DEVICE_INPUT_BUFFERS, {STATUS_NOT_SUPPORTED, {}, false});
    EXPECT_FALSE(Send(app, IOCTL_GET_NUM_DEVICE_INPUT_BUFFERS, 0, 4));
    EXPECT_EQ(app.LastStatus(), STATUS_NOT_SUPPORTED);

    std::vector<ULONG> codes;
    for (size_t i = before; i < collection.Requests().size(); ++i) {
        if (collection.Requests()[i].major == IRP_MJ_DEVICE_CONTROL) {
            codes.push_back(collection.Requests()[i].ioControlCode);
        }
    }
    EXPECT_EQ(codes, (std::vector<ULONG>{IOCTL_HID_GET_POLL_FREQUENCY_MSEC,
                                         IOCTL_GET_NUM_DEVICE_INPUT_BUFFERS}));
}

TEST_F(AppInterfaceTest, WritesDriveTheEmulatedControllerWithTheMappingInForce) {
    Reading p = PlugReading();
    ASSERT_NE(p.controller, nullptr);
    sim::app::Companion app;
    ASSERT_TRUE(app.Open(stack_.Interfaces(p.id).at(0)));

    size_t seen = p.controller->CompletionCount();
    ASSERT_TRUE(app.SetValue(QUILLEX_ITEM_BTN_A, 1)) << std::hex << app.LastStatus();
    ASSERT_TRUE(p.controller->WaitCompletions(seen + 1));
    EXPECT_EQ(p.controller->GamepadState().buttons, sim::xbox::kA);

    // BTN_A gives Y from now on: the next report says so.
    REMAP_RECORD mapping;
    ASSERT_TRUE(app.GetMapping(&mapping));
    mapping.ButtonMap[0] = 3;
    mapping.SWAP_TRIGGERS = 1;
    ASSERT_TRUE(app.SetMapping(mapping));
    APP_INSTANCE state;
    ASSERT_TRUE(app.GetState(&state));
    state.FirstTrigger = 200; // drives the right trigger
    state.SecondTrigger = 10;
    seen = p.controller->CompletionCount();
    ASSERT_TRUE(app.SetState(state));
    ASSERT_TRUE(p.controller->WaitCompletions(seen + 1));
    sim::xbox::Gamepad pad = p.controller->GamepadState();
    EXPECT_EQ(pad.buttons, sim::xbox::kY);
    EXPECT_EQ(pad.leftTrigger, 200); // swapped
    EXPECT_EQ(pad.rightTrigger, 10);

    // The block follows the stick after its next report, and its LED is the
    // one the class driver set last.
    ASSERT_EQ(p.controller->SendLed(0x09), STATUS_SUCCESS); // LED state 5: index 0
    ASSERT_TRUE(WaitUntil([&] {
        KIRQL irql;
        KeAcquireSpinLock(&p.context->StateLock, &irql);
        UCHAR led = p.context->LedState;
        KeReleaseSpinLock(&p.context->StateLock, irql);
        return led == 5;
    }));
    sim::stick::Stick stick(stack_.Hid(p.id));
    sim::stick::StickState pressed;
    pressed.buttons = sim::stick::B;
    seen = p.controller->CompletionCount();
    ASSERT_EQ(stick.Send(sim::stick::Encode(sim::stick::Layout::A, pressed)), STATUS_SUCCESS);
    ASSERT_TRUE(p.controller->WaitCompletions(seen + 1));
    UCHAR item[4];
    ASSERT_TRUE(WaitUntil([&] { return app.GetValue(QUILLEX_ITEM_BTN_B, item) && item[0] == 1; }));
    ASSERT_TRUE(app.GetValue(QUILLEX_ITEM_LED, item));
    EXPECT_EQ(item[0], 0);
    ASSERT_TRUE(app.GetValue(QUILLEX_ITEM_BTN_A, item));
    EXPECT_EQ(item[0], 0); // the stick's state, not the application's
}

// State k of the stress test: every field says k, so a report composed from
// parts of two states shows two different numbers.
APP_INSTANCE BlockFor(ULONG k) {
    APP_INSTANCE b{};
    for (ULONG i = 0; i < 6; ++i) {
        b.Buttons[i] = (k >> i) & 1;
    }
    b.RightStickY = b.RightStickX = b.LeftStickX = b.LeftStickY = k;
    b.Dpad = k % 9;
    b.FirstTrigger = b.SecondTrigger = k;
    b.Led = 3;
    return b;
}

sim::stick::StickState StickFor(ULONG k) {
    sim::stick::StickState s;
    s.buttons = k & 0x3F;
    s.leftX = s.leftY = s.rightX = s.rightY = static_cast<uint8_t>(k);
    s.hat = static_cast<uint8_t>(k % 9);
    s.leftTrigger = s.rightTrigger = static_cast<uint8_t>(k);
    return s;
}

// The report the default mapping composes from state k.
XboxReport ReportFor(ULONG k) {
    static const USHORT kButtons[6] = {
        XUSB_A, XUSB_B, XUSB_X, XUSB_Y, XUSB_LEFT_SHOULDER, XUSB_RIGHT_SHOULDER};
    USHORT buttons = DpadTable[k % 9];
    for (ULONG i = 0; i < 6; ++i) {
        buttons |= ((k >> i) & 1) ? kButtons[i] : 0;
    }
    const SHORT x = static_cast<SHORT>((static_cast<int>(k) - 128) * 256);
    const SHORT y = static_cast<SHORT>((128 - static_cast<int>(k)) * 256);
    const UCHAR t = static_cast<UCHAR>(k);
    return MakeReport(buttons, t, t, x, y, x, y);
}

TEST_F(AppInterfaceTest, PushesAgainstAStreamOfReportsNeverTearAReport) {
    sim::xbox::Options options;
    options.transfers = 4;
    Reading p = PlugReading(options);
    ASSERT_NE(p.controller, nullptr);
    size_t first = p.controller->CompletionCount();
    sim::stick::Stick stickDevice(stack_.Hid(p.id));

    std::atomic<bool> streaming{true};
    // The stick: a report every millisecond, states 161 to 250, through the
    // collection, the read completion and the reader thread.
    std::thread stick([&] {
        auto next = std::chrono::steady_clock::now();
        for (ULONG i = 0; i < 1000; ++i) {
            stickDevice.Send(sim::stick::Encode(sim::stick::Layout::A, StickFor(161 + i % 90)));
            next += std::chrono::milliseconds(1);
            std::this_thread::sleep_until(next);
        }
        streaming = false;
    });
    // Two applications: states 1 to 80 and 81 to 160.
    auto application = [&](ULONG base, std::atomic<int>* pushes) {
        sim::app::Companion app;
        ASSERT_TRUE(app.Open(stack_.Interfaces(p.id).at(0)));
        for (ULONG i = 0; streaming; ++i) {
            ASSERT_TRUE(app.SetState(BlockFor(base + i % 80))) << std::hex << app.LastStatus();
            ++*pushes;
        }
    };
    std::atomic<int> pushesA{0}, pushesB{0};
    std::thread a(application, 1, &pushesA);
    std::thread b(application, 81, &pushesB);
    stick.join();
    a.join();
    b.join();

    std::set<int> sources;
    size_t checked = 0;
    std::vector<sim::xbox::Controller::Completion> completions = p.controller->Completions();
    for (size_t i = first; i < completions.size(); ++i) {
        const auto& c = completions[i];
        if (c.status != STATUS_SUCCESS || !c.isReport) {
            continue;
        }
        const ULONG k = c.bytes[4]; // the left trigger names the state
        XboxReport expected = ReportFor(k);
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), c.bytes.begin()))
            << "report " << i << " is not the composition of state " << k;
        sources.insert(k <= 80 ? 0 : k <= 160 ? 1 : 2);
        ++checked;
    }
    EXPECT_GT(pushesA.load(), 0);
    EXPECT_GT(pushesB.load(), 0);
    EXPECT_EQ(sources.size(), 3u) << checked << " reports checked";
    // The reader may still be handing over the stick's last report.
    PXUSB_PDO_DEVICE_DATA child = XusbPdoGetData(QuillexChildOf(p.context));
    EXPECT_TRUE(WaitUntil(
        [&] { return __atomic_load_n(&child->HandOverRundown.Count, __ATOMIC_ACQUIRE) == 0; }));
}

} // namespace
} // namespace quillex_test
