// A read sent from kernel mode on an open file and left pending, so a test
// can complete it from the device's side, cancel it or watch it end.
#pragma once

#include <vector>

#include "ntddk.h"

namespace quillex_test {

class KernelRead {
  public:
    // 'fill' is what the buffer holds before the read, to see what it wrote.
    KernelRead(PDEVICE_OBJECT top, PFILE_OBJECT file, ULONG length, uint8_t fill = 0)
        : buffer_(length, fill) {
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
        irp_ = IoAllocateIrp(top->StackSize, FALSE);
        irp_->AssociatedIrp.SystemBuffer = buffer_.data();
        irp_->Tail.Overlay.OriginalFileObject = file;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = IRP_MJ_READ;
        next->FileObject = file;
        next->Parameters.Read.Length = length;
        IoSetCompletionRoutine(irp_, Done, this, TRUE, TRUE, TRUE);
        sent_ = IoCallDriver(top, irp_);
    }
    ~KernelRead() {
        Wait();
        IoFreeIrp(irp_);
    }
    NTSTATUS sent() const { return sent_; }
    PIRP Irp() const { return irp_; }
    bool Finished() { return KeReadStateEvent(&done_) != 0; }
    void Cancel() { IoCancelIrp(irp_); }
    IO_STATUS_BLOCK Wait() {
        KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
        return irp_->IoStatus;
    }
    const std::vector<uint8_t>& Buffer() const { return buffer_; }
    KIRQL CompletedAt() const { return completedAt_; }

  private:
    static NTSTATUS Done(PDEVICE_OBJECT, PIRP, PVOID context) {
        auto* self = static_cast<KernelRead*>(context);
        self->completedAt_ = KeGetCurrentIrql();
        KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    std::vector<uint8_t> buffer_;
    KEVENT done_;
    PIRP irp_;
    NTSTATUS sent_;
    KIRQL completedAt_ = PASSIVE_LEVEL;
};

} // namespace quillex_test
