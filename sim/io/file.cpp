// File objects: opens, closes, and user-mode requests on an open handle.
#include "sim/io/file.h"

#include <map>
#include <mutex>

#include "sim/core/utf.h"
#include "sim/io/device_object.h"
#include "sim/io/object_names.h"
#include "sim/io/sync_call.h"
#include "sim/kernel/irp.h"

namespace sim::io {
namespace {

constexpr CSHORT kIoTypeFile = 5;

struct OpenRecord {
    PDEVICE_OBJECT top;      // where the file's requests go
    PDEVICE_OBJECT pdo;      // whose open-handle count it holds
    std::vector<WCHAR> name; // FileName's characters
};

std::mutex g_lock;
std::map<PFILE_OBJECT, OpenRecord> g_files;

bool Grants(ACCESS_MASK access, ACCESS_MASK specific, ACCESS_MASK generic) {
    return (access & (specific | generic | GENERIC_ALL)) != 0;
}

PIRP NewFileIrp(PFILE_OBJECT file, PDEVICE_OBJECT top, UCHAR major, KPROCESSOR_MODE mode) {
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        return nullptr;
    }
    irp->RequestorMode = mode;
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = file;
    return irp;
}

PDEVICE_OBJECT TopFor(PFILE_OBJECT file) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_files.find(file);
    return it == g_files.end() ? nullptr : it->second.top;
}

// Cleanup and close reach the driver whatever happens: their IRPs come from
// the I/O manager's reserve.
void SendTeardownIrp(PFILE_OBJECT file, PDEVICE_OBJECT top, UCHAR major) {
    PIRP irp = AllocateIrpMustSucceed(top->StackSize);
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = file;
    CallAndWait(top, irp);
}

// Sends a request whose buffers were laid out with 'layout' (or frees it when
// that failed) and reports how many bytes came back.
NTSTATUS Issue(PDEVICE_OBJECT top, PIRP irp, NTSTATUS layout,
               const std::function<void(PIRP)>& finish, ULONG_PTR* returned) {
    if (!NT_SUCCESS(layout)) {
        IoFreeIrp(irp);
        return layout;
    }
    IoResult result = CallAndWait(top, irp, finish);
    if (returned != nullptr) {
        *returned = result.information;
    }
    return result.status;
}

} // namespace

NTSTATUS OpenFile(std::string_view path, ACCESS_MASK access, KPROCESSOR_MODE mode,
                  PFILE_OBJECT* file, ULONG shareAccess, ULONG createOptions) {
    if (file == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *file = nullptr;
    std::string rest;
    PDEVICE_OBJECT named = ResolvePath(path, &rest);
    if (named == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    PDEVICE_OBJECT pdo = BottomOfStack(named);
    PDEVICE_OBJECT top = TopOfStack(named);
    if (Record(pdo)->deletePending) {
        return STATUS_DELETE_PENDING;
    }
    if ((top->Flags & DO_DEVICE_INITIALIZING) != 0) {
        return STATUS_NO_SUCH_DEVICE;
    }

    auto* object = new FILE_OBJECT();
    object->Type = kIoTypeFile;
    object->Size = sizeof(FILE_OBJECT);
    object->DeviceObject = named;
    object->ReadAccess = Grants(access, FILE_READ_DATA, GENERIC_READ);
    object->WriteAccess = Grants(access, FILE_WRITE_DATA, GENERIC_WRITE);
    object->SharedRead = (shareAccess & FILE_SHARE_READ) != 0;
    object->SharedWrite = (shareAccess & FILE_SHARE_WRITE) != 0;
    object->SharedDelete = (shareAccess & FILE_SHARE_DELETE) != 0;
    OpenRecord record{top, pdo, sim::Utf8ToUtf16(rest)};
    object->FileName.Buffer = record.name.data();
    object->FileName.Length = static_cast<USHORT>(record.name.size() * sizeof(WCHAR));
    object->FileName.MaximumLength = object->FileName.Length;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_files.emplace(object, std::move(record));
    }
    AddOpenHandle(pdo);

    PIRP irp = NewFileIrp(object, top, IRP_MJ_CREATE, mode);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (irp != nullptr) {
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->Parameters.Create.ShareAccess = static_cast<USHORT>(shareAccess);
        stack->Parameters.Create.Options = FILE_OPEN << 24 | (createOptions & 0x00FFFFFF);
        status = CallAndWait(top, irp).status;
    }
    if (!NT_SUCCESS(status)) {
        {
            std::lock_guard<std::mutex> guard(g_lock);
            g_files.erase(object);
        }
        delete object;
        RemoveOpenHandle(pdo);
        return status;
    }
    *file = object;
    return STATUS_SUCCESS;
}

void CloseFile(PFILE_OBJECT file) {
    PDEVICE_OBJECT top = TopFor(file);
    if (top == nullptr) {
        return;
    }
    SendTeardownIrp(file, top, IRP_MJ_CLEANUP);
    SendTeardownIrp(file, top, IRP_MJ_CLOSE);
    PDEVICE_OBJECT pdo;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_files.find(file);
        pdo = it->second.pdo;
        g_files.erase(it);
    }
    delete file;
    RemoveOpenHandle(pdo);
}

File::~File() {
    Close();
}

File::File(File&& other) noexcept : file_(other.file_) {
    other.file_ = nullptr;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        file_ = other.file_;
        other.file_ = nullptr;
    }
    return *this;
}

NTSTATUS File::Open(std::string_view path, ACCESS_MASK access, ULONG shareAccess) {
    Close();
    return OpenFile(path, access, UserMode, &file_, shareAccess);
}

void File::Close() {
    if (file_ != nullptr) {
        CloseFile(file_);
        file_ = nullptr;
    }
}

NTSTATUS File::DeviceIoControl(ULONG code, const void* input, ULONG inputLength, void* output,
                               ULONG outputLength, ULONG_PTR* returned) {
    if (returned != nullptr) {
        *returned = 0;
    }
    if (file_ == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    ULONG required = (code >> 14) & 3;
    if (((required & FILE_READ_ACCESS) != 0 && !file_->ReadAccess) ||
        ((required & FILE_WRITE_ACCESS) != 0 && !file_->WriteAccess)) {
        return STATUS_ACCESS_DENIED;
    }
    PDEVICE_OBJECT top = TopFor(file_);
    PIRP irp = NewFileIrp(file_, top, IRP_MJ_DEVICE_CONTROL, UserMode);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    std::function<void(PIRP)> finish;
    NTSTATUS status =
        LayOutIoctlBuffers(irp, code, input, inputLength, output, outputLength, &finish);
    return Issue(top, irp, status, finish, returned);
}

static NTSTATUS Transfer(PFILE_OBJECT file, PDEVICE_OBJECT top, bool isWrite, void* buffer,
                         ULONG length, ULONG_PTR* returned) {
    if (returned != nullptr) {
        *returned = 0;
    }
    PIRP irp = NewFileIrp(file, top, isWrite ? IRP_MJ_WRITE : IRP_MJ_READ, UserMode);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    if (isWrite) {
        stack->Parameters.Write.Length = length;
    } else {
        stack->Parameters.Read.Length = length;
    }
    std::function<void(PIRP)> finish;
    NTSTATUS status = LayOutTransferBuffers(irp, top, isWrite, buffer, length, &finish);
    return Issue(top, irp, status, finish, returned);
}

NTSTATUS File::Read(void* buffer, ULONG length, ULONG_PTR* returned) {
    if (file_ == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (!file_->ReadAccess) {
        return STATUS_ACCESS_DENIED;
    }
    return Transfer(file_, TopFor(file_), false, buffer, length, returned);
}

NTSTATUS File::Write(const void* buffer, ULONG length, ULONG_PTR* returned) {
    if (file_ == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (!file_->WriteAccess) {
        return STATUS_ACCESS_DENIED;
    }
    return Transfer(file_, TopFor(file_), true, const_cast<void*>(buffer), length, returned);
}

} // namespace sim::io

extern "C" PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) {
    return sim::io::TopFor(FileObject);
}
