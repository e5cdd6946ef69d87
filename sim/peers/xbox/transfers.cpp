// The class driver's interrupt transfers: endpoint 1 IN kept outstanding,
// each transfer sent again from its completion routine, and the messages it
// sends on endpoint 2 OUT (LED commands).
#include "sim/peers/wdm/send.h"
#include "sim/peers/xbox/class_driver.h"

namespace sim::xbox {

void Controller::StartTransfers(unsigned count, ULONG bufferLength, bool resubmit) {
    Run([&] {
        {
            // A device on its way out gets no new transfers.
            std::lock_guard<std::mutex> guard(lock_);
            if (stopping_) {
                return;
            }
            resubmit_ = resubmit;
        }
        for (unsigned i = 0; i < count; ++i) {
            if (Transfer* idle = IdleTransfer(bufferLength)) {
                Send(idle, false);
                std::lock_guard<std::mutex> guard(lock_);
                --idle->sending;
                continue;
            }
            Transfer* raw = nullptr;
            {
                auto transfer = std::make_unique<Transfer>();
                transfer->owner = this;
                transfer->irp = IoAllocateIrp(lower_->StackSize, FALSE);
                if (transfer->irp == nullptr) {
                    return;
                }
                transfer->buffer.assign(bufferLength, 0);
                raw = transfer.get();
                std::lock_guard<std::mutex> guard(lock_);
                transfers_.push_back(std::move(transfer));
            }
            Send(raw, false);
        }
    });
}

Controller::Transfer* Controller::IdleTransfer(ULONG bufferLength) {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& transfer : transfers_) {
        if (transfer->sending == 0 && outstanding_.count(transfer.get()) == 0 &&
            !transfer->cancelOnTheWay && transfer->buffer.size() == bufferLength) {
            // Counted as sending already, so no other caller takes it too.
            ++transfer->sending;
            transfer->noResend = false;
            return transfer.get();
        }
    }
    return nullptr;
}

bool Controller::CancelOneTransfer(size_t index) {
    bool cancelled = false;
    Run([&] {
        Transfer* chosen = nullptr;
        {
            std::lock_guard<std::mutex> guard(lock_);
            std::vector<Transfer*> out;
            for (const auto& transfer : transfers_) {
                if (outstanding_.count(transfer.get()) != 0) {
                    out.push_back(transfer.get());
                }
            }
            if (out.empty()) {
                return;
            }
            chosen = out[index % out.size()];
            chosen->noResend = true;
        }
        std::lock_guard<std::mutex> irpGuard(chosen->irpLock);
        IoCancelIrp(chosen->irp);
        cancelled = true;
    });
    return cancelled;
}

void Controller::SendCancelledTransfer() {
    Run([&] {
        auto transfer = std::make_unique<Transfer>();
        transfer->owner = this;
        transfer->irp = IoAllocateIrp(lower_->StackSize, FALSE);
        if (transfer->irp == nullptr) {
            return;
        }
        transfer->buffer.assign(32, 0);
        transfer->cancelOnTheWay = true;
        Transfer* raw = transfer.get();
        {
            std::lock_guard<std::mutex> guard(lock_);
            transfers_.push_back(std::move(transfer));
        }
        Send(raw, false);
    });
}

// Runs on the class driver's thread, or in a completion routine at the IRQL
// the device completed the previous transfer at. 'again' for a transfer that
// came back and goes once more: it goes only while resubmission is still on,
// checked after the IRP is reset, so a cancel that came meanwhile is not lost.
void Controller::Send(Transfer* transfer, bool again) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++transfer->sending;
    }
    PIRP irp = transfer->irp;
    do {
        {
            std::lock_guard<std::mutex> irpGuard(transfer->irpLock);
            IoReuseIrp(irp, STATUS_SUCCESS);
            std::fill(transfer->buffer.begin(), transfer->buffer.end(), 0);
            ULONG handle;
            {
                std::lock_guard<std::mutex> guard(lock_);
                if (again && (!resubmit_ || stopping_ || transfer->noResend)) {
                    outstanding_.erase(transfer);
                    --transfer->sending;
                    changed_.notify_all();
                    return;
                }
                handle = ep1Handle_;
                outstanding_.insert(transfer);
            }
            RtlZeroMemory(&transfer->urb, sizeof(transfer->urb));
            UsbBuildInterruptOrBulkTransferRequest(
                &transfer->urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(handle)),
                transfer->buffer.data(), nullptr, static_cast<ULONG>(transfer->buffer.size()),
                USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
            peers::FormatUrbSubmission(irp, &transfer->urb);
            IoSetCompletionRoutine(irp, TransferDone, transfer, TRUE, TRUE, TRUE);
            if (transfer->cancelOnTheWay) {
                // Cancelled before the device has set a cancel routine: only
                // the IRP's Cancel flag tells.
                IoCancelIrp(irp);
            }
            transfer->sendAgain = false;
        }
        Observe(irp, &transfer->urb, false);
        IoCallDriver(lower_, irp);
        again = true;
    } while (transfer->sendAgain.exchange(false));
    std::lock_guard<std::mutex> guard(lock_);
    --transfer->sending;
}

NTSTATUS Controller::TransferDone(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    auto* transfer = static_cast<Transfer*>(context);
    Controller* self = transfer->owner;
    if (self->options_.onTransferBack) {
        self->options_.onTransferBack();
    }
    self->Observe(irp, &transfer->urb, true);
    Completion completion;
    completion.status = irp->IoStatus.Status;
    completion.information = irp->IoStatus.Information;
    completion.irql = KeGetCurrentIrql();
    // Only the bytes the URB says came back count: a report is at least 20 of
    // them, and a shorter answer is no report, whatever the buffer held.
    completion.length =
        std::min<ULONG>(transfer->urb.UrbBulkOrInterruptTransfer.TransferBufferLength,
                        static_cast<ULONG>(transfer->buffer.size()));
    completion.usbdStatus = transfer->urb.UrbHeader.Status;
    size_t count = std::min<size_t>(completion.length, completion.bytes.size());
    std::copy(transfer->buffer.begin(), transfer->buffer.begin() + count, completion.bytes.begin());
    completion.isReport = NT_SUCCESS(completion.status) &&
                          DecodeReport(transfer->buffer.data(), completion.length, &completion.pad);
    // Only a report is asked for again: a transfer that fails or comes back
    // empty stays back.
    bool again;
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        if (completion.isReport) {
            self->latest_ = completion.pad;
        }
        if (self->options_.keepHistory) {
            self->completions_.push_back(completion);
            if (completion.isReport) {
                self->reports_.push_back(completion.pad);
            }
        }
        again = completion.isReport && self->resubmit_ && !self->stopping_ &&
                !transfer->cancelOnTheWay && !transfer->noResend;
        if (!again) {
            self->outstanding_.erase(transfer);
        }
        // Last, so a caller that sees the count also finds the completion.
        self->completionCount_.fetch_add(1, std::memory_order_release);
    }
    self->changed_.notify_all();
    if (again) {
        if (irp->PendingReturned) {
            self->Send(transfer, true);
        } else {
            transfer->sendAgain = true; // answered at once: the sending loop sends it again
        }
    }
    // The IRP is the class driver's again: sent anew, or kept until it goes.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void Controller::SetResubmit(bool on) {
    std::lock_guard<std::mutex> guard(lock_);
    resubmit_ = on;
}

void Controller::CancelTransfers() {
    Run([&] {
        std::vector<Transfer*> out;
        {
            std::lock_guard<std::mutex> guard(lock_);
            // Nothing that comes back from now on is sent again.
            resubmit_ = false;
            for (Transfer* transfer : outstanding_) {
                out.push_back(transfer);
            }
        }
        for (Transfer* transfer : out) {
            std::lock_guard<std::mutex> irpGuard(transfer->irpLock);
            IoCancelIrp(transfer->irp);
        }
    });
}

NTSTATUS Controller::AbortPipe() {
    ULONG handle;
    {
        std::lock_guard<std::mutex> guard(lock_);
        resubmit_ = false; // nothing that comes back is sent again
        handle = ep1Handle_;
    }
    if (handle == 0) {
        return STATUS_NO_SUCH_DEVICE;
    }
    URB urb{};
    urb.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb.UrbPipeRequest.PipeHandle =
        reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(handle));
    return SubmitUrb(&urb);
}

size_t Controller::Outstanding() const {
    std::lock_guard<std::mutex> guard(lock_);
    return outstanding_.size();
}

std::vector<PIRP> Controller::OutstandingIrps() const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<PIRP> irps;
    for (const auto& transfer : transfers_) {
        if (outstanding_.count(transfer.get()) != 0) {
            irps.push_back(transfer->irp);
        }
    }
    return irps;
}

bool Controller::WaitOutstanding(size_t count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, limit, [&] { return outstanding_.size() == count; });
}

std::vector<Controller::Completion> Controller::Completions() const {
    return Locked(completions_);
}

size_t Controller::CompletionCount() const {
    return completionCount_.load(std::memory_order_acquire);
}

bool Controller::WaitCompletions(size_t count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, limit, [&] { return completionCount_ >= count; });
}

Gamepad Controller::GamepadState() const {
    return Locked(latest_);
}

std::vector<Gamepad> Controller::Reports() const {
    return Locked(reports_);
}

NTSTATUS Controller::SendLed(UCHAR command, KIRQL irql) {
    return SendOutput({0x01, 0x03, command}, irql);
}

NTSTATUS Controller::SendOutput(const std::vector<uint8_t>& message, KIRQL irql) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    Run([&] {
        std::vector<uint8_t> buffer = message;
        ULONG handle;
        {
            std::lock_guard<std::mutex> guard(lock_);
            handle = ep2Handle_;
        }
        URB urb{};
        UsbBuildInterruptOrBulkTransferRequest(
            &urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
            reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(handle)), buffer.data(),
            nullptr, static_cast<ULONG>(buffer.size()), USBD_TRANSFER_DIRECTION_OUT, nullptr);
        status = CallUrb(&urb, irql);
    });
    return status;
}

} // namespace sim::xbox
