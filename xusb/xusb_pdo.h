// The emulated Xbox 360 controller: the child device's context, and the
// entry points the rest of the driver and the framework call.
#pragma once

#include "platform/platform.h"
#include "mapping/canonical_state.h"

// No LED state waits for the LED work item.
#define XUSB_NO_LED_STATE (-1L)

// Endpoints of the emulated interface that select-configuration hands out.
#define XUSB_MAX_ENDPOINTS 2

// The emulated configuration descriptor set as the USB library checked and
// parsed it once, at PASSIVE_LEVEL, when the child was made. URBs arrive up to
// DISPATCH_LEVEL, above what validation and interface parsing allow, so they
// are served from this. The pointers are into the constant set.
typedef struct _XUSB_CONFIGURATION {
    NTSTATUS ValidationStatus;           // of USBD_ValidateConfigurationDescriptor
    ULONG OffendingOffset;               // of the byte it rejected, from the start of the set
    PUSB_INTERFACE_DESCRIPTOR Interface; // null when the set is invalid or has none
    PUSB_ENDPOINT_DESCRIPTOR Endpoints[XUSB_MAX_ENDPOINTS];
    ULONG EndpointCount;
} XUSB_CONFIGURATION;

typedef struct _XUSB_PDO_DEVICE_DATA {
    ULONG InstanceNumber;   // of the parent function device; also our address and UI number
    WDFDEVICE ParentDevice; // the function device, which outlives us
    ULONG ProductId;        // the stick's USB product id; its low 16 bits are our idProduct

    // Stage counters of the staged answers. URBs arrive on several threads at
    // once, so each request claims its stage with an interlocked exchange.
    UCHAR ConfigDescriptorState;
    UCHAR StringDescriptorState;
    UCHAR Ep1InState;
    UCHAR VendorRequestState;

    // The configuration is offered only once the device descriptor has been
    // read since the child was made, as a device is enumerated; set with an
    // interlocked exchange by that request.
    XUSB_CONFIGURATION Configuration;
    LONG ConfigurationDescribed;

    LIST_ENTRY PendingEp1Irps; // endpoint 1 IN transfers waiting for a report, oldest first
    KSPIN_LOCK PendingEp1Lock; // guards PendingEp1Irps and the latest report below
    BOOLEAN bRemoved;          // set once by QuillexRemovePdo, never cleared

    // A report that found no transfer waiting: the controller's current state,
    // which answers the next endpoint 1 transfer at once.
    BOOLEAN LatestReportHeld;
    UCHAR LatestReport[XUSB_INPUT_REPORT_LENGTH];

    // Held by each cancel routine that has taken a waiting transfer, for as
    // long as it uses this record; the child's cleanup runs it down.
    EX_RUNDOWN_REF Ep1CancelRundown;

    // Held by each hand-over that took this child from its parent (see
    // Bus_XusbReferenceChildLocked); the child's cleanup runs it down once
    // nobody can take the child any more.
    EX_RUNDOWN_REF HandOverRundown;

    // LED commands arrive with URBs, up to DISPATCH_LEVEL; the LED state is
    // recorded under a mutex, at PASSIVE_LEVEL. The newest command waits in
    // PendingLedState for the work item; LedMutex keeps its runs in order.
    WDFWORKITEM LedWorkItem;
    LONG PendingLedState; // an LED state, or XUSB_NO_LED_STATE
    KMUTEX LedMutex;
} XUSB_PDO_DEVICE_DATA, *PXUSB_PDO_DEVICE_DATA;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(XUSB_PDO_DEVICE_DATA, XusbPdoGetData)

// Creation, identity and removal of the child.

// Creates the emulated controller as a static child of Device (the function
// device); InstanceNumber (the device's own) becomes its instance ID ("%02d"),
// address and UI number. Called at PASSIVE_LEVEL by the HID reader thread,
// once after each prepare-hardware.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    Bus_XusbCreatePdo(_In_ WDFDEVICE Device, _In_ ULONG InstanceNumber);

// Fills the context of a newly created child of Device: identity, the empty
// transfer list, the stage counters and the LED work item (parented to Pdo).
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    Bus_XusbInitializePdoData(_In_ WDFDEVICE Pdo, _In_ WDFDEVICE Device, _In_ ULONG InstanceNumber);

// Marks the child removed: URBs and input reports are refused from then on.
NTSTATUS QuillexRemovePdo(_In_opt_ WDFDEVICE Pdo);

// The child's cleanup callback: finishes the transfers it still holds, clears
// the parent's XusbPdo under its StateLock and waits until no hand-over that
// took the child before that is still using it.
EVT_WDF_OBJECT_CONTEXT_CLEANUP XusbPdoCleanup;

// The parent's current child for one hand-over, or null when there is none.
// The caller holds the parent's StateLock; a child returned stays usable
// until Bus_XusbDereferenceChild, even if its deletion starts meanwhile.
_IRQL_requires_(DISPATCH_LEVEL) PXUSB_PDO_DEVICE_DATA
    Bus_XusbReferenceChildLocked(_In_ struct _DEVICE_CONTEXT* Parent);
// Ends a hand-over that Bus_XusbReferenceChildLocked started on Child.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID Bus_XusbDereferenceChild(_In_ PXUSB_PDO_DEVICE_DATA Child);

// Trace dump of a double-null-terminated UTF-16 string list.
NTSTATUS TraceMultiSz(_In_opt_ PCSTR Prefix, _In_opt_ PCSTR Title, _In_opt_ PCWSTR MultiSz);

// The WDM requests the child answers itself (preprocess callbacks).
EVT_WDFDEVICE_WDM_IRP_PREPROCESS HandleXusbPdoInternalIrp;
EVT_WDFDEVICE_WDM_IRP_PREPROCESS HandleXusbPdoPnPIrp;
NTSTATUS HandleQueryInterfaceIrp(_In_ WDFDEVICE Device, _Inout_ PIRP Irp);

// Hands a 20-byte input report to the oldest waiting endpoint 1 transfer.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    HandleXusbInputReport(_In_opt_ PXUSB_PDO_DEVICE_DATA PdoData, _In_opt_ const UCHAR* Report);
