// The HID collection below the filter: the collection IOCTLs, reads answered
// from the stick's thread, per-open rings, cancellation and removal, and the
// stick playing its feeds.
#include <gtest/gtest.h>
#include <string.h>

#include <future>
#include <thread>

#include <hidclass.h>

#include "sim/core/fault.h"
#include "sim/core/race.h"
#include "sim/hid/collection.h"
#include "sim/io/file.h"
#include "sim/kernel/thread_state.h"
#include "sim/peers/stick/descriptors.h"
#include "sim/peers/stick/stick.h"
#include "sim/peers/stick/plug.h"
#include "sim/pnp/stack.h"
#include "tests/support/kernel_read.h"
#include "tests/support/test_filter_driver.h"

namespace quillex_test {
namespace {

using sim::stick::Layout;
using sim::stick::StickState;

std::vector<uint8_t> ReportA(uint8_t leftX) {
    StickState s;
    s.leftX = leftX;
    return sim::stick::Encode(Layout::A, s);
}

// Waits up to five seconds for 'done'.
template <class Predicate> bool Eventually(Predicate done) {
    for (int i = 0; i < 5000 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

class HidCollectionTest : public ::testing::Test {
  protected:
    void Plug(uint16_t productId = 0x0402) {
        ASSERT_EQ(stack_.Plug(sim::stick::ArcadeStick(productId), &id_), STATUS_SUCCESS);
        hid_ = stack_.Hid(id_);
        ASSERT_NE(hid_, nullptr);
    }
    NTSTATUS Open(sim::io::File* file) { return file->Open(stack_.PdoName(id_), GENERIC_READ); }
    PDEVICE_OBJECT Top() { return WdfDeviceWdmGetDeviceObject(stack_.FunctionDevice(id_)); }

    sim::fault::Scope faults_;
    TestDriverScope scope_;
    sim::pnp::Stack stack_{test_driver::DriverEntry};
    sim::pnp::Stack::DeviceId id_ = 0;
    sim::hid::Collection* hid_ = nullptr;
};

TEST_F(HidCollectionTest, TheCollectionIoctlsAnswerFromTheReportDescriptor) {
    Plug(0x0403);
    sim::io::File app;
    ASSERT_EQ(Open(&app), STATUS_SUCCESS);

    HID_COLLECTION_INFORMATION info{};
    ULONG_PTR got = 0;
    EXPECT_EQ(app.DeviceIoControl(IOCTL_HID_GET_COLLECTION_INFORMATION, nullptr, 0, &info,
                                  sizeof(info) - 1, &got),
              STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(got, 0u);
    ASSERT_EQ(app.DeviceIoControl(IOCTL_HID_GET_COLLECTION_INFORMATION, nullptr, 0, &info,
                                  sizeof(info), &got),
              STATUS_SUCCESS);
    EXPECT_EQ(got, sizeof(info));
    EXPECT_EQ(info.VendorID, sim::stick::kStickVendorId);
    EXPECT_EQ(info.ProductID, 0x0403);
    EXPECT_EQ(info.Polled, FALSE);
    EXPECT_EQ(info.DescriptorSize, hid_->Parsed().preparsed.size());

    std::vector<uint8_t> preparsed(info.DescriptorSize);
    EXPECT_EQ(app.DeviceIoControl(IOCTL_HID_GET_COLLECTION_DESCRIPTOR, nullptr, 0, preparsed.data(),
                                  info.DescriptorSize - 1, &got),
              STATUS_INVALID_BUFFER_SIZE);
    ASSERT_EQ(app.DeviceIoControl(IOCTL_HID_GET_COLLECTION_DESCRIPTOR, nullptr, 0, preparsed.data(),
                                  info.DescriptorSize, &got),
              STATUS_SUCCESS);
    EXPECT_EQ(got, info.DescriptorSize);
    HIDP_CAPS caps{};
    ASSERT_EQ(HidP_GetCaps(reinterpret_cast<PHIDP_PREPARSED_DATA>(preparsed.data()), &caps),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(caps.InputReportByteLength, 10);
    EXPECT_EQ(caps.NumberInputValueCaps, 7);

    // A test's own answer still wins, and every request is recorded.
    hid_->AnswerIoctl(IOCTL_HID_GET_COLLECTION_INFORMATION, {STATUS_DEVICE_NOT_READY, {}, false});
    EXPECT_EQ(app.DeviceIoControl(IOCTL_HID_GET_COLLECTION_INFORMATION, nullptr, 0, &info,
                                  sizeof(info), &got),
              STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(hid_->CountOf(IRP_MJ_DEVICE_CONTROL), 5u);
}

// The collection is shared as the I/O manager shares files: an open that
// would read or write where an earlier open does not share it, or that
// shares less than an earlier open uses, is refused; and a read needs an
// open made for reading.
TEST_F(HidCollectionTest, OpensAreSharedAsTheyAskAndAReadNeedsReadAccess) {
    Plug();
    const ULONG both = FILE_SHARE_READ | FILE_SHARE_WRITE;
    sim::io::File app;
    ASSERT_EQ(app.Open(stack_.PdoName(id_), GENERIC_READ | GENERIC_WRITE, both), STATUS_SUCCESS);
    struct Case {
        const char* what;
        ACCESS_MASK access;
        ULONG share;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"reading and writing, sharing both", FILE_READ_DATA | FILE_WRITE_DATA, both,
         STATUS_SUCCESS},
        {"exclusive", FILE_READ_DATA | FILE_WRITE_DATA, 0, STATUS_SHARING_VIOLATION},
        {"reading, not sharing writes", FILE_READ_DATA, FILE_SHARE_READ, STATUS_SHARING_VIOLATION},
        {"neither reading nor writing, sharing nothing", 0, 0, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::io::File other;
        EXPECT_EQ(other.Open(stack_.PdoName(id_), c.access, c.share), c.expected);
    }
    app.Close();
    // An exclusive open keeps every later reader and writer out.
    sim::io::File exclusive;
    ASSERT_EQ(exclusive.Open(stack_.PdoName(id_), GENERIC_READ, 0), STATUS_SUCCESS);
    EXPECT_EQ(app.Open(stack_.PdoName(id_), GENERIC_READ, both), STATUS_SHARING_VIOLATION);
    exclusive.Close();

    sim::io::File writer;
    ASSERT_EQ(writer.Open(stack_.PdoName(id_), FILE_WRITE_DATA, both), STATUS_SUCCESS);
    UCHAR report[64];
    ULONG_PTR got = 0;
    EXPECT_EQ(writer.Read(report, sizeof(report), &got), STATUS_ACCESS_DENIED);
    EXPECT_EQ(hid_->WaitingReads(), 0u);
}

TEST_F(HidCollectionTest, AWaitingReadIsCompletedFromTheSticksThreadAtDispatchLevel) {
    Plug();
    sim::io::File app;
    ASSERT_EQ(Open(&app), STATUS_SUCCESS);
    KernelRead read(Top(), app.FileObject(), 21, 0xCC);
    EXPECT_EQ(read.sent(), STATUS_PENDING);
    EXPECT_EQ(hid_->WaitingReads(), 1u);

    sim::stick::Stick stick(hid_);
    stick.Play(sim::stick::RecordingFeed({{sim::stick::Micros(1000), ReportA(0x42)}}));
    IO_STATUS_BLOCK done = read.Wait();
    EXPECT_EQ(done.Status, STATUS_SUCCESS);
    // One report: 19 bytes as the stick sent them, the 20th zero.
    EXPECT_EQ(done.Information, 20u);
    std::vector<uint8_t> expected = ReportA(0x42);
    expected.push_back(0);
    EXPECT_EQ(std::vector<uint8_t>(read.Buffer().begin(), read.Buffer().begin() + 20), expected);
    EXPECT_EQ(read.Buffer()[20], 0xCC) << "nothing written past the report";
    EXPECT_EQ(read.CompletedAt(), DISPATCH_LEVEL);
    stick.Wait();
    EXPECT_EQ(stick.Sent(), 1u);
}

TEST_F(HidCollectionTest, EachOpenHasItsOwnRingThatDropsTheOldestReport) {
    Plug();
    sim::io::File first, second;
    ASSERT_EQ(Open(&first), STATUS_SUCCESS);
    ASSERT_EQ(Open(&second), STATUS_SUCCESS);
    EXPECT_EQ(hid_->OpenCount(), 2u);
    ULONG buffers = 0;
    ASSERT_EQ(first.DeviceIoControl(IOCTL_GET_NUM_DEVICE_INPUT_BUFFERS, nullptr, 0, &buffers,
                                    sizeof(buffers), nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(buffers, 32u);
    ULONG four = 4;
    ASSERT_EQ(second.DeviceIoControl(IOCTL_SET_NUM_DEVICE_INPUT_BUFFERS, &four, sizeof(four),
                                     nullptr, 0, nullptr),
              STATUS_SUCCESS);
    ULONG one = 1;
    EXPECT_EQ(second.DeviceIoControl(IOCTL_SET_NUM_DEVICE_INPUT_BUFFERS, &one, sizeof(one), nullptr,
                                     0, nullptr),
              STATUS_INVALID_PARAMETER);

    sim::stick::Stick stick(hid_);
    for (uint8_t i = 0; i < 35; ++i) {
        ASSERT_EQ(stick.Send(ReportA(i)), STATUS_SUCCESS);
    }
    // 3 dropped from the first ring, 31 from the second.
    EXPECT_EQ(hid_->DroppedReports(), 34u);

    // A read too short for one report fails and takes nothing.
    uint8_t buffer[40 * 20];
    ULONG_PTR got = 0;
    EXPECT_EQ(first.Read(buffer, 19, &got), STATUS_INVALID_BUFFER_SIZE);
    // A read takes as many whole reports as fit, oldest first.
    ASSERT_EQ(first.Read(buffer, 50, &got), STATUS_SUCCESS);
    ASSERT_EQ(got, 40u);
    EXPECT_EQ(buffer[3], 3);
    EXPECT_EQ(buffer[20 + 3], 4);
    ASSERT_EQ(first.Read(buffer, sizeof(buffer), &got), STATUS_SUCCESS);
    ASSERT_EQ(got, 30u * 20);
    EXPECT_EQ(buffer[29 * 20 + 3], 34);
    ASSERT_EQ(second.Read(buffer, sizeof(buffer), &got), STATUS_SUCCESS);
    ASSERT_EQ(got, 4u * 20);
    EXPECT_EQ(buffer[3], 31);

    // A flush empties only the caller's ring.
    ASSERT_EQ(stick.Send(ReportA(99)), STATUS_SUCCESS);
    ASSERT_EQ(first.DeviceIoControl(IOCTL_HID_FLUSH_QUEUE, nullptr, 0, nullptr, 0, nullptr),
              STATUS_SUCCESS);
    KernelRead waiting(Top(), first.FileObject(), 20);
    EXPECT_EQ(waiting.sent(), STATUS_PENDING);
    ASSERT_EQ(second.Read(buffer, 20, &got), STATUS_SUCCESS);
    EXPECT_EQ(buffer[3], 99);
    waiting.Cancel();
    EXPECT_EQ(waiting.Wait().Status, STATUS_CANCELLED);
}

TEST_F(HidCollectionTest, WaitingReadsEndOnCancelCleanupAndRemoval) {
    Plug(0x0403);
    sim::io::File app, other;
    ASSERT_EQ(Open(&app), STATUS_SUCCESS);
    ASSERT_EQ(Open(&other), STATUS_SUCCESS);

    KernelRead cancelled(Top(), app.FileObject(), 10);
    KernelRead kept(Top(), app.FileObject(), 10);
    ASSERT_EQ(hid_->WaitingReads(), 2u);
    cancelled.Cancel();
    EXPECT_EQ(cancelled.Wait().Status, STATUS_CANCELLED);
    // The next report goes to the read still waiting, not the cancelled one.
    sim::stick::Stick stick(hid_);
    ASSERT_EQ(stick.Send(sim::stick::Encode(Layout::B, {})), STATUS_SUCCESS);
    IO_STATUS_BLOCK done = kept.Wait();
    EXPECT_EQ(done.Status, STATUS_SUCCESS);
    EXPECT_EQ(kept.Buffer()[0], sim::stick::kLayoutBReportId);

    // Closing one open cancels its reads and leaves the other's alone.
    ASSERT_EQ(other.DeviceIoControl(IOCTL_HID_FLUSH_QUEUE, nullptr, 0, nullptr, 0, nullptr),
              STATUS_SUCCESS);
    auto closing = std::make_unique<KernelRead>(Top(), other.FileObject(), 10);
    KernelRead survivor(Top(), app.FileObject(), 10);
    ASSERT_EQ(closing->sent(), STATUS_PENDING);
    other.Close();
    EXPECT_EQ(closing->Wait().Status, STATUS_CANCELLED);
    EXPECT_FALSE(survivor.Finished());
    closing.reset();

    ASSERT_EQ(stack_.Unplug(id_), STATUS_SUCCESS);
    EXPECT_EQ(survivor.Wait().Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(stick.Send(sim::stick::Encode(Layout::B, {})), STATUS_DEVICE_NOT_CONNECTED);
    app.Close();
}

TEST_F(HidCollectionTest, AReportThatMeetsAReadBeingCancelledWaitsInTheRing) {
    Plug();
    sim::io::File app;
    ASSERT_EQ(Open(&app), STATUS_SUCCESS);
    KernelRead read(Top(), app.FileObject(), 20);
    ASSERT_EQ(read.sent(), STATUS_PENDING);
    // The read's cancel routine is taken out but not run yet when the report comes.
    sim::race::Pause taken(sim::race::kCancelRoutineTaken, read.Irp());
    std::thread canceller([&] { read.Cancel(); });
    ASSERT_TRUE(taken.WaitHit());
    sim::stick::Stick stick(hid_);
    ASSERT_EQ(stick.Send(ReportA(7)), STATUS_SUCCESS);
    EXPECT_FALSE(read.Finished());
    taken.Release();
    canceller.join();
    IO_STATUS_BLOCK done = read.Wait();
    EXPECT_EQ(done.Status, STATUS_CANCELLED);
    EXPECT_EQ(done.Information, 0u);
    // Completed once, and the report is not lost: the next read has it.
    UCHAR buffer[20] = {};
    ULONG_PTR got = 0;
    ASSERT_EQ(app.Read(buffer, sizeof(buffer), &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 20u);
    EXPECT_EQ(buffer[3], 7);
}

TEST_F(HidCollectionTest, ReportsThatAreNotTheCollectionsAreRefusedAndReachNoReader) {
    Plug(0x0403);
    sim::io::File app;
    ASSERT_EQ(Open(&app), STATUS_SUCCESS);
    sim::stick::Stick stick(hid_);
    std::vector<uint8_t> good = sim::stick::Encode(Layout::B, {});
    std::vector<uint8_t> unknownId = good;
    unknownId[0] = 2;
    std::vector<uint8_t> tooShort(good.begin(), good.end() - 1);
    std::vector<uint8_t> tooLong = good;
    tooLong.push_back(0);
    EXPECT_EQ(stick.Send(unknownId), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stick.Send(tooShort), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stick.Send(tooLong), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stick.Send({}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stick.Refused(), 4u);
    EXPECT_EQ(stick.Sent(), 0u);
    EXPECT_EQ(stick.LastRefusal(), STATUS_INVALID_PARAMETER);
    KernelRead read(Top(), app.FileObject(), 10);
    EXPECT_EQ(read.sent(), STATUS_PENDING);
    read.Cancel();
    EXPECT_EQ(read.Wait().Status, STATUS_CANCELLED);

    // A layout B stick's report is not a layout A stick's.
    sim::hid::Collection a(sim::stick::ReportDescriptor(Layout::A), 0x1234, 0x0402);
    EXPECT_EQ(a.InputReport(good.data(), good.size()), STATUS_INVALID_PARAMETER);
    std::vector<uint8_t> ra = ReportA(1);
    EXPECT_EQ(a.InputReport(ra.data(), ra.size()), STATUS_SUCCESS);

    // A collection whose descriptor was refused does not start.
    sim::pnp::DeviceDescription broken = sim::stick::ArcadeStick(0x0402);
    broken.lower =
        std::make_unique<sim::hid::Collection>(std::vector<uint8_t>{0xC0}, 0x1234, 0x0402);
    sim::pnp::Stack::DeviceId id = 0;
    EXPECT_EQ(stack_.Plug(std::move(broken), &id), HIDP_STATUS_INVALID_PREPARSED_DATA);
    EXPECT_EQ(stack_.State(id), sim::pnp::DeviceState::StartFailed);
}

TEST_F(HidCollectionTest, TheStickPlaysItsFeedsInOrderAtTheirTimes) {
    Plug();
    sim::io::File app;
    ASSERT_EQ(Open(&app), STATUS_SUCCESS);
    sim::stick::Stick stick(hid_);
    std::vector<std::vector<uint8_t>> seen;
    stick.Play(sim::stick::DemoFeed(Layout::A, std::chrono::milliseconds(1)),
               [&](const sim::stick::TimedReport& r, NTSTATUS status) {
                   EXPECT_EQ(status, STATUS_SUCCESS);
                   EXPECT_EQ(sim::kernel::CurrentIrql(), PASSIVE_LEVEL);
                   seen.push_back(r.bytes);
               });
    stick.Wait();
    std::vector<sim::stick::ScriptedReport> demo = sim::stick::DemoScript();
    ASSERT_EQ(seen.size(), demo.size());
    uint8_t buffer[64 * 20];
    ULONG_PTR got = 0;
    ASSERT_EQ(app.Read(buffer, sizeof(buffer), &got), STATUS_SUCCESS);
    ASSERT_EQ(got, demo.size() * 20);
    for (size_t i = 0; i < demo.size(); ++i) {
        EXPECT_EQ(memcmp(buffer + i * 20, sim::stick::Encode(Layout::A, demo[i].state).data(), 19),
                  0)
            << i;
    }

    // A generator: 50 reports at 1 kHz take about 50 ms; Stop ends an endless one.
    auto start = std::chrono::steady_clock::now();
    stick.Play(sim::stick::GeneratorFeed(Layout::A, 1000, 50, sim::stick::Sweep));
    stick.Wait();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(49));
    EXPECT_EQ(stick.Sent(), demo.size() + 50);
    stick.Play(sim::stick::GeneratorFeed(Layout::A, 1000, 0, sim::stick::Sweep));
    EXPECT_TRUE(Eventually([&] { return stick.Sent() > demo.size() + 60; }));
    stick.Stop();
    EXPECT_FALSE(stick.Playing());
}

} // namespace
} // namespace quillex_test
