// The collection PDO's driver: PnP answered as a bus does, everything else
// handed to the LowerDevice behind the PDO.
#include "sim/hid/lower_device.h"

#include <algorithm>

#include "sim/core/utf.h"
#include "sim/io/sync_call.h"

namespace sim::hid {
namespace {

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CollectionPnp(LowerDevice* lower, PIRP irp) {
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    lower->NotePnp(minor);
    NTSTATUS status;
    switch (minor) {
    case IRP_MN_START_DEVICE:
        status = lower->Start();
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        lower->SurpriseRemoved();
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        lower->Removed();
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        status = STATUS_SUCCESS;
        break;
    default:
        // A bus leaves the status of a request it does not handle as it is.
        status = irp->IoStatus.Status;
        break;
    }
    return CompleteWith(irp, status, irp->IoStatus.Information);
}

NTSTATUS CollectionDispatch(PDEVICE_OBJECT pdo, PIRP irp) {
    LowerDevice* lower = LowerDeviceOf(pdo);
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_PNP:
        return CollectionPnp(lower, irp);
    case IRP_MJ_POWER:
        return CompleteWith(irp, STATUS_SUCCESS, 0);
    default:
        return lower->Dispatch(pdo, irp);
    }
}

std::vector<UCHAR> CopyIn(const void* from, ULONG length) {
    if (from == nullptr || length == 0) {
        return {};
    }
    auto* bytes = static_cast<const UCHAR*>(from);
    return std::vector<UCHAR>(bytes, bytes + length);
}

ULONG_PTR CopyOut(void* to, ULONG room, const std::vector<UCHAR>& from) {
    if (to == nullptr) {
        return 0;
    }
    size_t count = std::min<size_t>(room, from.size());
    if (count != 0) {
        memcpy(to, from.data(), count);
    }
    return count;
}

} // namespace

LowerDevice::~LowerDevice() = default;

std::vector<UCHAR> LowerDevice::PnpLog() const {
    std::lock_guard<std::mutex> guard(pnpLock_);
    return pnpLog_;
}

void LowerDevice::NotePnp(UCHAR minor) {
    std::lock_guard<std::mutex> guard(pnpLock_);
    pnpLog_.push_back(minor);
}

PDRIVER_OBJECT CollectionDriverObject() {
    // Built once, on first use; lives as long as the program, as a driver
    // that is never unloaded.
    static DRIVER_OBJECT* driver = [] {
        static DRIVER_OBJECT object{};
        static DRIVER_EXTENSION extension{};
        static std::vector<WCHAR> name = sim::Utf8ToUtf16("\\Driver\\HidUsb");
        object.Type = 4;
        object.Size = sizeof(DRIVER_OBJECT);
        object.DriverExtension = &extension;
        extension.DriverObject = &object;
        object.DriverName.Buffer = name.data();
        object.DriverName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
        object.DriverName.MaximumLength = object.DriverName.Length;
        for (PDRIVER_DISPATCH& dispatch : object.MajorFunction) {
            dispatch = CollectionDispatch;
        }
        return &object;
    }();
    return driver;
}

LowerDevice* LowerDeviceOf(PDEVICE_OBJECT pdo) {
    return *static_cast<LowerDevice**>(pdo->DeviceExtension);
}

void RecordingLowerDevice::AnswerMajor(UCHAR major, Answer answer) {
    std::lock_guard<std::mutex> guard(lock_);
    majorAnswers_[major] = std::move(answer);
}

void RecordingLowerDevice::AnswerIoctl(ULONG ioControlCode, Answer answer) {
    std::lock_guard<std::mutex> guard(lock_);
    ioctlAnswers_[ioControlCode] = std::move(answer);
}

std::vector<RecordingLowerDevice::Received> RecordingLowerDevice::Requests() const {
    std::lock_guard<std::mutex> guard(lock_);
    return std::vector<Received>(received_.begin(), received_.end());
}

size_t RecordingLowerDevice::CountOf(UCHAR major) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = counts_.find(major);
    return it == counts_.end() ? 0 : it->second;
}

void RecordingLowerDevice::Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    received_.clear();
    counts_.clear();
}

size_t RecordingLowerDevice::HeldCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return held_.size();
}

RecordingLowerDevice::Answer RecordingLowerDevice::AnswerFor(UCHAR major, ULONG code) const {
    std::lock_guard<std::mutex> guard(lock_);
    bool isIoctl = major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    if (isIoctl) {
        auto it = ioctlAnswers_.find(code);
        if (it != ioctlAnswers_.end()) {
            return it->second;
        }
    }
    auto it = majorAnswers_.find(major);
    return it != majorAnswers_.end() ? it->second : Answer{};
}

bool RecordingLowerDevice::Told(UCHAR major, ULONG code) const {
    std::lock_guard<std::mutex> guard(lock_);
    bool isIoctl = major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    return (isIoctl && ioctlAnswers_.count(code) != 0) || majorAnswers_.count(major) != 0;
}

NTSTATUS RecordingLowerDevice::Dispatch(PDEVICE_OBJECT pdo, PIRP irp) {
    Received r = Note(pdo, irp);
    return AnswerAsTold(pdo, irp, r);
}

RecordingLowerDevice::Received RecordingLowerDevice::Note(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Received r;
    r.major = stack->MajorFunction;
    r.minor = stack->MinorFunction;
    r.systemBuffer = irp->AssociatedIrp.SystemBuffer;
    r.userBuffer = irp->UserBuffer;
    r.fileObject = stack->FileObject;
    r.requestorMode = irp->RequestorMode;
    r.irql = KeGetCurrentIrql();
    bool buffered = (pdo->Flags & DO_BUFFERED_IO) != 0;
    switch (r.major) {
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        r.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
        r.inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
        r.outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
        r.type3InputBuffer = stack->Parameters.DeviceIoControl.Type3InputBuffer;
        r.input =
            CopyIn(METHOD_FROM_CTL_CODE(r.ioControlCode) == METHOD_NEITHER ? r.type3InputBuffer
                                                                           : r.systemBuffer,
                   r.inputLength);
        break;
    case IRP_MJ_WRITE:
        r.transferLength = stack->Parameters.Write.Length;
        r.input = CopyIn(buffered ? r.systemBuffer : r.userBuffer, r.transferLength);
        break;
    case IRP_MJ_READ:
        r.transferLength = stack->Parameters.Read.Length;
        break;
    case IRP_MJ_CREATE:
        r.shareAccess = stack->Parameters.Create.ShareAccess;
        r.createOptions = stack->Parameters.Create.Options & 0x00FFFFFF;
        if (r.fileObject != nullptr) {
            r.readAccess = r.fileObject->ReadAccess != FALSE;
            r.writeAccess = r.fileObject->WriteAccess != FALSE;
        }
        break;
    default:
        break;
    }
    std::lock_guard<std::mutex> guard(lock_);
    received_.push_back(r);
    if (received_.size() > kLogLimit) {
        received_.pop_front();
    }
    ++counts_[r.major];
    return r;
}

NTSTATUS RecordingLowerDevice::AnswerAsTold(PDEVICE_OBJECT pdo, PIRP irp, const Received& r) {
    bool buffered = (pdo->Flags & DO_BUFFERED_IO) != 0;
    Answer answer = AnswerFor(r.major, r.ioControlCode);
    if (answer.hold) {
        Hold(irp);
        return STATUS_PENDING;
    }
    ULONG_PTR information = 0;
    if (io::CarriesData(answer.status)) {
        switch (r.major) {
        case IRP_MJ_DEVICE_CONTROL:
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            information =
                CopyOut(METHOD_FROM_CTL_CODE(r.ioControlCode) == METHOD_NEITHER ? r.userBuffer
                                                                                : r.systemBuffer,
                        r.outputLength, answer.output);
            break;
        case IRP_MJ_READ:
            information =
                CopyOut(buffered ? r.systemBuffer : r.userBuffer, r.transferLength, answer.output);
            break;
        case IRP_MJ_WRITE:
            information = r.transferLength;
            break;
        default:
            break;
        }
    }
    return CompleteWith(irp, answer.status, information);
}

void RecordingLowerDevice::Hold(PIRP irp) {
    IoMarkIrpPending(irp);
    {
        std::lock_guard<std::mutex> guard(lock_);
        held_.push_back(irp);
    }
    IoSetCancelRoutine(irp, CancelHeld);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before the routine was in place: complete it here.
        {
            std::lock_guard<std::mutex> guard(lock_);
            held_.erase(std::remove(held_.begin(), held_.end(), irp), held_.end());
        }
        CompleteWith(irp, STATUS_CANCELLED, 0);
    }
}

void RecordingLowerDevice::CancelHeld(PDEVICE_OBJECT pdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* self = static_cast<RecordingLowerDevice*>(LowerDeviceOf(pdo));
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        self->held_.erase(std::remove(self->held_.begin(), self->held_.end(), irp),
                          self->held_.end());
    }
    CompleteWith(irp, STATUS_CANCELLED, 0);
}

size_t RecordingLowerDevice::CompleteHeld(NTSTATUS status) {
    std::vector<PIRP> mine;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (PIRP irp : held_) {
            // A held IRP whose cancel routine is already gone is being
            // cancelled: its cancel routine completes it.
            if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
                mine.push_back(irp);
            }
        }
        for (PIRP irp : mine) {
            held_.erase(std::remove(held_.begin(), held_.end(), irp), held_.end());
        }
    }
    for (PIRP irp : mine) {
        CompleteWith(irp, status, 0);
    }
    return mine.size();
}

void RecordingLowerDevice::SurpriseRemoved() {
    CompleteHeld(STATUS_DEVICE_NOT_CONNECTED);
}

void RecordingLowerDevice::Removed() {
    CompleteHeld(STATUS_DEVICE_NOT_CONNECTED);
}

} // namespace sim::hid
