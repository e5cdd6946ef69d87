// Remote I/O targets and the driver's own requests: opened by the name of a
// stick's collection, reads formatted into memory objects, cancelled, reused,
// closed with what is still out, and closed for an orderly removal.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <hidclass.h>

#include "sim/core/fault.h"
#include "sim/core/race.h"
#include "sim/core/utf.h"
#include "sim/io/file.h"
#include "sim/io/device_object.h"
#include "sim/peers/stick/plug.h"
#include "sim/pnp/stack.h"
#include "sim/wdf/io_target.h"
#include "sim/wdf/object.h"
#include "tests/support/test_filter_driver.h"

namespace quillex_test {
namespace {

using sim::hid::RecordingLowerDevice;
using sim::pnp::Stack;

struct ReadSeen {
    std::atomic<int> completions{0};
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::atomic<ULONG_PTR> information{0};
    std::atomic<WDF_REQUEST_TYPE> type{WdfRequestTypeNoFormat};
};

VOID ReadDone(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context) {
    auto* seen = static_cast<ReadSeen*>(context);
    seen->status = params->IoStatus.Status;
    seen->information = params->IoStatus.Information;
    seen->type = params->Type;
    seen->completions.fetch_add(1);
}

class RemoteTargetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(stack_.Plug(sim::stick::ArcadeStick(0x0402), &id_), STATUS_SUCCESS);
        device_ = stack_.FunctionDevice(id_);
        name_ = sim::Utf8ToUtf16(stack_.PdoName(id_));
        pdoName_.Buffer = name_.data();
        pdoName_.Length = static_cast<USHORT>(name_.size() * sizeof(WCHAR));
        pdoName_.MaximumLength = pdoName_.Length;
    }
    RecordingLowerDevice& lower() { return *stack_.Recorder(id_); }

    // A remote target opened by the collection's name, as the reader opens its own.
    WDFIOTARGET OpenByName() {
        WDFIOTARGET target = nullptr;
        EXPECT_EQ(WdfIoTargetCreate(device_, WDF_NO_OBJECT_ATTRIBUTES, &target), STATUS_SUCCESS);
        WDF_IO_TARGET_OPEN_PARAMS params;
        WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&params, &pdoName_,
                                                    FILE_READ_DATA | FILE_WRITE_DATA);
        params.ShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
        EXPECT_EQ(WdfIoTargetOpen(target, &params), STATUS_SUCCESS);
        return target;
    }

    // A request and an 8-byte buffer of the device's, for reads.
    void MakeRead(WDFREQUEST* request, WDFMEMORY* memory) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = device_;
        ASSERT_EQ(WdfRequestCreate(&attributes, WdfDeviceGetIoTarget(device_), request),
                  STATUS_SUCCESS);
        ASSERT_EQ(WdfMemoryCreate(&attributes, NonPagedPool, 'tseT', 8, memory, nullptr),
                  STATUS_SUCCESS);
    }

    BOOLEAN SendRead(WDFIOTARGET target, WDFREQUEST request, WDFMEMORY memory, ReadSeen* seen) {
        EXPECT_EQ(WdfIoTargetFormatRequestForRead(target, request, memory, nullptr, nullptr),
                  STATUS_SUCCESS);
        WdfRequestSetCompletionRoutine(request, ReadDone, seen);
        return WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS);
    }

    sim::fault::Scope faults_;
    TestDriverScope scope_;
    Stack stack_{test_driver::DriverEntry};
    Stack::DeviceId id_ = 0;
    WDFDEVICE device_ = nullptr;
    std::vector<WCHAR> name_;
    UNICODE_STRING pdoName_{};
};

TEST_F(RemoteTargetTest, AReadByNameGoesThroughTheWholeStackIsAnsweredReusedAndCancelled) {
    WDFIOTARGET target = OpenByName();
    EXPECT_EQ(
        sim::io::OpenHandleCount(sim::io::BottomOfStack(WdfDeviceWdmGetDeviceObject(device_))), 1);
    WDFREQUEST request;
    WDFMEMORY memory;
    MakeRead(&request, &memory);

    lower().AnswerMajor(IRP_MJ_READ, {STATUS_SUCCESS, {1, 2, 3}, false});
    ReadSeen seen;
    // Created for the collection below, sent to the top of the stack: the
    // framework's own IRP grows for the deeper target.
    ASSERT_TRUE(SendRead(target, request, memory, &seen));
    EXPECT_EQ(seen.completions.load(), 1);
    EXPECT_EQ(seen.status.load(), STATUS_SUCCESS);
    EXPECT_EQ(seen.type.load(), WdfRequestTypeRead);
    EXPECT_EQ(seen.information.load(), 3u);
    auto* bytes = static_cast<UCHAR*>(WdfMemoryGetBuffer(memory, nullptr));
    EXPECT_EQ(bytes[2], 3);
    auto reads = lower().Requests();
    ASSERT_FALSE(reads.empty());
    EXPECT_EQ(reads.back().transferLength, 8u);

    WDF_REQUEST_REUSE_PARAMS reuse;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    ASSERT_EQ(WdfRequestReuse(request, &reuse), STATUS_SUCCESS);
    lower().AnswerMajor(IRP_MJ_READ, {STATUS_SUCCESS, {}, true});
    ASSERT_TRUE(SendRead(target, request, memory, &seen));
    EXPECT_EQ(lower().HeldCount(), 1u);
    EXPECT_EQ(seen.completions.load(), 1);
    EXPECT_TRUE(WdfRequestCancelSentRequest(request));
    EXPECT_EQ(seen.completions.load(), 2);
    EXPECT_EQ(seen.status.load(), STATUS_CANCELLED);
    EXPECT_FALSE(WdfRequestCancelSentRequest(request)); // nothing out any more

    WdfIoTargetClose(target);
    EXPECT_EQ(
        sim::io::OpenHandleCount(sim::io::BottomOfStack(WdfDeviceWdmGetDeviceObject(device_))), 0);
    WdfObjectDelete(request);
    WdfObjectDelete(memory);
}

TEST_F(RemoteTargetTest, ClosingCancelsWhatIsOutWaitsForItAndRefusesLaterSends) {
    WDFIOTARGET target = OpenByName();
    WDFREQUEST request;
    WDFMEMORY memory;
    MakeRead(&request, &memory);
    lower().AnswerMajor(IRP_MJ_READ, {STATUS_SUCCESS, {}, true});
    ReadSeen seen;
    ASSERT_TRUE(SendRead(target, request, memory, &seen));
    EXPECT_EQ(seen.completions.load(), 0);

    WdfIoTargetClose(target);
    EXPECT_EQ(seen.completions.load(), 1); // back before the close returned
    EXPECT_EQ(seen.status.load(), STATUS_CANCELLED);
    EXPECT_EQ(WdfIoTargetFormatRequestForRead(target, request, memory, nullptr, nullptr),
              STATUS_INVALID_DEVICE_STATE);
    WdfObjectDelete(request);
}

TEST_F(RemoteTargetTest, FailuresComeBackAsStatusesAndNothingIsOpened) {
    WDFIOTARGET target = nullptr;
    sim::fault::FailNthCall("WdfIoTargetCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(WdfIoTargetCreate(device_, WDF_NO_OBJECT_ATTRIBUTES, &target),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(target, nullptr);
    ASSERT_EQ(WdfIoTargetCreate(device_, WDF_NO_OBJECT_ATTRIBUTES, &target), STATUS_SUCCESS);

    WDF_IO_TARGET_OPEN_PARAMS params;
    WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&params, &pdoName_, FILE_READ_DATA);
    sim::fault::FailNthCall("WdfIoTargetOpen", 1, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(WdfIoTargetOpen(target, &params), STATUS_DEVICE_NOT_READY);
    std::vector<WCHAR> missing = sim::Utf8ToUtf16("\\Device\\NoSuchStick");
    UNICODE_STRING name{static_cast<USHORT>(missing.size() * 2),
                        static_cast<USHORT>(missing.size() * 2), missing.data()};
    WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&params, &name, FILE_READ_DATA);
    EXPECT_EQ(WdfIoTargetOpen(target, &params), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(lower().CountOf(IRP_MJ_CREATE), 0u);

    WDFREQUEST request;
    sim::fault::FailNthCall("WdfRequestCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, target, &request),
              STATUS_INSUFFICIENT_RESOURCES);

    HID_COLLECTION_INFORMATION info{};
    WDF_MEMORY_DESCRIPTOR out;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&out, &info, sizeof(info));
    lower().AnswerIoctl(IOCTL_HID_GET_COLLECTION_INFORMATION,
                        {STATUS_SUCCESS, {0x40, 0, 0, 0, 0, 0, 0x34, 0x12}, false});
    ULONG_PTR returned = 0;
    EXPECT_EQ(WdfIoTargetSendIoctlSynchronously(WdfDeviceGetIoTarget(device_), nullptr,
                                                IOCTL_HID_GET_COLLECTION_INFORMATION, nullptr, &out,
                                                nullptr, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(info.DescriptorSize, 0x40u);
    EXPECT_EQ(info.VendorID, 0x1234);
    EXPECT_EQ(returned, 8u);
    sim::fault::FailNthCall("WdfIoTargetSendIoctlSynchronously", 1, STATUS_IO_TIMEOUT);
    EXPECT_EQ(WdfIoTargetSendIoctlSynchronously(WdfDeviceGetIoTarget(device_), nullptr,
                                                IOCTL_HID_GET_COLLECTION_INFORMATION, nullptr, &out,
                                                nullptr, nullptr),
              STATUS_IO_TIMEOUT);
}

TEST_F(RemoteTargetTest, AnOrderlyRemovalClosesATargetOpenOnTheDeviceAndACancelledOneReopensIt) {
    WDFIOTARGET target = OpenByName();
    (void)target;
    sim::io::File app;
    ASSERT_EQ(app.Open(stack_.PdoName(id_), GENERIC_READ), STATUS_SUCCESS);
    // The application's handle vetoes; the target is opened again.
    EXPECT_EQ(stack_.Remove(id_), STATUS_DEVICE_BUSY);
    PDEVICE_OBJECT pdo = sim::io::BottomOfStack(WdfDeviceWdmGetDeviceObject(device_));
    EXPECT_EQ(sim::io::OpenHandleCount(pdo), 2);
    app.Close();
    // The target alone does not keep the device: it lets go when asked.
    EXPECT_EQ(stack_.Remove(id_), STATUS_SUCCESS);
}

// A send that found the target open is held before it counts its request as
// out, and a close starts meanwhile: the close waits for the send, then
// cancels its request, and returns only once the request is back. Were the
// two steps of the send apart, the close would find nothing out and return,
// and the read would reach the device after it.
TEST_F(RemoteTargetTest, ACloseDuringASendCancelsTheRequestTheSendAdmitted) {
    WDFIOTARGET target = OpenByName();
    WDFREQUEST request;
    WDFMEMORY memory;
    MakeRead(&request, &memory);
    lower().AnswerMajor(IRP_MJ_READ, {STATUS_SUCCESS, {}, true}); // reads wait
    ASSERT_EQ(WdfIoTargetFormatRequestForRead(target, request, memory, nullptr, nullptr),
              STATUS_SUCCESS);
    ReadSeen seen;
    WdfRequestSetCompletionRoutine(request, ReadDone, &seen);

    sim::race::Pause admitting(
        sim::wdf::kIoTargetSendAdmitting,
        sim::wdf::LookupAs<sim::wdf::Request>(request, sim::wdf::Kind::Request, "test"));
    std::atomic<bool> sent{false};
    std::thread sender([&] { sent = WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS); });
    ASSERT_TRUE(admitting.WaitHit());
    std::atomic<bool> closed{false};
    std::atomic<int> backAtClose{-1};
    std::thread closer([&] {
        WdfIoTargetClose(target);
        backAtClose = seen.completions.load();
        closed = true;
    });
    // The close cannot get past the held send.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(closed.load());
    admitting.Release();
    sender.join();
    closer.join();

    EXPECT_TRUE(sent.load());
    EXPECT_EQ(backAtClose.load(), 1);
    EXPECT_EQ(seen.status.load(), STATUS_CANCELLED);
    EXPECT_EQ(lower().HeldCount(), 0u);
    WdfObjectDelete(request);
    WdfObjectDelete(memory);
}

// The reader formats and sends its next read while the PnP manager closes
// its target for a removal (which the application's handle then vetoes):
// each format and send sees the target open or closed, never half of each,
// and a read that went out is cancelled by the close or by the reader.
TEST_F(RemoteTargetTest, AReadFormattedAndSentWhileARemovalClosesTheTargetSeesItOpenOrClosed) {
    WDFIOTARGET target = OpenByName();
    WDFREQUEST request = nullptr;
    WDFMEMORY memory = nullptr;
    MakeRead(&request, &memory);
    lower().AnswerMajor(IRP_MJ_READ, {STATUS_SUCCESS, {}, true}); // reads wait
    sim::io::File app;
    ASSERT_EQ(app.Open(stack_.PdoName(id_), GENERIC_READ), STATUS_SUCCESS);
    std::atomic<bool> stop{false};
    std::atomic<int> formatted{0}, sent{0}, refused{0}, other{0};
    std::thread reader([&] {
        while (!stop) {
            NTSTATUS status =
                WdfIoTargetFormatRequestForRead(target, request, memory, nullptr, nullptr);
            ++(status == STATUS_SUCCESS                ? formatted
               : status == STATUS_INVALID_DEVICE_STATE ? refused
                                                       : other);
            if (status != STATUS_SUCCESS) {
                continue;
            }
            ReadSeen seen;
            WdfRequestSetCompletionRoutine(request, ReadDone, &seen);
            if (WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS)) {
                (void)WdfRequestCancelSentRequest(request);
                while (seen.completions == 0) {
                    std::this_thread::yield();
                }
                ++(seen.status == STATUS_CANCELLED ? sent : other);
            } else {
                ++(WdfRequestGetStatus(request) == STATUS_INVALID_DEVICE_STATE ? refused : other);
            }
            WDF_REQUEST_REUSE_PARAMS reuse;
            WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
            ASSERT_EQ(WdfRequestReuse(request, &reuse), STATUS_SUCCESS);
        }
    });
    auto waitFor = [](const std::atomic<int>& count) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (count == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
    };
    waitFor(formatted);
    for (int removal = 0; removal < 20; ++removal) {
        EXPECT_EQ(stack_.Remove(id_), STATUS_DEVICE_BUSY);
    }
    waitFor(sent);
    stop = true;
    reader.join();
    app.Close();
    EXPECT_GT(formatted, 0);
    EXPECT_GT(sent, 0);
    EXPECT_EQ(other, 0);
    // Opened again after the last vetoed removal.
    EXPECT_EQ(WdfIoTargetFormatRequestForRead(target, request, memory, nullptr, nullptr),
              STATUS_SUCCESS);
}

using RemoteTargetDeathTest = RemoteTargetTest;

TEST_F(RemoteTargetDeathTest, DeletingARequestThatIsStillOutStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            WDFIOTARGET target = OpenByName();
            WDFREQUEST request;
            WDFMEMORY memory;
            MakeRead(&request, &memory);
            lower().AnswerMajor(IRP_MJ_READ, {STATUS_SUCCESS, {}, true});
            ReadSeen seen;
            SendRead(target, request, memory, &seen);
            WdfObjectDelete(request);
        },
        "deleted while it is at I/O target");
}

} // namespace
} // namespace quillex_test
