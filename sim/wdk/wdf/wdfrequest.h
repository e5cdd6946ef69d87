// KMDF requests: the framework's wrapper of an IRP, its parameters, buffers,
// completion, and sending it to an I/O target.
#pragma once

#include "wdf/wdfobject.h"

typedef PVOID WDFCONTEXT;

typedef enum _WDF_REQUEST_TYPE {
    WdfRequestTypeCreate = IRP_MJ_CREATE,
    WdfRequestTypeCreateNamedPipe = IRP_MJ_CREATE_NAMED_PIPE,
    WdfRequestTypeClose = IRP_MJ_CLOSE,
    WdfRequestTypeRead = IRP_MJ_READ,
    WdfRequestTypeWrite = IRP_MJ_WRITE,
    WdfRequestTypeQueryInformation = IRP_MJ_QUERY_INFORMATION,
    WdfRequestTypeSetInformation = IRP_MJ_SET_INFORMATION,
    WdfRequestTypeQueryEA = 0x07,
    WdfRequestTypeSetEA = 0x08,
    WdfRequestTypeFlushBuffers = IRP_MJ_FLUSH_BUFFERS,
    WdfRequestTypeQueryVolumeInformation = 0x0a,
    WdfRequestTypeSetVolumeInformation = 0x0b,
    WdfRequestTypeDirectoryControl = 0x0c,
    WdfRequestTypeFileSystemControl = 0x0d,
    WdfRequestTypeDeviceControl = IRP_MJ_DEVICE_CONTROL,
    WdfRequestTypeDeviceControlInternal = IRP_MJ_INTERNAL_DEVICE_CONTROL,
    WdfRequestTypeShutdown = IRP_MJ_SHUTDOWN,
    WdfRequestTypeLockControl = 0x11,
    WdfRequestTypeCleanup = IRP_MJ_CLEANUP,
    WdfRequestTypeCreateMailSlot = 0x13,
    WdfRequestTypeQuerySecurity = 0x14,
    WdfRequestTypeSetSecurity = 0x15,
    WdfRequestTypePower = IRP_MJ_POWER,
    WdfRequestTypeSystemControl = IRP_MJ_SYSTEM_CONTROL,
    WdfRequestTypeDeviceChange = 0x18,
    WdfRequestTypeQueryQuota = 0x19,
    WdfRequestTypeSetQuota = 0x1A,
    WdfRequestTypePnp = IRP_MJ_PNP,
    WdfRequestTypeOther,
    WdfRequestTypeUsb = 0x40,
    WdfRequestTypeNoFormat = 0xFF,
    WdfRequestTypeMax,
} WDF_REQUEST_TYPE;

typedef struct _WDF_REQUEST_PARAMETERS {
    USHORT Size;
    UCHAR MinorFunction;
    WDF_REQUEST_TYPE Type;
    union {
        struct {
            PVOID SecurityContext;
            ULONG Options;
            USHORT POINTER_ALIGNMENT FileAttributes;
            USHORT ShareAccess;
            ULONG POINTER_ALIGNMENT EaLength;
        } Create;
        struct {
            size_t Length;
            ULONG POINTER_ALIGNMENT Key;
            LONGLONG DeviceOffset;
        } Read;
        struct {
            size_t Length;
            ULONG POINTER_ALIGNMENT Key;
            LONGLONG DeviceOffset;
        } Write;
        struct {
            size_t OutputBufferLength;
            size_t POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Arg1;
            PVOID Arg2;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID Arg4;
        } Others;
    } Parameters;
} WDF_REQUEST_PARAMETERS, *PWDF_REQUEST_PARAMETERS;

inline VOID WDF_REQUEST_PARAMETERS_INIT(PWDF_REQUEST_PARAMETERS Parameters) {
    RtlZeroMemory(Parameters, sizeof(WDF_REQUEST_PARAMETERS));
    Parameters->Size = sizeof(WDF_REQUEST_PARAMETERS);
}

typedef struct _WDF_USB_REQUEST_COMPLETION_PARAMS* PWDF_USB_REQUEST_COMPLETION_PARAMS;

typedef struct _WDF_REQUEST_COMPLETION_PARAMS {
    ULONG Size;
    WDF_REQUEST_TYPE Type;
    IO_STATUS_BLOCK IoStatus;
    union {
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } Write;
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } Read;
        struct {
            ULONG IoControlCode;
            struct {
                WDFMEMORY Buffer;
                size_t Offset;
            } Input;
            struct {
                WDFMEMORY Buffer;
                size_t Offset;
                size_t Length;
            } Output;
        } Ioctl;
        struct {
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument1;
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument2;
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument3;
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument4;
        } Others;
        struct {
            PWDF_USB_REQUEST_COMPLETION_PARAMS Completion;
        } Usb;
    } Parameters;
} WDF_REQUEST_COMPLETION_PARAMS, *PWDF_REQUEST_COMPLETION_PARAMS;

inline VOID WDF_REQUEST_COMPLETION_PARAMS_INIT(PWDF_REQUEST_COMPLETION_PARAMS Params) {
    RtlZeroMemory(Params, sizeof(WDF_REQUEST_COMPLETION_PARAMS));
    Params->Size = sizeof(WDF_REQUEST_COMPLETION_PARAMS);
    Params->Type = WdfRequestTypeNoFormat;
}

typedef VOID EVT_WDF_REQUEST_COMPLETION_ROUTINE(WDFREQUEST Request, WDFIOTARGET Target,
                                                PWDF_REQUEST_COMPLETION_PARAMS Params,
                                                WDFCONTEXT Context);
typedef EVT_WDF_REQUEST_COMPLETION_ROUTINE* PFN_WDF_REQUEST_COMPLETION_ROUTINE;

typedef enum _WDF_REQUEST_SEND_OPTIONS_FLAGS {
    WDF_REQUEST_SEND_OPTION_TIMEOUT = 0x00000001,
    WDF_REQUEST_SEND_OPTION_SYNCHRONOUS = 0x00000002,
    WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE = 0x00000004,
    WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET = 0x00000008,
} WDF_REQUEST_SEND_OPTIONS_FLAGS;

typedef struct _WDF_REQUEST_SEND_OPTIONS {
    ULONG Size;
    ULONG Flags;
    LONGLONG Timeout;
} WDF_REQUEST_SEND_OPTIONS, *PWDF_REQUEST_SEND_OPTIONS;

inline VOID WDF_REQUEST_SEND_OPTIONS_INIT(PWDF_REQUEST_SEND_OPTIONS Options, ULONG Flags) {
    RtlZeroMemory(Options, sizeof(WDF_REQUEST_SEND_OPTIONS));
    Options->Size = sizeof(WDF_REQUEST_SEND_OPTIONS);
    Options->Flags = Flags;
}

typedef enum _WDF_REQUEST_REUSE_FLAGS {
    WDF_REQUEST_REUSE_NO_FLAGS = 0x00000000,
    WDF_REQUEST_REUSE_SET_NEW_IRP = 0x00000001,
} WDF_REQUEST_REUSE_FLAGS;

typedef struct _WDF_REQUEST_REUSE_PARAMS {
    ULONG Size;
    ULONG Flags;
    NTSTATUS Status;
    PIRP NewIrp;
} WDF_REQUEST_REUSE_PARAMS, *PWDF_REQUEST_REUSE_PARAMS;

inline VOID WDF_REQUEST_REUSE_PARAMS_INIT(PWDF_REQUEST_REUSE_PARAMS Params, ULONG Flags,
                                          NTSTATUS Status) {
    RtlZeroMemory(Params, sizeof(WDF_REQUEST_REUSE_PARAMS));
    Params->Size = sizeof(WDF_REQUEST_REUSE_PARAMS);
    Params->Flags = Flags;
    Params->Status = Status;
}

extern "C" {

// Requests of the driver's own: created for a target, reused after each
// completion, cancelled while out.
NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget,
                          WDFREQUEST* Request);
NTSTATUS WdfRequestReuse(WDFREQUEST Request, PWDF_REQUEST_REUSE_PARAMS ReuseParams);
// TRUE when the cancellation was passed to the request's IRP.
BOOLEAN WdfRequestCancelSentRequest(WDFREQUEST Request);

// Parameters and buffers of a request the framework presented.
VOID WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters);
// Fails with STATUS_BUFFER_TOO_SMALL when the buffer is empty or shorter than
// MinimumRequiredLength; Length is optional.
NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength,
                                       PVOID* Buffer, size_t* Length);
NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength,
                                        PVOID* Buffer, size_t* Length);
WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request);
WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST Request);
PIRP WdfRequestWdmGetIrp(WDFREQUEST Request);
KPROCESSOR_MODE WdfRequestGetRequestorMode(WDFREQUEST Request);

// Completion.
VOID WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status);
VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information);
VOID WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information);
ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request);
NTSTATUS WdfRequestGetStatus(WDFREQUEST Request);

// Sending down.
VOID WdfRequestFormatRequestUsingCurrentType(WDFREQUEST Request);
VOID WdfRequestSetCompletionRoutine(WDFREQUEST Request,
                                    PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                    WDFCONTEXT CompletionContext);
VOID WdfRequestGetCompletionParams(WDFREQUEST Request, PWDF_REQUEST_COMPLETION_PARAMS Params);
// FALSE when the request could not be sent; WdfRequestGetStatus then holds why.
BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options);

} // extern "C"
