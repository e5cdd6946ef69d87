// KMDF I/O targets: where a driver sends requests (the default target is the
// next-lower driver of the device's stack; remote targets are opened by name).
#pragma once

#include "wdf/wdfobject.h"
#include "wdf/wdfmemory.h"
#include "wdf/wdfrequest.h"

typedef enum _WDF_IO_TARGET_OPEN_TYPE {
    WdfIoTargetOpenUndefined = 0,
    WdfIoTargetOpenUseExistingDevice = 1,
    WdfIoTargetOpenByName = 2,
    WdfIoTargetOpenReopen = 3,
} WDF_IO_TARGET_OPEN_TYPE;

typedef NTSTATUS EVT_WDF_IO_TARGET_QUERY_REMOVE(WDFIOTARGET IoTarget);
typedef EVT_WDF_IO_TARGET_QUERY_REMOVE* PFN_WDF_IO_TARGET_QUERY_REMOVE;
typedef VOID EVT_WDF_IO_TARGET_REMOVE_CANCELED(WDFIOTARGET IoTarget);
typedef EVT_WDF_IO_TARGET_REMOVE_CANCELED* PFN_WDF_IO_TARGET_REMOVE_CANCELED;
typedef VOID EVT_WDF_IO_TARGET_REMOVE_COMPLETE(WDFIOTARGET IoTarget);
typedef EVT_WDF_IO_TARGET_REMOVE_COMPLETE* PFN_WDF_IO_TARGET_REMOVE_COMPLETE;

typedef struct _WDF_IO_TARGET_OPEN_PARAMS {
    ULONG Size;
    WDF_IO_TARGET_OPEN_TYPE Type;
    PFN_WDF_IO_TARGET_QUERY_REMOVE EvtIoTargetQueryRemove;
    PFN_WDF_IO_TARGET_REMOVE_CANCELED EvtIoTargetRemoveCanceled;
    PFN_WDF_IO_TARGET_REMOVE_COMPLETE EvtIoTargetRemoveComplete;
    PDEVICE_OBJECT TargetDeviceObject;
    PFILE_OBJECT TargetFileObject;
    UNICODE_STRING TargetDeviceName;
    ACCESS_MASK DesiredAccess;
    ULONG ShareAccess;
    ULONG FileAttributes;
    ULONG CreateDisposition;
    ULONG CreateOptions;
    PVOID EaBuffer;
    ULONG EaBufferLength;
    PLONGLONG AllocationSize;
    ULONG FileInformation;
} WDF_IO_TARGET_OPEN_PARAMS, *PWDF_IO_TARGET_OPEN_PARAMS;

inline VOID WDF_IO_TARGET_OPEN_PARAMS_INIT_CREATE_BY_NAME(PWDF_IO_TARGET_OPEN_PARAMS Params,
                                                          PCUNICODE_STRING TargetDeviceName,
                                                          ACCESS_MASK DesiredAccess) {
    RtlZeroMemory(Params, sizeof(WDF_IO_TARGET_OPEN_PARAMS));
    Params->Size = sizeof(WDF_IO_TARGET_OPEN_PARAMS);
    Params->Type = WdfIoTargetOpenByName;
    RtlCopyMemory(&Params->TargetDeviceName, TargetDeviceName, sizeof(UNICODE_STRING));
    Params->DesiredAccess = DesiredAccess;
    Params->CreateOptions = FILE_NON_DIRECTORY_FILE;
}

inline VOID WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(PWDF_IO_TARGET_OPEN_PARAMS Params,
                                                        PCUNICODE_STRING TargetDeviceName,
                                                        ACCESS_MASK DesiredAccess) {
    WDF_IO_TARGET_OPEN_PARAMS_INIT_CREATE_BY_NAME(Params, TargetDeviceName, DesiredAccess);
    Params->CreateDisposition = FILE_OPEN;
}

extern "C" {
PDEVICE_OBJECT WdfIoTargetWdmGetTargetDeviceObject(WDFIOTARGET IoTarget);
WDFDEVICE WdfIoTargetGetDevice(WDFIOTARGET IoTarget);

// Remote targets: created unopened (a child of the device unless the
// attributes name another parent), opened by name, closed with every
// request still out cancelled and waited for.
NTSTATUS WdfIoTargetCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES IoTargetAttributes,
                           WDFIOTARGET* IoTarget);
NTSTATUS WdfIoTargetOpen(WDFIOTARGET IoTarget, PWDF_IO_TARGET_OPEN_PARAMS OpenParams);
VOID WdfIoTargetClose(WDFIOTARGET IoTarget);

// Sends a device control and waits for it, at PASSIVE_LEVEL.
NTSTATUS WdfIoTargetSendIoctlSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                           ULONG IoctlCode, PWDF_MEMORY_DESCRIPTOR InputBuffer,
                                           PWDF_MEMORY_DESCRIPTOR OutputBuffer,
                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                           PULONG_PTR BytesReturned);
// Formats a driver's request as a read into the memory object (the whole
// buffer, or the part the offset names).
NTSTATUS WdfIoTargetFormatRequestForRead(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                         WDFMEMORY OutputBuffer,
                                         PWDFMEMORY_OFFSET OutputBufferOffset,
                                         PLONGLONG DeviceOffset);
}
