// kernel32's file handles over the I/O manager's file objects.
#include "sim/win32/fileapi.h"

#include <map>
#include <memory>
#include <mutex>

#include "sim/io/file.h"

namespace sim::win32 {
namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;
thread_local NTSTATUS t_lastStatus = STATUS_SUCCESS;

std::mutex g_lock;
std::map<HANDLE, std::shared_ptr<sim::io::File>> g_handles;
ULONG_PTR g_nextHandle = 0x100;

void SetLast(NTSTATUS status) {
    t_lastStatus = status;
    t_lastError = NtStatusToWin32Error(status);
}

// A request in flight keeps its file open; the last holder closes it.
std::shared_ptr<sim::io::File> Lookup(HANDLE handle) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_handles.find(handle);
    return it == g_handles.end() ? nullptr : it->second;
}

} // namespace

DWORD NtStatusToWin32Error(NTSTATUS status) {
    switch (status) {
    case STATUS_SUCCESS:
        return ERROR_SUCCESS;
    case STATUS_BUFFER_OVERFLOW:
        return ERROR_MORE_DATA;
    case STATUS_INVALID_DEVICE_REQUEST:
    case STATUS_NOT_IMPLEMENTED:
        return ERROR_INVALID_FUNCTION;
    case STATUS_OBJECT_NAME_NOT_FOUND:
    case STATUS_NO_SUCH_DEVICE:
        return ERROR_FILE_NOT_FOUND;
    case STATUS_ACCESS_DENIED:
    case STATUS_DELETE_PENDING:
        return ERROR_ACCESS_DENIED;
    case STATUS_INVALID_HANDLE:
        return ERROR_INVALID_HANDLE;
    case STATUS_NO_MEMORY:
        return ERROR_NOT_ENOUGH_MEMORY;
    case STATUS_DEVICE_NOT_READY:
        return ERROR_NOT_READY;
    case STATUS_UNSUCCESSFUL:
        return ERROR_GEN_FAILURE;
    case STATUS_NOT_SUPPORTED:
        return ERROR_NOT_SUPPORTED;
    case STATUS_DEVICE_REMOVED:
        return ERROR_DEV_NOT_EXIST;
    case STATUS_INVALID_PARAMETER:
        return ERROR_INVALID_PARAMETER;
    case STATUS_BUFFER_TOO_SMALL:
        return ERROR_INSUFFICIENT_BUFFER;
    case STATUS_CANCELLED:
        return ERROR_OPERATION_ABORTED;
    case STATUS_INSUFFICIENT_RESOURCES:
        return ERROR_NO_SYSTEM_RESOURCES;
    default:
        return ERROR_MR_MID_NOT_FOUND;
    }
}

NTSTATUS LastNtStatus() {
    return t_lastStatus;
}

size_t OpenHandleCount() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_handles.size();
}

} // namespace sim::win32

using namespace sim::win32;

extern "C" {

HANDLE CreateFileA(LPCSTR FileName, DWORD DesiredAccess, DWORD ShareMode,
                   LPSECURITY_ATTRIBUTES SecurityAttributes, DWORD CreationDisposition,
                   DWORD FlagsAndAttributes, HANDLE TemplateFile) {
    (void)ShareMode;
    (void)SecurityAttributes;
    (void)FlagsAndAttributes;
    (void)TemplateFile;
    if (FileName == nullptr || CreationDisposition != OPEN_EXISTING) {
        SetLast(STATUS_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto file = std::make_shared<sim::io::File>();
    NTSTATUS status = file->Open(FileName, DesiredAccess);
    if (!NT_SUCCESS(status)) {
        SetLast(status);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        handle = reinterpret_cast<HANDLE>(g_nextHandle);
        g_nextHandle += 4;
        g_handles.emplace(handle, std::move(file));
    }
    SetLast(STATUS_SUCCESS);
    return handle;
}

BOOL DeviceIoControl(HANDLE Device, DWORD IoControlCode, PVOID InBuffer, DWORD InBufferSize,
                     PVOID OutBuffer, DWORD OutBufferSize, LPDWORD BytesReturned,
                     LPOVERLAPPED Overlapped) {
    if (BytesReturned != nullptr) {
        *BytesReturned = 0;
    }
    if (Overlapped != nullptr) {
        SetLast(STATUS_INVALID_PARAMETER);
        return FALSE;
    }
    std::shared_ptr<sim::io::File> file = Lookup(Device);
    if (file == nullptr) {
        SetLast(STATUS_INVALID_HANDLE);
        return FALSE;
    }
    // A buffer pointer without a length, or a length without a buffer, is
    // refused by the I/O manager before any request is built.
    if ((InBuffer == nullptr && InBufferSize != 0) ||
        (OutBuffer == nullptr && OutBufferSize != 0)) {
        SetLast(STATUS_INVALID_PARAMETER);
        return FALSE;
    }
    ULONG_PTR returned = 0;
    NTSTATUS status = file->DeviceIoControl(IoControlCode, InBuffer, InBufferSize, OutBuffer,
                                            OutBufferSize, &returned);
    SetLast(status);
    if (BytesReturned != nullptr && (static_cast<ULONG>(status) >> 30) != 3) {
        *BytesReturned = static_cast<DWORD>(returned);
    }
    return NT_SUCCESS(status) && status != STATUS_PENDING ? TRUE : FALSE;
}

BOOL CloseHandle(HANDLE Object) {
    std::shared_ptr<sim::io::File> file;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_handles.find(Object);
        if (it != g_handles.end()) {
            file = std::move(it->second);
            g_handles.erase(it);
        }
    }
    if (file == nullptr) {
        SetLast(STATUS_INVALID_HANDLE);
        return FALSE;
    }
    file.reset(); // cleanup and close, unless a request still holds the file
    SetLast(STATUS_SUCCESS);
    return TRUE;
}

DWORD GetLastError(void) {
    return t_lastError;
}

void SetLastError(DWORD ErrorCode) {
    t_lastError = ErrorCode;
    t_lastStatus = STATUS_SUCCESS;
}

} // extern "C"
