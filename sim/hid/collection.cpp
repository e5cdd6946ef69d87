// The collection device: collection IOCTLs, opens with their input rings and
// waiting reads, and the reports the device sends.
#include "sim/hid/collection.h"

#include <string.h>

#include <algorithm>
#include <array>

#include <hidclass.h>

#include "sim/kernel/thread_state.h"

namespace sim::hid {
namespace {

NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Where a read's data goes: its MDL, else the buffer its transfer method gave.
PVOID ReadBuffer(PDEVICE_OBJECT pdo, PIRP irp) {
    if (irp->MdlAddress != nullptr) {
        return MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    }
    return (pdo->Flags & DO_BUFFERED_IO) != 0 ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
}

PVOID NeitherOutput(PIRP irp) {
    if (irp->MdlAddress != nullptr) {
        return MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    }
    return irp->UserBuffer;
}

bool KnownControl(ULONG code) {
    switch (code) {
    case IOCTL_HID_GET_COLLECTION_INFORMATION:
    case IOCTL_HID_GET_COLLECTION_DESCRIPTOR:
    case IOCTL_GET_NUM_DEVICE_INPUT_BUFFERS:
    case IOCTL_SET_NUM_DEVICE_INPUT_BUFFERS:
    case IOCTL_HID_FLUSH_QUEUE:
        return true;
    default:
        return false;
    }
}

} // namespace

Collection::Collection(std::vector<uint8_t> reportDescriptor, uint16_t vendorId, uint16_t productId,
                       uint16_t versionNumber)
    : descriptor_(std::move(reportDescriptor)),
      parsed_(ParseReportDescriptor(descriptor_.data(), descriptor_.size())), vendorId_(vendorId),
      productId_(productId), versionNumber_(versionNumber) {
    if (parsed_.status == HIDP_STATUS_SUCCESS) {
        HidP_GetCaps(reinterpret_cast<PHIDP_PREPARSED_DATA>(parsed_.preparsed.data()), &caps_);
    }
}

Collection::~Collection() = default;

HID_COLLECTION_INFORMATION Collection::Information() const {
    HID_COLLECTION_INFORMATION info{};
    info.DescriptorSize = static_cast<ULONG>(parsed_.preparsed.size());
    info.Polled = FALSE;
    info.VendorID = vendorId_;
    info.ProductID = productId_;
    info.VersionNumber = versionNumber_;
    return info;
}

size_t Collection::OpenCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return opens_.size();
}

size_t Collection::WaitingReads() const {
    std::lock_guard<std::mutex> guard(lock_);
    size_t count = 0;
    for (auto& [file, open] : opens_) {
        count += open.reads.size();
    }
    return count;
}

NTSTATUS Collection::Start() {
    return parsed_.status == HIDP_STATUS_SUCCESS ? STATUS_SUCCESS : parsed_.status;
}

NTSTATUS Collection::Dispatch(PDEVICE_OBJECT pdo, PIRP irp) {
    Received r = Note(pdo, irp);
    bool told = Told(r.major, r.ioControlCode);
    switch (r.major) {
    case IRP_MJ_CREATE: {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (removed_) {
                return Finish(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
            }
            NTSTATUS shared = CheckShareAccess(r.fileObject);
            if (!NT_SUCCESS(shared)) {
                return Finish(irp, shared, 0);
            }
            opens_.emplace(r.fileObject, Open{});
        }
        NTSTATUS status;
        if (told) {
            status = AnswerAsTold(pdo, irp, r);
        } else if (unsigned every = opensAtDispatchEvery_.load();
                   every != 0 && (opensAnswered_.fetch_add(1) + 1) % every == 0) {
            // A driver above must not wait in its completion routine.
            ++opensAtDispatch_;
            sim::kernel::ScopedIrql raised(DISPATCH_LEVEL);
            status = Finish(irp, STATUS_SUCCESS, 0);
        } else {
            status = Finish(irp, STATUS_SUCCESS, 0);
        }
        if (!NT_SUCCESS(status) && status != STATUS_PENDING) {
            std::lock_guard<std::mutex> guard(lock_);
            opens_.erase(r.fileObject);
        }
        return status;
    }
    case IRP_MJ_CLEANUP:
        FailReads(TakeReads(r.fileObject), STATUS_CANCELLED);
        return told ? AnswerAsTold(pdo, irp, r) : Finish(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLOSE: {
        std::lock_guard<std::mutex> guard(lock_);
        opens_.erase(r.fileObject);
    }
        return told ? AnswerAsTold(pdo, irp, r) : Finish(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_READ:
        return told ? AnswerAsTold(pdo, irp, r) : Read(pdo, irp);
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        if (!told && KnownControl(r.ioControlCode)) {
            return Control(irp, r.ioControlCode);
        }
        return AnswerAsTold(pdo, irp, r);
    default:
        return AnswerAsTold(pdo, irp, r);
    }
}

NTSTATUS Collection::CheckShareAccess(PFILE_OBJECT file) const {
    // Opens for neither reading nor writing take no part.
    if (file == nullptr || (!file->ReadAccess && !file->WriteAccess)) {
        return STATUS_SUCCESS;
    }
    size_t users = 0, readers = 0, writers = 0, sharingRead = 0, sharingWrite = 0;
    for (const auto& entry : opens_) {
        PFILE_OBJECT other = entry.first;
        if (other == nullptr || (!other->ReadAccess && !other->WriteAccess)) {
            continue;
        }
        ++users;
        readers += other->ReadAccess ? 1 : 0;
        writers += other->WriteAccess ? 1 : 0;
        sharingRead += other->SharedRead ? 1 : 0;
        sharingWrite += other->SharedWrite ? 1 : 0;
    }
    if ((file->ReadAccess && sharingRead < users) || (file->WriteAccess && sharingWrite < users) ||
        (!file->SharedRead && readers > 0) || (!file->SharedWrite && writers > 0)) {
        return STATUS_SHARING_VIOLATION;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Collection::Control(PIRP irp, ULONG code) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID system = irp->AssociatedIrp.SystemBuffer;
    switch (code) {
    case IOCTL_HID_GET_COLLECTION_INFORMATION: {
        if (outLength < sizeof(HID_COLLECTION_INFORMATION)) {
            return Finish(irp, STATUS_INVALID_BUFFER_SIZE, 0);
        }
        if (system == nullptr) {
            return Finish(irp, STATUS_INVALID_USER_BUFFER, 0);
        }
        HID_COLLECTION_INFORMATION info = Information();
        memcpy(system, &info, sizeof(info));
        return Finish(irp, STATUS_SUCCESS, sizeof(info));
    }
    case IOCTL_HID_GET_COLLECTION_DESCRIPTOR: {
        const std::vector<uint8_t>& data = parsed_.preparsed;
        if (data.empty()) {
            return Finish(irp, STATUS_DEVICE_NOT_READY, 0);
        }
        if (outLength < data.size()) {
            return Finish(irp, STATUS_INVALID_BUFFER_SIZE, 0);
        }
        PVOID out = NeitherOutput(irp);
        if (out == nullptr) {
            return Finish(irp, STATUS_INVALID_USER_BUFFER, 0);
        }
        memcpy(out, data.data(), data.size());
        return Finish(irp, STATUS_SUCCESS, data.size());
    }
    default:
        break;
    }

    // The rest work on the caller's open.
    std::vector<PIRP> none;
    std::unique_lock<std::mutex> guard(lock_);
    auto it = opens_.find(stack->FileObject);
    if (it == opens_.end()) {
        guard.unlock();
        return Finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    Open& open = it->second;
    switch (code) {
    case IOCTL_GET_NUM_DEVICE_INPUT_BUFFERS:
        if (outLength < sizeof(ULONG) || system == nullptr) {
            guard.unlock();
            return Finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        memcpy(system, &open.capacity, sizeof(ULONG));
        guard.unlock();
        return Finish(irp, STATUS_SUCCESS, sizeof(ULONG));
    case IOCTL_SET_NUM_DEVICE_INPUT_BUFFERS: {
        ULONG count = 0;
        if (inLength < sizeof(ULONG) || system == nullptr) {
            guard.unlock();
            return Finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        memcpy(&count, system, sizeof(count));
        if (count < kMinInputBuffers || count > kMaxInputBuffers) {
            guard.unlock();
            return Finish(irp, STATUS_INVALID_PARAMETER, 0);
        }
        open.capacity = count;
        while (open.ring.size() > count) {
            open.ring.pop_front();
            ++dropped_;
        }
        guard.unlock();
        return Finish(irp, STATUS_SUCCESS, 0);
    }
    default: // IOCTL_HID_FLUSH_QUEUE
        open.ring.clear();
        guard.unlock();
        return Finish(irp, STATUS_SUCCESS, 0);
    }
}

ULONG_PTR Collection::Fill(Open& open, uint8_t* buffer, ULONG room) {
    ULONG_PTR written = 0;
    while (!open.ring.empty() && room - written >= open.ring.front().size()) {
        const std::vector<uint8_t>& report = open.ring.front();
        memcpy(buffer + written, report.data(), report.size());
        written += report.size();
        open.ring.pop_front();
    }
    return written;
}

void Collection::ShortenNextReads(ULONG bytes, unsigned count) {
    std::lock_guard<std::mutex> guard(lock_);
    shortBytes_ = bytes;
    shortReads_ = count;
}

ULONG_PTR Collection::Returned(ULONG_PTR written) {
    if (shortReads_ == 0 || written == 0) {
        return written;
    }
    --shortReads_;
    return written < shortBytes_ ? written : shortBytes_;
}

NTSTATUS Collection::Read(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    // A read goes through an open made for reading, whoever sends it.
    if (stack->FileObject != nullptr && !stack->FileObject->ReadAccess) {
        return Finish(irp, STATUS_ACCESS_DENIED, 0);
    }
    if (caps_.InputReportByteLength == 0 ||
        stack->Parameters.Read.Length < caps_.InputReportByteLength) {
        return Finish(irp, STATUS_INVALID_BUFFER_SIZE, 0);
    }
    auto* buffer = static_cast<uint8_t*>(ReadBuffer(pdo, irp));
    if (buffer == nullptr) {
        return Finish(irp, STATUS_INVALID_USER_BUFFER, 0);
    }
    ULONG room = stack->Parameters.Read.Length;
    std::unique_lock<std::mutex> guard(lock_);
    if (removed_) {
        guard.unlock();
        return Finish(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    auto it = opens_.find(stack->FileObject);
    if (it == opens_.end()) {
        guard.unlock();
        return Finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    Open& open = it->second;
    if (!open.ring.empty()) {
        ULONG_PTR written = Returned(Fill(open, buffer, room));
        guard.unlock();
        return Finish(irp, STATUS_SUCCESS, written);
    }
    IoMarkIrpPending(irp);
    open.reads.push_back({irp, buffer, room});
    IoSetCancelRoutine(irp, CancelRead);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before the routine was in place: ours to complete.
        open.reads.pop_back();
        guard.unlock();
        Finish(irp, STATUS_CANCELLED, 0);
    }
    return STATUS_PENDING;
}

void Collection::CancelRead(PDEVICE_OBJECT pdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* self = static_cast<Collection*>(hid::LowerDeviceOf(pdo));
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        for (auto& [file, open] : self->opens_) {
            auto it = std::find_if(open.reads.begin(), open.reads.end(),
                                   [irp](const WaitingRead& r) { return r.irp == irp; });
            if (it != open.reads.end()) {
                open.reads.erase(it);
                break;
            }
        }
    }
    Finish(irp, STATUS_CANCELLED, 0);
}

std::vector<PIRP> Collection::TakeReads(PFILE_OBJECT file) {
    std::vector<PIRP> taken;
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& [owner, open] : opens_) {
        if (file != nullptr && owner != file) {
            continue;
        }
        for (auto it = open.reads.begin(); it != open.reads.end();) {
            // A read whose cancel routine is gone is being cancelled: its
            // cancel routine takes it out and completes it.
            if (IoSetCancelRoutine(it->irp, nullptr) != nullptr) {
                taken.push_back(it->irp);
                it = open.reads.erase(it);
            } else {
                ++it;
            }
        }
    }
    return taken;
}

NTSTATUS Collection::FailReads(std::vector<PIRP> reads, NTSTATUS status) {
    for (PIRP irp : reads) {
        Finish(irp, status, 0);
    }
    return status;
}

NTSTATUS Collection::InputReport(const uint8_t* report, size_t length) {
    if (parsed_.status != HIDP_STATUS_SUCCESS) {
        return STATUS_DEVICE_NOT_READY;
    }
    if (report == nullptr || length == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::map<uint8_t, uint16_t>& lengths = parsed_.reportLengths[HidP_Input];
    // A report as the device sends it: with its id byte when the collection
    // has ids, without one otherwise.
    uint8_t id = parsed_.usesReportIds ? report[0] : 0;
    auto known = lengths.find(id);
    size_t expected = known == lengths.end() ? 0 : known->second - (parsed_.usesReportIds ? 0 : 1);
    if (known == lengths.end() || length != expected) {
        return STATUS_INVALID_PARAMETER;
    }
    // The report as a reader gets it: padded with zeros to InputReportByteLength.
    // Built only for a ring; a waiting read gets it straight into its buffer.
    std::vector<uint8_t> delivered;
    auto buffered = [&]() -> const std::vector<uint8_t>& {
        if (delivered.empty()) {
            delivered.assign(caps_.InputReportByteLength, 0);
            memcpy(delivered.data(), report, length);
        }
        return delivered;
    };

    // The reads to complete once the lock is released: inline for the usual
    // few opens, so a report allocates nothing.
    using Completion = std::pair<PIRP, ULONG_PTR>; // a read and what it returns
    std::array<Completion, 4> few;
    std::vector<Completion> more;
    size_t doneCount = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (removed_) {
            return STATUS_DEVICE_NOT_CONNECTED;
        }
        for (auto& [file, open] : opens_) {
            bool taken = false;
            for (auto it = open.reads.begin(); it != open.reads.end(); ++it) {
                if (IoSetCancelRoutine(it->irp, nullptr) != nullptr) {
                    // A read waits only while the ring is empty, and its room
                    // holds at least one report (Read refuses less).
                    WaitingRead read = *it;
                    open.reads.erase(it);
                    memcpy(read.buffer, report, length);
                    memset(read.buffer + length, 0, caps_.InputReportByteLength - length);
                    Completion done(read.irp, Returned(caps_.InputReportByteLength));
                    if (doneCount < few.size()) {
                        few[doneCount] = done;
                    } else {
                        more.push_back(done);
                    }
                    ++doneCount;
                    taken = true;
                    break;
                }
            }
            if (taken) {
                continue;
            }
            open.ring.push_back(buffered());
            if (open.ring.size() > open.capacity) {
                open.ring.pop_front();
                ++dropped_;
            }
        }
    }
    for (size_t i = 0; i < doneCount; ++i) {
        const Completion& done = i < few.size() ? few[i] : more[i - few.size()];
        Finish(done.first, STATUS_SUCCESS, done.second);
    }
    return STATUS_SUCCESS;
}

void Collection::SurpriseRemoved() {
    RecordingLowerDevice::SurpriseRemoved();
    {
        std::lock_guard<std::mutex> guard(lock_);
        removed_ = true;
        for (auto& [file, open] : opens_) {
            open.ring.clear();
        }
    }
    FailReads(TakeReads(nullptr), STATUS_DEVICE_NOT_CONNECTED);
}

void Collection::Removed() {
    SurpriseRemoved();
}

} // namespace sim::hid
