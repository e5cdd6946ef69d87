// MDL mappings as the special pool gives them: a view of exactly the bytes
// the MDL describes, with a guard after them, that agrees with the buffer
// whenever someone else could look (an IRP sent or completed, the mapping
// released), and a write past its end that stops naming the MDL.
#include <gtest/gtest.h>

#include <vector>

#include "ntddk.h"
#include "usb.h"
#include "usbdlib.h"
#include "usbioctl.h"
#include "sim/kernel/mdl_mapping.h"
#include "tests/support/guard_report.h"

namespace {

PVOID MapLocked(PMDL mdl) {
    return MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                        NormalPagePriority);
}

TEST(SimMdlMapping, AViewHoldsTheDescribedBytesAndWritesThemBackWhenItGoesAway) {
    std::vector<UCHAR> buffer(64);
    for (size_t i = 0; i < buffer.size(); ++i) {
        buffer[i] = static_cast<UCHAR>(i);
    }
    size_t before = sim::mdl::LiveMappings();

    // Locked pages: mapped on request, torn down by the unlock.
    PMDL locked = IoAllocateMdl(buffer.data() + 8, 16, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(locked, KernelMode, IoWriteAccess);
    auto* view = static_cast<UCHAR*>(MapLocked(locked));
    ASSERT_NE(view, nullptr);
    EXPECT_NE(view, buffer.data() + 8); // a mapping of its own, not the caller's address
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(locked, NormalPagePriority), view);
    EXPECT_EQ(sim::mdl::LiveMappings(), before + 1);
    EXPECT_EQ(view[0], 8);
    EXPECT_EQ(view[15], 23);
    view[0] = 0xA0;
    view[15] = 0xAF;
    MmUnlockPages(locked);
    EXPECT_EQ(buffer[8], 0xA0);
    EXPECT_EQ(buffer[23], 0xAF);
    EXPECT_EQ(buffer[7], 7);   // the bytes around it are not the MDL's
    EXPECT_EQ(buffer[24], 24); // and are not touched
    EXPECT_FALSE(locked->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED));
    EXPECT_EQ(sim::mdl::LiveMappings(), before);
    IoFreeMdl(locked);

    // Unmapped explicitly, and mapped again afterwards: a fresh view.
    PMDL again = IoAllocateMdl(buffer.data(), 4, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(again, KernelMode, IoWriteAccess);
    view = static_cast<UCHAR*>(MapLocked(again));
    view[1] = 0xB1;
    MmUnmapLockedPages(view, again);
    EXPECT_EQ(buffer[1], 0xB1);
    view = static_cast<UCHAR*>(MapLocked(again));
    EXPECT_EQ(view[1], 0xB1);
    MmUnlockPages(again);
    IoFreeMdl(again);

    // Nonpaged pool: mapped from the build to the free.
    PMDL nonpaged = IoAllocateMdl(buffer.data() + 32, 8, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(nonpaged);
    view = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(nonpaged, NormalPagePriority));
    EXPECT_EQ(view, nonpaged->MappedSystemVa);
    EXPECT_NE(view, buffer.data() + 32);
    EXPECT_EQ(MapLocked(nonpaged), view); // asking again gives the same mapping
    view[7] = 0xC7;
    IoFreeMdl(nonpaged);
    EXPECT_EQ(buffer[39], 0xC7);
    EXPECT_EQ(sim::mdl::LiveMappings(), before);
}

// A driver below: fills the first 'g_fill' bytes of the read's mapping and
// completes the read, or leaves it pending for the test to complete.
ULONG g_fill = 0;
bool g_pend = false;
PIRP g_pending = nullptr;
std::vector<UCHAR> g_seenInView;

NTSTATUS FillRead(PDEVICE_OBJECT, PIRP Irp) {
    auto* view =
        static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority));
    g_seenInView.assign(view, view + MmGetMdlByteCount(Irp->MdlAddress));
    for (ULONG i = 0; i < g_fill; ++i) {
        view[i] = static_cast<UCHAR>(0x50 + i);
    }
    if (g_pend) {
        IoMarkIrpPending(Irp);
        g_pending = Irp;
        return STATUS_PENDING;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = g_fill;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

std::vector<UCHAR> g_seenAtCompletion;
UCHAR* g_buffer = nullptr;

NTSTATUS LookAtBuffer(PDEVICE_OBJECT, PIRP, PVOID Context) {
    g_seenAtCompletion.assign(g_buffer, g_buffer + reinterpret_cast<ULONG_PTR>(Context));
    return STATUS_MORE_PROCESSING_REQUIRED;
}

struct ReadDevice {
    DRIVER_OBJECT driver{};
    DEVICE_OBJECT device{};
    ReadDevice() {
        device.DriverObject = &driver;
        device.StackSize = 1;
        device.Flags = DO_DIRECT_IO;
        driver.MajorFunction[IRP_MJ_READ] = FillRead;
    }
    // Sends a read through a nonpaged-pool MDL over 'buffer'; the completion
    // routine looks at the buffer, not at the mapping.
    void Send(PIRP irp, PMDL mdl, ULONG length) {
        IoReuseIrp(irp, STATUS_SUCCESS);
        irp->MdlAddress = mdl;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_READ;
        next->Parameters.Read.Length = length;
        IoSetCompletionRoutine(irp, LookAtBuffer, reinterpret_cast<PVOID>(ULONG_PTR{length}), TRUE,
                               TRUE, TRUE);
        IoCallDriver(&device, irp);
    }
};

TEST(SimMdlMapping, TheBufferAndTheViewAgreeWhenAnIrpIsSentAndWhenItIsCompleted) {
    ReadDevice d;
    std::vector<UCHAR> buffer(8, 0x11);
    g_buffer = buffer.data();
    PMDL mdl = IoAllocateMdl(buffer.data(), 8, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    PIRP irp = IoAllocateIrp(2, FALSE);

    // Completed at once: the sender's completion routine already sees the data.
    g_fill = 3;
    g_pend = false;
    d.Send(irp, mdl, 8);
    EXPECT_EQ(g_seenAtCompletion,
              (std::vector<UCHAR>{0x50, 0x51, 0x52, 0x11, 0x11, 0x11, 0x11, 0x11}));

    // The sender writes its buffer between two reads over the same MDL: the
    // driver below sees that through its mapping when the read arrives.
    buffer[6] = 0x66;
    g_fill = 1;
    g_pend = true;
    d.Send(irp, mdl, 8);
    EXPECT_EQ(g_seenInView[6], 0x66);
    EXPECT_EQ(g_seenInView[1], 0x51); // what the first read wrote stays
    EXPECT_EQ(buffer[0], 0x50);       // written by the second read, not yet completed
    ASSERT_EQ(g_pending, irp);
    g_pending->IoStatus.Status = STATUS_SUCCESS;
    g_pending->IoStatus.Information = 1;
    IoCompleteRequest(g_pending, IO_NO_INCREMENT);
    EXPECT_EQ(g_seenAtCompletion[0], 0x50);
    EXPECT_EQ(g_seenAtCompletion[6], 0x66);

    irp->MdlAddress = nullptr;
    IoFreeIrp(irp);
    IoFreeMdl(mdl);
    EXPECT_EQ(buffer, (std::vector<UCHAR>{0x50, 0x51, 0x52, 0x11, 0x11, 0x11, 0x66, 0x11}));
}

// A device below that answers a URB through its transfer MDL, which the IRP
// carries inside its parameters, not in MdlAddress: the kernel finds it
// through the finder sim/usb registers.
NTSTATUS FillUrb(PDEVICE_OBJECT, PIRP Irp) {
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1);
    PMDL mdl = urb->UrbBulkOrInterruptTransfer.TransferBufferMDL;
    auto* view = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    view[0] = 0x77;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 1;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST(SimMdlMapping, AUrbsTransferMdlAgreesWithItsBufferWhenTheIrpIsCompleted) {
    DRIVER_OBJECT driver{};
    DEVICE_OBJECT device{};
    device.DriverObject = &driver;
    device.StackSize = 1;
    driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = FillUrb;
    std::vector<UCHAR> buffer(4, 0x11);
    g_buffer = buffer.data();
    PMDL mdl = IoAllocateMdl(buffer.data(), 4, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    URB urb{};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), nullptr,
                                           nullptr, mdl, 4, USBD_TRANSFER_DIRECTION_IN, nullptr);
    PIRP irp = IoAllocateIrp(2, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb;
    IoSetCompletionRoutine(irp, LookAtBuffer, reinterpret_cast<PVOID>(ULONG_PTR{4}), TRUE, TRUE,
                           TRUE);
    IoCallDriver(&device, irp);
    EXPECT_EQ(g_seenAtCompletion, (std::vector<UCHAR>{0x77, 0x11, 0x11, 0x11}));
    IoFreeIrp(irp);
    IoFreeMdl(mdl);
}

class SimMdlMappingDeath : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(SimMdlMappingDeath, AWritePastTheDescribedBytesStopsNamingTheMdl) {
    // The buffer behind the MDL is larger: only the mapping's guard sees it.
    EXPECT_DEATH(
        {
            static UCHAR buffer[64];
            PMDL mdl = IoAllocateMdl(buffer, 16, FALSE, FALSE, nullptr);
            MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
            volatile UCHAR* view = static_cast<UCHAR*>(MapLocked(mdl));
            view[16] = 0; // one byte past
            MmUnlockPages(mdl);
        },
        GUARD_OVERRUN_REPORT("MDL mapping overrun(.|\n)*MmUnlockPages(.|\n)*MDL 0x[0-9a-f]+: its "
                             "system mapping at 0x[0-9a-f]+ of 16 bytes was written 1 byte\\(s\\) "
                             "past its end"));
    EXPECT_DEATH(
        {
            static UCHAR buffer[64];
            PMDL mdl = IoAllocateMdl(buffer, 20, FALSE, FALSE, nullptr);
            MmBuildMdlForNonPagedPool(mdl);
            volatile UCHAR* view = static_cast<UCHAR*>(mdl->MappedSystemVa);
            view[20 + 3] = 0;
            IoFreeMdl(mdl);
        },
        GUARD_OVERRUN_REPORT("MDL mapping overrun(.|\n)*IoFreeMdl(.|\n)*of 20 bytes was written 4 "
                             "byte\\(s\\) past"));
}

// Only AddressSanitizer sees a read: the guard bytes are poisoned for it.
TEST_F(SimMdlMappingDeath, AReadPastTheDescribedBytesIsReportedUnderAddressSanitizer) {
#ifndef QUILLEX_UNDER_ASAN
    GTEST_SKIP() << "a stray read is seen only by the AddressSanitizer build";
#endif
    EXPECT_DEATH(
        {
            static UCHAR buffer[64];
            PMDL mdl = IoAllocateMdl(buffer, 16, FALSE, FALSE, nullptr);
            MmBuildMdlForNonPagedPool(mdl);
            volatile UCHAR* view = static_cast<UCHAR*>(mdl->MappedSystemVa);
            buffer[20] = view[16];
        },
        "AddressSanitizer: use-after-poison");
}

TEST_F(SimMdlMappingDeath, AnOverrunIsCaughtWhenTheIrpCarryingTheMdlCompletes) {
    EXPECT_DEATH(
        {
            ReadDevice d;
            static UCHAR buffer[8];
            g_buffer = buffer;
            PMDL mdl = IoAllocateMdl(buffer, 4, FALSE, FALSE, nullptr);
            MmBuildMdlForNonPagedPool(mdl);
            PIRP irp = IoAllocateIrp(2, FALSE);
            g_fill = 5; // the driver below believes the read's length, not the MDL
            g_pend = false;
            d.Send(irp, mdl, 8);
        },
        GUARD_OVERRUN_REPORT(
            "MDL mapping overrun(.|\n)*IoCompleteRequest(.|\n)*of 4 bytes was written 1 byte"));
}

} // namespace
