// Requests through a framework device in the simulated stack: what a filter
// passes down untouched, what reaches the queue's handlers, buffer retrieval,
// sends with and without completion routines, and what removal does to
// requests still out.
#include <gtest/gtest.h>

#include "sim/core/fault.h"
#include "sim/io/file.h"
#include "sim/peers/stick/plug.h"
#include "sim/pnp/stack.h"
#include "sim/wdf/device.h"
#include "sim/wdf/object.h"
#include "tests/support/test_filter_driver.h"

namespace quillex_test {
namespace {

using sim::hid::RecordingLowerDevice;
using sim::pnp::Stack;

constexpr ULONG kBufferedIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, 0);
constexpr ULONG kReadAccessIoctl =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_READ_ACCESS);
constexpr ULONG kNeitherIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, 0);

class FrameworkIoTest : public ::testing::Test {
  protected:
    TestDriverHooks& hooks() { return scope_.hooks(); }
    void Plug() { ASSERT_EQ(stack_.Plug(sim::stick::ArcadeStick(0x0402), &id_), STATUS_SUCCESS); }
    RecordingLowerDevice& lower() { return *stack_.Recorder(id_); }
    NTSTATUS Open(sim::io::File* file, ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE) {
        return file->Open(stack_.PdoName(id_), access);
    }
    PDEVICE_OBJECT Top() { return WdfDeviceWdmGetDeviceObject(stack_.FunctionDevice(id_)); }

    sim::fault::Scope faults_;
    TestDriverScope scope_;
    Stack stack_{test_driver::DriverEntry};
    Stack::DeviceId id_ = 0;
};

// An internal device control from a kernel caller, left pending or not.
struct KernelIoctl {
    KEVENT done;
    IO_STATUS_BLOCK status{};
    NTSTATUS sent;
    KernelIoctl(PDEVICE_OBJECT top, ULONG code, PVOID in, ULONG inLength, PVOID out,
                ULONG outLength) {
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, top, in, inLength, out, outLength, TRUE,
                                                 &done, &status);
        sent = IoCallDriver(top, irp);
    }
    bool Finished() { return KeReadStateEvent(&done) != 0; }
};

TEST_F(FrameworkIoTest, AFilterPassesRequestTypesWithoutAHandlerDownUntouched) {
    Plug();
    sim::io::File file;
    ASSERT_EQ(Open(&file), STATUS_SUCCESS);

    lower().AnswerMajor(IRP_MJ_READ, {STATUS_SUCCESS, {1, 2, 3}, false});
    UCHAR read[8] = {};
    ULONG_PTR got = 0;
    EXPECT_EQ(file.Read(read, sizeof(read), &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(read[2], 3);

    const UCHAR written[] = {9, 8, 7, 6};
    EXPECT_EQ(file.Write(written, sizeof(written), &got), STATUS_SUCCESS);
    EXPECT_EQ(got, sizeof(written));

    lower().AnswerIoctl(kBufferedIoctl, {STATUS_BUFFER_OVERFLOW, {0xAA, 0xBB}, false});
    const UCHAR in[] = {0x11, 0x22, 0x33};
    UCHAR out[1] = {};
    EXPECT_EQ(file.DeviceIoControl(kBufferedIoctl, in, sizeof(in), out, sizeof(out), &got),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(out[0], 0xAA);

    UCHAR kernelIn[2] = {5, 6};
    KernelIoctl internal(Top(), kNeitherIoctl, kernelIn, sizeof(kernelIn), nullptr, 0);
    EXPECT_TRUE(internal.Finished());

    std::vector<RecordingLowerDevice::Received> seen = lower().Requests();
    ASSERT_EQ(seen.size(), 5u); // create, read, write, device control, internal
    EXPECT_EQ(seen[1].major, IRP_MJ_READ);
    EXPECT_EQ(seen[1].transferLength, sizeof(read));
    EXPECT_EQ(seen[2].major, IRP_MJ_WRITE);
    EXPECT_EQ(seen[2].input, std::vector<UCHAR>(written, written + 4));
    EXPECT_EQ(seen[3].ioControlCode, kBufferedIoctl);
    EXPECT_EQ(seen[3].input, std::vector<UCHAR>(in, in + 3));
    EXPECT_EQ(seen[3].outputLength, 1u);
    EXPECT_EQ(seen[3].fileObject, file.FileObject());
    EXPECT_EQ(seen[4].major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(seen[4].type3InputBuffer, kernelIn);
}

TEST_F(FrameworkIoTest, AFunctionDeviceRefusesWhatItHasNoHandlerFor) {
    hooks().filter = false;
    Plug();
    sim::io::File file;
    ASSERT_EQ(Open(&file), STATUS_SUCCESS);
    UCHAR buffer[4];
    EXPECT_EQ(file.Read(buffer, sizeof(buffer), nullptr), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(lower().CountOf(IRP_MJ_READ), 0u);
    // Nor does its own open or close go further down.
    EXPECT_EQ(lower().CountOf(IRP_MJ_CREATE), 0u);
}

TEST_F(FrameworkIoTest, BufferRetrievalChecksTheMinimumAndTheAnswerIsCutToItsInformation) {
    struct Seen {
        size_t in = 0, out = 0;
        ULONG code = 0;
        NTSTATUS tooSmall = 0, empty = 0;
        WDFDEVICE device = nullptr;
    } seen;
    hooks().deviceControl = [&](WDFQUEUE queue, WDFREQUEST request, size_t out, size_t in,
                                ULONG code) {
        seen = Seen{in, out, code, 0, 0, WdfIoQueueGetDevice(queue)};
        PVOID input = nullptr;
        PVOID output = nullptr;
        size_t length = 0;
        seen.tooSmall = WdfRequestRetrieveInputBuffer(request, in + 1, &input, &length);
        EXPECT_EQ(input, nullptr);
        if (!NT_SUCCESS(WdfRequestRetrieveInputBuffer(request, in, &input, &length))) {
            seen.empty = WdfRequestRetrieveInputBuffer(request, 0, &input, nullptr);
            WdfRequestComplete(request, seen.empty);
            return;
        }
        EXPECT_EQ(length, in);
        EXPECT_EQ(WdfRequestRetrieveOutputBuffer(request, 8, &output, nullptr), STATUS_SUCCESS);
        memcpy(output, "ANSWERxx", 8);
        WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 6);
    };
    Plug();
    sim::io::File file;
    ASSERT_EQ(Open(&file), STATUS_SUCCESS);
    char out[16] = {};
    ULONG_PTR got = 0;
    EXPECT_EQ(file.DeviceIoControl(kBufferedIoctl, "abc", 3, out, sizeof(out), &got),
              STATUS_SUCCESS);
    EXPECT_EQ(seen.code, kBufferedIoctl);
    EXPECT_EQ(seen.in, 3u);
    EXPECT_EQ(seen.out, sizeof(out));
    EXPECT_EQ(seen.tooSmall, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(seen.device, stack_.FunctionDevice(id_));
    EXPECT_EQ(got, 6u);
    EXPECT_EQ(std::string(out), "ANSWER");

    EXPECT_EQ(file.DeviceIoControl(kBufferedIoctl, nullptr, 0, nullptr, 0, &got),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(seen.empty, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(lower().CountOf(IRP_MJ_DEVICE_CONTROL), 0u);
}

TEST_F(FrameworkIoTest, AControlCodeNeedingReadAccessIsRefusedOnAHandleWithout) {
    int calls = 0;
    hooks().deviceControl = [&](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
        ++calls;
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    Plug();
    sim::io::File writer;
    ASSERT_EQ(Open(&writer, FILE_WRITE_DATA), STATUS_SUCCESS);
    UCHAR byte = 0;
    EXPECT_EQ(writer.DeviceIoControl(kReadAccessIoctl, &byte, 1, nullptr, 0, nullptr),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(calls, 0);
    sim::io::File reader;
    ASSERT_EQ(Open(&reader, GENERIC_READ), STATUS_SUCCESS);
    EXPECT_EQ(reader.DeviceIoControl(kReadAccessIoctl, &byte, 1, nullptr, 0, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(calls, 1);
}

struct CompletionSeen {
    NTSTATUS status = STATUS_PENDING;
    WDF_REQUEST_TYPE type = WdfRequestTypeMax;
    ULONG code = 0;
};

VOID RecordAndComplete(WDFREQUEST request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params,
                       WDFCONTEXT context) {
    auto* seen = static_cast<CompletionSeen*>(context);
    seen->status = WdfRequestGetStatus(request);
    seen->type = params->Type;
    seen->code = params->Parameters.Ioctl.IoControlCode;
    WdfRequestComplete(request, seen->status);
}

void SendWithCompletion(WDFREQUEST request, WDFIOTARGET target, CompletionSeen* seen) {
    WdfRequestFormatRequestUsingCurrentType(request);
    WdfRequestSetCompletionRoutine(request, RecordAndComplete, seen);
    EXPECT_TRUE(WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS));
}

// The open goes down with a completion routine and comes back with the
// collection's answer; a failed open leaves no file object behind.
TEST_F(FrameworkIoTest, AnOpenSentDownReportsTheLowerStatusAndKeepsItsFileObject) {
    CompletionSeen seen;
    hooks().fileCreate = [&seen](WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT file) {
        EXPECT_NE(file, nullptr);
        SendWithCompletion(request, WdfDeviceGetIoTarget(device), &seen);
    };
    hooks().deviceControl = [](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
        WdfRequestComplete(request, WdfRequestGetFileObject(request) != nullptr ? STATUS_SUCCESS
                                                                                : STATUS_NOT_FOUND);
    };
    Plug();
    size_t before = sim::wdf::LiveObjectCount();

    lower().AnswerMajor(IRP_MJ_CREATE, {STATUS_ACCESS_DENIED, {}, false});
    sim::io::File refused;
    EXPECT_EQ(Open(&refused), STATUS_ACCESS_DENIED);
    EXPECT_EQ(seen.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(seen.type, WdfRequestTypeCreate);
    EXPECT_EQ(sim::wdf::LiveObjectCount(), before);

    lower().AnswerMajor(IRP_MJ_CREATE, {STATUS_SUCCESS, {}, false});
    sim::io::File file;
    ASSERT_EQ(Open(&file), STATUS_SUCCESS);
    EXPECT_EQ(sim::wdf::LiveObjectCount(), before + 1); // its file object
    EXPECT_EQ(file.DeviceIoControl(kBufferedIoctl, "x", 1, nullptr, 0, nullptr), STATUS_SUCCESS);
    file.Close();
    EXPECT_EQ(sim::wdf::LiveObjectCount(), before);
}

TEST_F(FrameworkIoTest, AFailedSendLeavesTheRequestWithTheDriverAndItsStatusReadable) {
    NTSTATUS sendStatus = STATUS_SUCCESS;
    hooks().deviceControl = [&](WDFQUEUE queue, WDFREQUEST request, size_t, size_t, ULONG) {
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
        WDFIOTARGET target = WdfDeviceGetIoTarget(WdfIoQueueGetDevice(queue));
        if (!WdfRequestSend(request, target, &options)) {
            sendStatus = WdfRequestGetStatus(request);
            WdfRequestComplete(request, sendStatus);
        }
    };
    Plug();
    sim::io::File file;
    ASSERT_EQ(Open(&file), STATUS_SUCCESS);
    lower().AnswerIoctl(kBufferedIoctl, {STATUS_SUCCESS, {0x42}, false});
    UCHAR out = 0;
    ULONG_PTR got = 0;
    // Sent and forgotten: the caller gets the collection's answer.
    EXPECT_EQ(file.DeviceIoControl(kBufferedIoctl, nullptr, 0, &out, 1, &got), STATUS_SUCCESS);
    EXPECT_EQ(out, 0x42);
    EXPECT_EQ(lower().CountOf(IRP_MJ_DEVICE_CONTROL), 1u);

    sim::fault::FailNthCall("WdfRequestSend", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(file.DeviceIoControl(kBufferedIoctl, nullptr, 0, &out, 1, &got),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sendStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(lower().CountOf(IRP_MJ_DEVICE_CONTROL), 1u);
}

TEST_F(FrameworkIoTest, RemovalCancelsWhatTheCollectionStillHoldsAndWaitsForIt) {
    CompletionSeen seen;
    hooks().internalDeviceControl = [&seen](WDFQUEUE queue, WDFREQUEST request, size_t, size_t,
                                            ULONG) {
        SendWithCompletion(request, WdfDeviceGetIoTarget(WdfIoQueueGetDevice(queue)), &seen);
    };
    Plug();
    lower().AnswerIoctl(kNeitherIoctl, {STATUS_SUCCESS, {}, true});
    KernelIoctl held(Top(), kNeitherIoctl, nullptr, 0, nullptr, 0);
    EXPECT_EQ(held.sent, STATUS_PENDING);
    EXPECT_EQ(lower().HeldCount(), 1u);
    EXPECT_FALSE(held.Finished());

    ASSERT_EQ(stack_.Remove(id_), STATUS_SUCCESS);
    EXPECT_TRUE(held.Finished());
    EXPECT_EQ(held.status.Status, STATUS_CANCELLED);
    EXPECT_EQ(seen.status, STATUS_CANCELLED);
    EXPECT_EQ(seen.type, WdfRequestTypeDeviceControlInternal);
    EXPECT_EQ(seen.code, kNeitherIoctl);
}

using FrameworkIoDeathTest = FrameworkIoTest;

TEST_F(FrameworkIoDeathTest, BreakingTheRequestRulesStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    hooks().internalDeviceControl = [](WDFQUEUE queue, WDFREQUEST request, size_t, size_t,
                                       ULONG code) {
        WDFIOTARGET target = WdfDeviceGetIoTarget(WdfIoQueueGetDevice(queue));
        if (code == kBufferedIoctl) {
            WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS); // never formatted
        } else if (code == kNeitherIoctl) {
            WdfRequestFormatRequestUsingCurrentType(request);
            WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS);
            WdfRequestComplete(request, STATUS_SUCCESS); // it is the target's now
        }
        // Any other code is kept and never completed.
    };
    Plug();
    EXPECT_DEATH(KernelIoctl(Top(), kBufferedIoctl, nullptr, 0, nullptr, 0),
                 "request sent without being formatted");
    lower().AnswerIoctl(kNeitherIoctl, {STATUS_SUCCESS, {}, true});
    EXPECT_DEATH(KernelIoctl(Top(), kNeitherIoctl, nullptr, 0, nullptr, 0),
                 "request used after the driver gave it away");
    EXPECT_DEATH(
        {
            sim::wdf::SetRemovalWaitLimit(std::chrono::milliseconds(50));
            KernelIoctl kept(Top(), kReadAccessIoctl, nullptr, 0, nullptr, 0);
            stack_.Remove(id_);
        },
        "request not completed before its device was removed");
}

} // namespace
} // namespace quillex_test
