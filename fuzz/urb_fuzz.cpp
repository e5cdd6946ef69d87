// URBs of any function, header length, transfer length and buffer, with and
// without MDLs, sent to the emulated controller through real IRPs as the
// class driver sends them, interleaved with cancellations, input reports and
// the child's removal.
//
// Input: operations until it ends, each an operation byte then its operands:
//   URB (op & 7 in 0..3): slot, function selector (below 0x80: one of the
//     functions the class driver uses; else a raw 16-bit function follows),
//     header length selector (0: the function's own size; else a raw 16-bit
//     length follows), buffer mode (0 buffer, 1 MDL, 2 both, 3 neither),
//     16-bit transfer length, pipe selector (below the number of pipes the
//     last select-configuration returned: that pipe), then the URB's bytes
//     after its header and the buffer's bytes. Bit 3 of the op sends at
//     DISPATCH_LEVEL.
//   4 cancel a slot's IRP; 5 a 20-byte input report; 6 mark the child removed.
#include <string.h>

#include <memory>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tests/support/xusb_child.h"

namespace {

using quillex_fuzz::ByteReader;
using quillex_test::ClassIrp;
using quillex_test::XusbChild;

constexpr size_t kSlots = 4;
constexpr size_t kMaxTransfer = 4096;

const USHORT kFunctions[] = {
    URB_FUNCTION_SELECT_CONFIGURATION,
    URB_FUNCTION_SELECT_INTERFACE,
    URB_FUNCTION_CONTROL_TRANSFER,
    URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
    URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
    URB_FUNCTION_GET_STATUS_FROM_DEVICE,
    URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
    URB_FUNCTION_ABORT_PIPE,
    URB_FUNCTION_CONTROL_TRANSFER_EX,
    URB_FUNCTION_VENDOR_DEVICE,
};

// The size the class driver gives each URB it builds.
size_t NaturalLength(USHORT function) {
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2);
    case URB_FUNCTION_CONTROL_TRANSFER:
        return sizeof(_URB_CONTROL_TRANSFER);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    default:
        return sizeof(URB);
    }
}

bool IsTransfer(USHORT function) {
    return function == URB_FUNCTION_CONTROL_TRANSFER ||
           function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
           function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
}

// One IRP of the class driver with the memory its URB points into, kept
// until the IRP is back.
struct Slot {
    ClassIrp irp;
    std::vector<uint64_t> urbStorage; // 8-byte aligned, as pool is
    size_t urbBytes = 0;
    std::unique_ptr<uint8_t[]> buffer;
    ULONG bufferLength = 0;
    PMDL mdl = nullptr;
    USHORT function = 0;
    bool sent = false;

    ~Slot() { FreeMdl(); }
    void FreeMdl() {
        if (mdl != nullptr) {
            IoFreeMdl(mdl);
            mdl = nullptr;
        }
    }
    PURB Urb() { return reinterpret_cast<PURB>(urbStorage.data()); }
    bool Covers(size_t offset, size_t size) const { return offset + size <= urbBytes; }
    bool Busy() const { return sent && irp.Completions() == 0; }
};

#define URB_FIELD(type, field) offsetof(type, field), sizeof(((type*)nullptr)->field)

// What a completed URB may say, whatever it asked.
void CheckCompleted(Slot& slot) {
    FUZZ_CHECK(slot.irp.Completions() == 1);
    if (IsTransfer(slot.function) &&
        slot.Covers(URB_FIELD(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength)) &&
        NT_SUCCESS(slot.irp.Status())) {
        // Never more bytes reported than the buffer holds.
        FUZZ_CHECK(slot.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength <=
                   slot.bufferLength);
    }
}

class Harness {
  public:
    explicit Harness(ByteReader& input) : input_(input) {}

    void Run() {
        FUZZ_CHECK(NT_SUCCESS(child_.InitStatus()));
        while (input_.Remaining() != 0) {
            uint8_t op = input_.Byte();
            switch (op & 7) {
            case 4:
                Cancel(slots_[input_.Byte() % kSlots]);
                break;
            case 5: {
                std::vector<uint8_t> report = input_.Bytes(XUSB_INPUT_REPORT_LENGTH);
                report.resize(XUSB_INPUT_REPORT_LENGTH);
                NTSTATUS status = HandleXusbInputReport(child_.Data(), report.data());
                FUZZ_CHECK(status != STATUS_PENDING);
                break;
            }
            case 6:
                FUZZ_CHECK(NT_SUCCESS(QuillexRemovePdo(child_.Pdo())));
                break;
            default:
                SendUrb(slots_[input_.Byte() % kSlots], (op & 8) != 0);
                break;
            }
        }
        // The child goes away: every IRP it still held comes back, once.
        child_.DeleteChild();
        for (Slot& slot : slots_) {
            if (slot.sent) {
                CheckCompleted(slot);
            }
        }
    }

  private:
    void Cancel(Slot& slot) {
        if (slot.Busy()) {
            IoCancelIrp(slot.irp.Irp());
        }
    }

    void SendUrb(Slot& slot, bool atDispatch) {
        if (slot.Busy()) {
            return; // the class driver never resends an IRP it has not got back
        }
        if (slot.sent) {
            CheckCompleted(slot);
        }
        uint8_t selector = input_.Byte();
        USHORT function = selector < 0x80
                              ? kFunctions[selector % (sizeof(kFunctions) / sizeof(kFunctions[0]))]
                              : input_.Word();
        size_t headerLength = input_.Byte() == 0 ? NaturalLength(function) : input_.Word();
        uint8_t mode = input_.Byte() & 3;
        ULONG transferLength = input_.Word() % (kMaxTransfer + 1);
        uint8_t pipeSelector = input_.Byte();

        // The URB's memory is exactly what its header claims (never less than
        // the header itself), so a read past the claim is caught.
        slot.urbBytes = headerLength < sizeof(_URB_HEADER) ? sizeof(_URB_HEADER) : headerLength;
        slot.urbStorage.assign((slot.urbBytes + 7) / 8, 0);
        std::vector<uint8_t> body = input_.Bytes(slot.urbBytes - sizeof(_URB_HEADER));
        if (!body.empty()) {
            memcpy(reinterpret_cast<uint8_t*>(slot.urbStorage.data()) + sizeof(_URB_HEADER),
                   body.data(), body.size());
        }
        PURB urb = slot.Urb();
        urb->UrbHeader.Function = function;
        urb->UrbHeader.Length = static_cast<USHORT>(headerLength);
        urb->UrbHeader.Status = 0;
        slot.function = function;

        std::vector<uint8_t> contents = input_.Bytes(transferLength);
        slot.FreeMdl();
        slot.buffer.reset(new uint8_t[transferLength]);
        memset(slot.buffer.get(), 0, transferLength);
        if (!contents.empty()) {
            memcpy(slot.buffer.get(), contents.data(), contents.size());
        }
        slot.bufferLength = transferLength;
        if ((mode == 1 || mode == 2) && transferLength != 0) {
            slot.mdl = IoAllocateMdl(slot.buffer.get(), transferLength, FALSE, FALSE, nullptr);
            FUZZ_CHECK(slot.mdl != nullptr);
            MmBuildMdlForNonPagedPool(slot.mdl);
        }
        PVOID buffer = (mode == 0 || mode == 2 || slot.mdl == nullptr) && mode != 3
                           ? slot.buffer.get()
                           : nullptr;
        FixPointers(slot, buffer, pipeSelector);

        slot.sent = true;
        KIRQL old = PASSIVE_LEVEL;
        if (atDispatch) {
            KeRaiseIrql(DISPATCH_LEVEL, &old);
        }
        NTSTATUS status = slot.irp.Send(child_, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, false);
        if (atDispatch) {
            KeLowerIrql(old);
        }
        if (status != STATUS_PENDING) {
            FUZZ_CHECK(slot.irp.Completions() == 1);
            FUZZ_CHECK(slot.irp.Status() == status);
            RememberPipes(slot);
        } else {
            FUZZ_CHECK(slot.irp.Completions() <= 1);
        }
    }

    // Pointers in the URB are the class driver's own: valid or null, never
    // the input's bytes.
    void FixPointers(Slot& slot, PVOID buffer, uint8_t pipeSelector) {
        PURB urb = slot.Urb();
        if (slot.function == URB_FUNCTION_SELECT_CONFIGURATION) {
            if (slot.Covers(URB_FIELD(_URB_SELECT_CONFIGURATION, ConfigurationDescriptor))) {
                urb->UrbSelectConfiguration.ConfigurationDescriptor =
                    static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer);
            }
            return;
        }
        _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &urb->UrbBulkOrInterruptTransfer;
        if (slot.Covers(URB_FIELD(_URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle)) &&
            pipeSelector < pipeCount_) {
            transfer->PipeHandle = pipes_[pipeSelector];
        }
        if (slot.Covers(URB_FIELD(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength))) {
            transfer->TransferBufferLength = slot.bufferLength;
        }
        if (slot.Covers(URB_FIELD(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer))) {
            transfer->TransferBuffer = buffer;
        }
        if (slot.Covers(URB_FIELD(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL))) {
            transfer->TransferBufferMDL = slot.mdl;
        }
        // UrbLink and the host controller's area: pointers the driver never
        // follows, zeroed as USBD builds them.
        size_t from = offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, UrbLink);
        size_t to = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
        if (slot.function != URB_FUNCTION_CONTROL_TRANSFER_EX && slot.urbBytes > from) {
            memset(reinterpret_cast<uint8_t*>(urb) + from, 0,
                   (slot.urbBytes < to ? slot.urbBytes : to) - from);
        }
    }

    // The class driver keeps the pipe handles a select-configuration returned.
    void RememberPipes(Slot& slot) {
        if (slot.function != URB_FUNCTION_SELECT_CONFIGURATION || !NT_SUCCESS(slot.irp.Status())) {
            return;
        }
        const USBD_INTERFACE_INFORMATION& info = slot.Urb()->UrbSelectConfiguration.Interface;
        size_t pipesAt = offsetof(_URB_SELECT_CONFIGURATION, Interface) +
                         offsetof(USBD_INTERFACE_INFORMATION, Pipes);
        pipeCount_ = 0;
        for (ULONG i = 0; i < info.NumberOfPipes && pipeCount_ < kMaxPipes; ++i) {
            if (!slot.Covers(pipesAt + (i + 1) * sizeof(USBD_PIPE_INFORMATION), 0)) {
                break;
            }
            pipes_[pipeCount_++] = info.Pipes[i].PipeHandle;
        }
    }

    static constexpr size_t kMaxPipes = 4;
    ByteReader& input_;
    // Declared before the child, so they outlive it: its removal completes
    // the IRPs it still holds into them.
    Slot slots_[kSlots];
    XusbChild child_;
    USBD_PIPE_HANDLE pipes_[kMaxPipes] = {};
    size_t pipeCount_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quillex_fuzz::Driver();
    ByteReader input(data, size);
    Harness harness(input);
    harness.Run();
    return 0;
}
