// Staged answers, the emulated device's pipe handles and buffer dumps.
#pragma once

#include "platform/platform.h"

// One row of a staged response table: the n-th request of a kind since the
// last device-descriptor request gets row n.
typedef struct _STAGED_RESPONSE {
    const UCHAR* Data;
    ULONG Length;     // bytes to copy; 0 copies nothing
    ULONG UsbdStatus; // when not 0, stored into the URB's UrbHeader.Status
} STAGED_RESPONSE;
typedef const STAGED_RESPONSE* PCSTAGED_RESPONSE;

// Our pipe handles are not pointers but this value:
// (transfer type << 16) | (bInterval << 8) | bEndpointAddress.
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4201) // nameless struct/union, as the WDK's own headers allow
#endif
typedef union _XUSB_PIPE_HANDLE {
    struct {
        UCHAR EndpointAddress; // bit 7 set: IN; low 4 bits: endpoint number
        UCHAR Interval;
        UCHAR TransferType; // bmAttributes & 3
        UCHAR Reserved;
    };
    ULONG Value;
} XUSB_PIPE_HANDLE;
#if defined(_MSC_VER)
#pragma warning(pop)
#endif

static_assert(sizeof(XUSB_PIPE_HANDLE) == sizeof(ULONG), "XUSB_PIPE_HANDLE is 32 bits");

#define XUSB_PIPE_HANDLE_FROM_URB(PipeHandle) ((ULONG)(ULONG_PTR)(PipeHandle))
#define XUSB_PIPE_HANDLE_TO_URB(Handle)       ((USBD_PIPE_HANDLE)(ULONG_PTR)(Handle).Value)

// Configuration and interface handles of the emulated device.
#define XUSB_CONFIGURATION_HANDLE ((USBD_CONFIGURATION_HANDLE)(ULONG_PTR)0xDEADBEEF)
#define XUSB_INTERFACE_HANDLE     ((USBD_INTERFACE_HANDLE)(ULONG_PTR)0xDEADBEEF)

// Answers the request with the row its stage counter names and moves the
// counter on (also after a size error). A counter at the end of the table
// answers STATUS_SUCCESS with no data.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    CopyStagedResponse(_Inout_ UCHAR* StageCounter, _In_ PCSTAGED_RESPONSE Table,
                       _In_ ULONG RowCount, _In_ PCSTR Name, _Out_opt_ PVOID Buffer,
                       _In_ ULONG BufferLength, _Out_ USBD_STATUS* UrbStatus);

// CopyStagedResponse that also reports in *BytesCopied how many bytes it wrote
// to Buffer: the row's length, or 0 when it copied nothing.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    XboxControllerAnswerStage(_Inout_ UCHAR* StageCounter, _In_ PCSTAGED_RESPONSE Table,
                              _In_ ULONG RowCount, _In_ PCSTR Name, _Out_opt_ PVOID Buffer,
                              _In_ ULONG BufferLength, _Out_ USBD_STATUS* UrbStatus,
                              _Out_ PULONG BytesCopied);

// The two steps of CopyStagedResponse, for handlers that treat an exhausted
// table their own way. Claiming returns STATUS_NO_MORE_ENTRIES at the end of
// the table; otherwise *Stage is this request's row and the counter has moved.
// Copying reports in *BytesCopied what it wrote: the row's length, or 0.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    XboxControllerClaimStage(_Inout_ UCHAR* StageCounter, _In_ ULONG RowCount, _Out_ UCHAR* Stage);
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    XboxControllerCopyStage(_In_ PCSTAGED_RESPONSE Table, _In_ UCHAR Stage, _In_ PCSTR Name,
                            _Out_opt_ PVOID Buffer, _In_ ULONG BufferLength,
                            _Out_ USBD_STATUS* UrbStatus, _Out_ PULONG BytesCopied);

// Trace dump of a buffer, as hexadecimal bytes and as printable characters.
NTSTATUS TraceBuffer(_In_opt_ const VOID* Buffer, _In_ ULONG Length);
