// Staged response tables, buffer and string-list dumps, and the child's
// context from creation to removal.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/core/trace_sink.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/xusb_child.h"
#include "xusb/staged_response.h"
#include "xusb/urb_dispatch.h"

namespace {

using namespace quillex_test;

const UCHAR kRowA[4] = {1, 2, 3, 4};
const UCHAR kRowB[2] = {5, 6};
const STAGED_RESPONSE kTable[3] = {
    {kRowA, sizeof(kRowA), 0},
    {kRowB, sizeof(kRowB), 0},
    {nullptr, 0, static_cast<ULONG>(USBD_STATUS_DATA_UNDERRUN)},
};

TEST(StagedResponse, RowsInTurnThenSuccessWithoutDataOnceTheTableIsDone) {
    UCHAR counter = 0;
    USBD_STATUS urbStatus = USBD_STATUS_SUCCESS;
    std::vector<UCHAR> out(8, 0xEE);
    EXPECT_EQ(CopyStagedResponse(&counter, kTable, 3, "T", out.data(), 8, &urbStatus),
              STATUS_SUCCESS);
    EXPECT_EQ(std::vector<UCHAR>(out.begin(), out.begin() + 5),
              (std::vector<UCHAR>{1, 2, 3, 4, 0xEE}));
    EXPECT_EQ(CopyStagedResponse(&counter, kTable, 3, "T", out.data(), 8, &urbStatus),
              STATUS_SUCCESS);
    EXPECT_EQ(out[0], 5);
    EXPECT_EQ(urbStatus, USBD_STATUS_SUCCESS);
    // A row of no data that carries a USBD status stores only the status.
    out.assign(8, 0xEE);
    EXPECT_EQ(CopyStagedResponse(&counter, kTable, 3, "T", out.data(), 8, &urbStatus),
              STATUS_SUCCESS);
    EXPECT_EQ(urbStatus, USBD_STATUS_DATA_UNDERRUN);
    EXPECT_EQ(out[0], 0xEE);
    for (int extra = 0; extra < 2; ++extra) {
        sim::trace::Capture trace;
        urbStatus = USBD_STATUS_SUCCESS;
        EXPECT_EQ(CopyStagedResponse(&counter, kTable, 3, "T", out.data(), 8, &urbStatus),
                  STATUS_SUCCESS);
        EXPECT_EQ(counter, 3);
        EXPECT_EQ(out[0], 0xEE);
        EXPECT_EQ(urbStatus, USBD_STATUS_SUCCESS);
        EXPECT_EQ(trace.Text(), "Unexpected State 3 for T\n");
    }
}

TEST(StagedResponse, AShortDestinationGetsNothingAndTheNextRequestTheNextRow) {
    UCHAR counter = 0;
    USBD_STATUS urbStatus = USBD_STATUS_SUCCESS;
    std::vector<UCHAR> out(8, 0xEE);
    sim::trace::Capture trace;
    EXPECT_EQ(CopyStagedResponse(&counter, kTable, 3, "T", out.data(), 3, &urbStatus),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(counter, 1);
    EXPECT_EQ(trace.Text(), "ERROR Unexpected Transfer Buffer Size in T: 3, State 0, Expected "
                            "Size 4\n");
    EXPECT_EQ(CopyStagedResponse(&counter, kTable, 3, "T", out.data(), 3, &urbStatus),
              STATUS_SUCCESS);
    EXPECT_EQ(out[0], 5);
    // No destination at all is as short as can be.
    EXPECT_EQ(CopyStagedResponse(&counter, kTable, 2, "T", nullptr, 0, &urbStatus),
              STATUS_SUCCESS); // the table of two rows is done
    counter = 0;
    EXPECT_EQ(CopyStagedResponse(&counter, kTable, 3, "T", nullptr, 64, &urbStatus),
              STATUS_INVALID_PARAMETER);
}

TEST(TraceBuffer, DumpsBytesAsHexAndPrintableCharacters) {
    const UCHAR bytes[3] = {0x41, 0x00, 0x7F};
    sim::trace::Capture trace;
    EXPECT_EQ(TraceBuffer(bytes, 3), STATUS_SUCCESS);
    EXPECT_EQ(trace.Text(), "Buffer Raw: \n41,00,7f,\nBuffer Ascii: \nA..\n");
    ASSERT_EQ(trace.Records().size(), 1u); // formatted, then printed once
    EXPECT_EQ(trace.Records()[0].Level, static_cast<ULONG>(TRACE_LEVEL_VERBOSE));
    EXPECT_EQ(trace.Records()[0].Flags, static_cast<ULONG>(TRACE_URB));
    trace.Clear();
    // A long buffer goes out a piece at a time, every byte of it.
    UCHAR many[100];
    for (UCHAR i = 0; i < sizeof(many); ++i) {
        many[i] = static_cast<UCHAR>('a' + i % 26);
    }
    TraceBuffer(many, sizeof(many));
    EXPECT_EQ(trace.Records().size(), 2u);
    std::string text = trace.Text();
    EXPECT_EQ(std::count(text.begin(), text.end(), ','), 100);
    EXPECT_TRUE(trace.Contains("61,62,63,"));
    EXPECT_TRUE(trace.Contains("Buffer Ascii: \nabcdefghijklmnopqrstuvwxyzabcdefghijkl"));
    trace.Clear();
    // A buffer that would wrap around the address space, or none: no bytes.
    TraceBuffer(reinterpret_cast<const VOID*>(~ULONG_PTR(0) - 1), 4);
    TraceBuffer(nullptr, 4);
    EXPECT_EQ(trace.Text(), "Buffer Raw: \n\nBuffer Ascii: \n\nBuffer Raw: \n\nBuffer Ascii: \n\n");
}

TEST(TraceMultiSz, DumpsEachStringOfTheList) {
    sim::trace::Capture trace;
    TraceMultiSz("> ", "Title:", L"USB\\VID_045E&PID_028E\0USB\\Class_FF\0");
    EXPECT_EQ(trace.Text(), "> Title:\n>     'USB\\VID_045E&PID_028E'\n>     'USB\\Class_FF'\n");
    trace.Clear();
    TraceMultiSz(nullptr, "Title:", L"\0");
    EXPECT_EQ(trace.Text(), "Title:\n    <empty list>\n");
    trace.Clear();
    TraceMultiSz(nullptr, nullptr, nullptr);
    EXPECT_EQ(trace.Text(), "ERROR - NULL MultiSZ!\n");
}

class XusbPdoDataTest : public DriverTest {};

TEST_F(XusbPdoDataTest, ANewChildStartsEmptyWithTheParentsIdentity) {
    XusbChild child(7, 0x0402);
    ASSERT_EQ(child.InitStatus(), STATUS_SUCCESS);
    PXUSB_PDO_DEVICE_DATA data = child.Data();
    EXPECT_EQ(data->InstanceNumber, 7u);
    EXPECT_EQ(data->ParentDevice, child.Parent()->Device);
    EXPECT_EQ(data->ProductId, 0x0402u);
    EXPECT_FALSE(QuillexReadFlag(&data->bRemoved));
    EXPECT_TRUE(IsListEmpty(&data->PendingEp1Irps));
    EXPECT_EQ(data->ConfigDescriptorState + data->StringDescriptorState + data->Ep1InState +
                  data->VendorRequestState,
              0);
    EXPECT_NE(data->LedWorkItem, nullptr);
    EXPECT_EQ(WdfWorkItemGetParentObject(data->LedWorkItem), child.Pdo());
    EXPECT_EQ(Bus_XusbInitializePdoData(child.Pdo(), nullptr, 7), STATUS_INVALID_PARAMETER);

    // A handle without the child's context: removal changes nothing.
    WDFDEVICE other = CreateStandInDevice(WDF_NO_OBJECT_ATTRIBUTES);
    sim::trace::Capture trace;
    EXPECT_EQ(QuillexRemovePdo(other), STATUS_SUCCESS);
    EXPECT_EQ(trace.Text(), "Quillex!QuillexRemovePdo: ++\nQuillex!QuillexRemovePdo: --\n");
}

TEST_F(XusbPdoDataTest, WithoutItsLedWorkItemAChildDropsLedCommandsVisibly) {
    sim::fault::FailNthCall("WdfWorkItemCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    XusbChild child(2, 0x0401);
    EXPECT_EQ(child.InitStatus(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(child.Data()->LedWorkItem, nullptr);
    sim::trace::Capture trace;
    EXPECT_EQ(HandleXboxLEDDecode(child.Data(), 0x02), STATUS_SUCCESS);
    EXPECT_TRUE(trace.Contains("ERROR no LED work item, LED state 2 dropped"));
}

} // namespace
