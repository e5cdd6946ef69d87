// Where a URB's data lives: every function that moves data has the transfer
// buffer and its MDL at the same place after the header.
#include "sim/usb/urb_buffers.h"

#include <stddef.h>

#include "sim/kernel/mdl_mapping.h"
#include "usbioctl.h"

namespace sim::usb {
namespace {

bool MovesData(USHORT function) {
    switch (function) {
    case URB_FUNCTION_CONTROL_TRANSFER:
    case URB_FUNCTION_CONTROL_TRANSFER_EX:
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    case URB_FUNCTION_ISOCH_TRANSFER:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_GET_CONFIGURATION:
    case URB_FUNCTION_GET_INTERFACE:
        return true;
    default:
        return false;
    }
}

constexpr size_t kMdlField = offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL);
static_assert(offsetof(_URB_CONTROL_TRANSFER, TransferBufferMDL) == kMdlField, "same place");
static_assert(offsetof(_URB_CONTROL_TRANSFER_EX, TransferBufferMDL) == kMdlField, "same place");
static_assert(offsetof(_URB_ISOCH_TRANSFER, TransferBufferMDL) == kMdlField, "same place");
static_assert(offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferMDL) == kMdlField,
              "same place");
static_assert(offsetof(_URB_CONTROL_GET_STATUS_REQUEST, TransferBufferMDL) == kMdlField,
              "same place");
static_assert(offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferMDL) == kMdlField,
              "same place");

PMDL TransferMdlOfIrp(PIRP irp) {
    return TransferMdlOf(UrbOf(irp));
}

// The kernel keeps a URB's transfer mapping in step with its pages as it
// does for the IRP's own MDLs.
const struct FinderRegistration {
    FinderRegistration() { mdl::RegisterIrpMdlFinder(TransferMdlOfIrp); }
} g_finderRegistration;

} // namespace

// Named by the link options of quillex_sim (CMakeLists.txt), so that every
// program takes this file and its registration in, though nothing calls it.
extern "C" const int quillex_sim_urb_buffers = 1;

PMDL TransferMdlOf(const URB* urb) {
    if (urb == nullptr || !MovesData(urb->UrbHeader.Function) ||
        urb->UrbHeader.Length < kMdlField + sizeof(PMDL)) {
        return nullptr;
    }
    return urb->UrbBulkOrInterruptTransfer.TransferBufferMDL;
}

PURB UrbOf(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
        stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        return nullptr;
    }
    return static_cast<PURB>(stack->Parameters.Others.Argument1);
}

} // namespace sim::usb
