// The application's side of the I/O manager, as kernel32 gives it to a
// Windows program: CreateFile on a device path with the access asked for,
// DeviceIoControl, CloseHandle, and the thread's last error. Requests come
// from user mode, so the I/O manager's checks (the control code's access
// bits against the handle's, buffered I/O through one system buffer) apply
// as on Windows.
#pragma once

#include "ntddk.h"

typedef int BOOL;
typedef ULONG DWORD;
typedef DWORD* LPDWORD;
typedef const char* LPCSTR;
typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED* LPOVERLAPPED;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define OPEN_EXISTING        3
#ifndef FILE_SHARE_READ
#define FILE_SHARE_READ  0x00000001
#define FILE_SHARE_WRITE 0x00000002
#endif
#define FILE_ATTRIBUTE_NORMAL 0x00000080

// Win32 error codes, as RtlNtStatusToDosError gives them.
#define ERROR_SUCCESS             0L
#define ERROR_INVALID_FUNCTION    1L
#define ERROR_FILE_NOT_FOUND      2L
#define ERROR_ACCESS_DENIED       5L
#define ERROR_INVALID_HANDLE      6L
#define ERROR_NOT_ENOUGH_MEMORY   8L
#define ERROR_NOT_READY           21L
#define ERROR_GEN_FAILURE         31L
#define ERROR_NOT_SUPPORTED       50L
#define ERROR_DEV_NOT_EXIST       55L
#define ERROR_INVALID_PARAMETER   87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MORE_DATA           234L
#define ERROR_MR_MID_NOT_FOUND    317L
#define ERROR_OPERATION_ABORTED   995L
#define ERROR_NO_SYSTEM_RESOURCES 1450L

extern "C" {

// Opens the device a path names (a device interface path, or a device name)
// with the access asked for. Only OPEN_EXISTING is meaningful for devices;
// sharing, security, flags and template are taken as Windows takes them for
// a device and not otherwise looked at. INVALID_HANDLE_VALUE on failure.
HANDLE CreateFileA(LPCSTR FileName, DWORD DesiredAccess, DWORD ShareMode,
                   LPSECURITY_ATTRIBUTES SecurityAttributes, DWORD CreationDisposition,
                   DWORD FlagsAndAttributes, HANDLE TemplateFile);

// A synchronous device control request. TRUE on success; FALSE with the last
// error set otherwise (ERROR_MORE_DATA still returns data). Overlapped I/O is
// not offered: a non-null Overlapped fails with ERROR_INVALID_PARAMETER.
BOOL DeviceIoControl(HANDLE Device, DWORD IoControlCode, PVOID InBuffer, DWORD InBufferSize,
                     PVOID OutBuffer, DWORD OutBufferSize, LPDWORD BytesReturned,
                     LPOVERLAPPED Overlapped);

// Closes a handle: the device gets its cleanup and close requests.
BOOL CloseHandle(HANDLE Object);

DWORD GetLastError(void);
void SetLastError(DWORD ErrorCode);

} // extern "C"

namespace sim::win32 {

// The Win32 error a status becomes.
DWORD NtStatusToWin32Error(NTSTATUS status);
// The status behind the calling thread's last error (STATUS_SUCCESS after a
// call that succeeded), for callers that must tell statuses apart that share
// one Win32 error.
NTSTATUS LastNtStatus();
// Handles still open.
size_t OpenHandleCount();

} // namespace sim::win32
