// URB dispatch of the emulated controller and its handlers: descriptors,
// configuration, control transfers and the two interrupt endpoints.
#pragma once

#include "xusb/xusb_pdo.h"

// Validates and parses the emulated configuration descriptor set into
// PdoData->Configuration; called once as the child is made.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    XboxControllerPrepareConfiguration(_Inout_ PXUSB_PDO_DEVICE_DATA PdoData);

// URB dispatch and the control endpoint.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    HandleXusbPdoURB(_In_opt_ WDFDEVICE Device, _Inout_opt_ PIRP Irp);
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    XboxControllerGetDescriptorFromDevice(_In_ PXUSB_PDO_DEVICE_DATA PdoData, _Inout_ PURB Urb);
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    XboxControllerSelectConfig(_In_ PXUSB_PDO_DEVICE_DATA PdoData, _Inout_ PURB Urb);
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    XboxControllerControlTransfer(_In_ PXUSB_PDO_DEVICE_DATA PdoData, _Inout_ PURB Urb);

// The USBD status a USB stack reports in UrbHeader.Status for a request that
// completes with Status.
USBD_STATUS XboxControllerUsbdStatus(_In_ NTSTATUS Status);
// Gives the URB the USBD status matching Status, unless its handler has
// already stored one (UrbHeader.Status is no longer USBD_STATUS_PENDING), and
// never past the length the URB's header gives.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    XboxControllerSetUrbStatus(_Inout_ PURB Urb, _In_ NTSTATUS Status);

// The buffer a transfer reads or writes: its TransferBuffer, or else the
// system address of its MDL. *Length is TransferBufferLength, bounded by what
// the MDL describes. STATUS_INVALID_DEVICE_REQUEST when there is neither, or
// the MDL cannot be mapped.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    XboxControllerGetTransferBuffer(_In_opt_ PVOID TransferBuffer, _In_opt_ PMDL TransferBufferMDL,
                                    _In_ ULONG TransferBufferLength, _Out_ PVOID* Buffer,
                                    _Out_ PULONG Length);

// The interrupt endpoints.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    XboxControllerURBInterrupt(_In_ PXUSB_PDO_DEVICE_DATA PdoData, _Inout_ PURB Urb,
                               _Inout_ PIRP Irp);
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    HandleEP1InterruptInURB(_In_ PXUSB_PDO_DEVICE_DATA PdoData, _Inout_ PURB Urb);
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    QueueEp1InIrp(_In_ PXUSB_PDO_DEVICE_DATA PdoData, _Inout_ PIRP Irp);
DRIVER_CANCEL EP1CancelRoutine;
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    HandleEP2InterruptOutURB(_In_ PXUSB_PDO_DEVICE_DATA PdoData, _In_ PURB Urb);
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    HandleXboxLEDDecode(_In_ PXUSB_PDO_DEVICE_DATA PdoData, _In_ UCHAR LedCommand);

// URB_FUNCTION_ABORT_PIPE and URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL on
// one of the two interrupt pipes: an abort completes every transfer waiting on
// it with STATUS_CANCELLED; a reset has no stall to clear. Any other handle is
// refused with STATUS_INVALID_PARAMETER.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    XboxControllerPipeRequest(_In_ PXUSB_PDO_DEVICE_DATA PdoData, _Inout_ PURB Urb);
// Completes, with Status, every endpoint 1 transfer still waiting that is ours
// (a transfer whose cancel routine the system has taken is left to it).
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    XboxControllerCompleteEp1Transfers(_In_ PXUSB_PDO_DEVICE_DATA PdoData, _In_ NTSTATUS Status);

// Completes every transfer still waiting on endpoint 1 and waits for cancel
// routines that already own one, so that the context can go away.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    XboxControllerFlushEp1Transfers(_In_ PXUSB_PDO_DEVICE_DATA PdoData);

// LED commands: the newest LED state is handed to the mapping engine at
// PASSIVE_LEVEL by the child's LED work item.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    XboxControllerQueueLedState(_In_ PXUSB_PDO_DEVICE_DATA PdoData, _In_ UCHAR LedState);
EVT_WDF_WORKITEM XboxControllerLedWorkItem;
