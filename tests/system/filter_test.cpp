// The driver as a filter in the simulated stack: requests it has no handler
// for, opens and internal device controls reach the collection below as they
// were sent, their answers come back, and removal leaves nothing behind.
#include <hidclass.h>

#include "sim/wdf/object.h"
#include "tests/support/driver_stack.h"

namespace quillex_test {
namespace {

using sim::hid::RecordingLowerDevice;
using sim::pnp::DeviceState;

using FilterTest = DriverStackTest;

// An internal device control from a kernel component above the filter.
NTSTATUS SendInternal(PDEVICE_OBJECT top, ULONG code, PVOID in, ULONG inLength, PVOID out,
                      ULONG outLength) {
    KEVENT done;
    IO_STATUS_BLOCK status{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, top, in, inLength, out, outLength, TRUE, &done,
                                             &status);
    if (IoCallDriver(top, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return status.Status;
}

TEST_F(FilterTest, RequestsReachTheCollectionUnchangedAndItsAnswersComeBack) {
    DeviceId id = PlugStick(0x0402);
    RecordingLowerDevice& collection = *stack_.Recorder(id);
    collection.Clear(); // the collection probe of the hardware start
    sim::io::File app;
    ASSERT_EQ(app.Open(stack_.Interfaces(id).at(0), GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);

    // Reads and writes have no handler: the filter does not see them.
    const std::vector<UCHAR> report = {0x01, 0x80, 0x7F, 0x00, 0x08};
    collection.AnswerMajor(IRP_MJ_READ, {STATUS_SUCCESS, report, false});
    UCHAR read[16] = {};
    ULONG_PTR got = 0;
    EXPECT_EQ(app.Read(read, sizeof(read), &got), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<UCHAR>(read, read + got), report);
    const UCHAR output[] = {0x00, 0x02};
    EXPECT_EQ(app.Write(output, sizeof(output), &got), STATUS_SUCCESS);

    // A device control the driver does not answer itself goes down as sent.
    collection.AnswerIoctl(IOCTL_HID_GET_POLL_FREQUENCY_MSEC,
                           {STATUS_SUCCESS, {8, 0, 0, 0}, false});
    ULONG poll = 0;
    EXPECT_EQ(app.DeviceIoControl(IOCTL_HID_GET_POLL_FREQUENCY_MSEC, nullptr, 0, &poll,
                                  sizeof(poll), &got),
              STATUS_SUCCESS);
    EXPECT_EQ(poll, 8u);

    // Internal device controls, whatever the code, are handed down as they came.
    PDEVICE_OBJECT top = WdfDeviceWdmGetDeviceObject(stack_.FunctionDevice(id));
    collection.AnswerIoctl(IOCTL_HID_GET_COLLECTION_DESCRIPTOR, {STATUS_SUCCESS, {9, 9, 9}, false});
    UCHAR descriptor[3] = {};
    EXPECT_EQ(SendInternal(top, IOCTL_HID_GET_COLLECTION_DESCRIPTOR, nullptr, 0, descriptor,
                           sizeof(descriptor)),
              STATUS_SUCCESS);
    EXPECT_EQ(descriptor[2], 9);
    const ULONG unknownCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0xFFF, METHOD_NEITHER, 0);
    collection.AnswerIoctl(unknownCode, {STATUS_NOT_SUPPORTED, {}, false});
    UCHAR argument[] = {0x5A};
    EXPECT_EQ(SendInternal(top, unknownCode, argument, sizeof(argument), nullptr, 0),
              STATUS_NOT_SUPPORTED);

    std::vector<RecordingLowerDevice::Received> seen = collection.Requests();
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[0].major, IRP_MJ_CREATE);
    EXPECT_EQ(seen[0].fileObject, app.FileObject());
    EXPECT_EQ(seen[1].major, IRP_MJ_READ);
    EXPECT_EQ(seen[1].transferLength, sizeof(read));
    EXPECT_EQ(seen[2].major, IRP_MJ_WRITE);
    EXPECT_EQ(seen[2].input, std::vector<UCHAR>(output, output + 2));
    EXPECT_EQ(seen[3].major, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(seen[3].ioControlCode, IOCTL_HID_GET_POLL_FREQUENCY_MSEC);
    EXPECT_EQ(seen[3].outputLength, sizeof(poll));
    EXPECT_EQ(seen[3].requestorMode, UserMode);
    EXPECT_EQ(seen[4].ioControlCode, IOCTL_HID_GET_COLLECTION_DESCRIPTOR);
    EXPECT_EQ(seen[4].userBuffer, descriptor);
    EXPECT_EQ(seen[5].major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(seen[5].ioControlCode, unknownCode);
    EXPECT_EQ(seen[5].type3InputBuffer, argument);
    EXPECT_EQ(seen[5].input, std::vector<UCHAR>(argument, argument + 1));
    EXPECT_TRUE(trace_.Contains("Quillex!Torva_EvtIoInternalDeviceControl: ++ (ioctl 223fff)\n"));
    EXPECT_TRUE(trace_.Contains("Quillex!Quillex_EvtIoDeviceControl: ++ (ioctl b0198)\n"));
}

TEST_F(FilterTest, AnOpenGetsTheCollectionsAnswerAndAFailedSendIsCompletedAtOnce) {
    DeviceId id = PlugStick(0x0403);
    RecordingLowerDevice& collection = *stack_.Recorder(id);
    sim::io::File app;
    collection.AnswerMajor(IRP_MJ_CREATE, {STATUS_SHARING_VIOLATION, {}, false});
    EXPECT_EQ(app.Open(stack_.Interfaces(id).at(0), GENERIC_READ), STATUS_SHARING_VIOLATION);
    EXPECT_TRUE(trace_.Contains("Quillex!Quillex_EvtDeviceFileCreateComplete: -- c0000043\n"));

    collection.AnswerMajor(IRP_MJ_CREATE, {STATUS_SUCCESS, {}, false});
    sim::fault::FailNthCall("WdfRequestSend", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(app.Open(stack_.Interfaces(id).at(0), GENERIC_READ), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(trace_.Contains("Quillex!Quillex_EvtDeviceFileCreate: Error - WdfRequestSend "
                                "failed, complete FileCreate request locally with c000009a\n"));
    EXPECT_EQ(collection.CountOf(IRP_MJ_CREATE), 1u);

    EXPECT_EQ(app.Open(stack_.Interfaces(id).at(0), GENERIC_READ), STATUS_SUCCESS);

    PDEVICE_OBJECT top = WdfDeviceWdmGetDeviceObject(stack_.FunctionDevice(id));
    sim::fault::FailNthCall("WdfRequestSend", 1, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(SendInternal(top, IOCTL_HID_GET_COLLECTION_DESCRIPTOR, nullptr, 0, nullptr, 0),
              STATUS_INVALID_DEVICE_STATE);
    sim::trace::Record record{};
    ASSERT_TRUE(trace_.Find("Torva_EvtIoInternalDeviceControl: Error", &record));
    EXPECT_EQ(record.Text,
              "Quillex!Torva_EvtIoInternalDeviceControl: Error - WdfRequestSend failed: "
              "0xc0000184\n");
    EXPECT_EQ(record.Flags, 0x20u);
    EXPECT_EQ(collection.CountOf(IRP_MJ_INTERNAL_DEVICE_CONTROL), 0u);
}

TEST_F(FilterTest, RemovalRunsTheDeviceDownAndLeavesNoFrameworkObjectBehind) {
    size_t baseline = sim::wdf::LiveObjectCount();
    DeviceId held = PlugStick(0x0402);
    DeviceId idle = PlugStick(0x0403);
    sim::io::File app;
    ASSERT_EQ(app.Open(stack_.Interfaces(held).at(0), GENERIC_READ), STATUS_SUCCESS);

    ASSERT_EQ(stack_.Unplug(idle), STATUS_SUCCESS);
    EXPECT_EQ(stack_.State(idle), DeviceState::Removed);
    ASSERT_EQ(stack_.Unplug(held), STATUS_SUCCESS);
    // Released at once; the device itself stays until its handle is closed.
    EXPECT_TRUE(trace_.Contains("Quillex!Quillex_EvtDeviceReleaseHardware:  Remove PDO 1\n"));
    EXPECT_FALSE(trace_.Contains("Quillex!QuillexContextCleanup: <1> ++\n"));
    EXPECT_TRUE(QuillexReadFlag(&Context(held)->HardwareReleased));
    app.Close();
    stack_.WaitRemoved(held);

    std::string text = trace_.Text();
    size_t released = text.find("Quillex!Quillex_EvtDeviceReleaseHardware:  Remove PDO 1\n");
    size_t cleaned = text.find("Quillex!QuillexContextCleanup:  Remove PDO2 1\n");
    ASSERT_NE(cleaned, std::string::npos);
    EXPECT_LT(released, cleaned);
    EXPECT_TRUE(trace_.Contains("Quillex!QuillexContextCleanup: <2>--\n"));
    EXPECT_EQ(sim::wdf::LiveObjectCount(), baseline + 1); // the driver, until unload
    ASSERT_EQ(stack_.Unload(), STATUS_SUCCESS);
    EXPECT_EQ(sim::wdf::LiveObjectCount(), baseline);
}

TEST_F(FilterTest, PrepareAndReleaseHardwareSetTheFlagsAndTraceTheirSteps) {
    DeviceId id = PlugStick(0x0402);
    PDEVICE_CONTEXT context = Context(id);
    EXPECT_FALSE(QuillexReadFlag(&context->HardwareReleased));
    EXPECT_FALSE(QuillexReadFlag(&context->PdoCreated));
    EXPECT_TRUE(trace_.Contains("Quillex!Quillex_EvtDevicePrepareHardware:  Add a PDO 1\n"));
    EXPECT_TRUE(trace_.Contains("Quillex!Quillex_EvtDevicePrepareHardware: -- 0\n"));
    ASSERT_EQ(stack_.Remove(id), STATUS_SUCCESS);
    EXPECT_TRUE(trace_.Contains("Quillex!Quillex_EvtDeviceReleaseHardware: -- 0\n"));
}

} // namespace
} // namespace quillex_test
