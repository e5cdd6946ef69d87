// The function device's context: the one record through which every part of
// the driver shares the state of one arcade stick.
#pragma once

#include "platform/platform.h"
#include "appapi/quillex_public.h"
#include "platform/memory_buffer.h"
#include "hid/worker_record.h"
#include "mapping/arcade_state.h"
#include "mapping/canonical_state.h"

#define HID_REPORT_TYPE_COUNT 3 // input, output, feature

typedef struct _HID_STATE {
    HID_COLLECTION_INFORMATION CollectionInformation; // only DescriptorSize is used
    MEMORY_BUFFER PreparsedData;                      // DescriptorSize bytes
    WDFIOTARGET DefaultIoTarget;                      // the next-lower driver
    HIDP_CAPS Caps;                                   // kept across resets until the next probe
    MEMORY_BUFFER ButtonCaps[HID_REPORT_TYPE_COUNT];  // indexed by HIDP_REPORT_TYPE
    MEMORY_BUFFER ValueCaps[HID_REPORT_TYPE_COUNT];
} HID_STATE;

typedef struct _DEVICE_CONTEXT {
    // Identity.
    WDFDRIVER Driver;
    WDFDEVICE Device; // parent of every object the driver makes for this stick
    ULONG InstanceNumber;
    ULONG ProductId; // from "PID_" in the hardware ID; 0x402 selects raw layout A
    APP_INSTANCE AppInstance;

    // HID pipeline.
    HID_STATE Hid;
    MEMORY_BUFFER OutputReport; // OutputReportByteLength + 1 bytes
    WDFREQUEST OutputReportWdfRequest;
    MEMORY_BUFFER OutputButtonUsageList;
    MEMORY_BUFFER InputReport; // raw input report, InputReportByteLength + 1 bytes
    WDFREQUEST InputReportWdfRequest;
    ULONG CanonicalButtons;     // decoded button word, 13 bits used
    MEMORY_BUFFER AnalogValues; // ULONG entries, indexed by ANALOG_INDEX

    // Reader thread.
    WORKER_RECORD ReaderWorker; // prepared by device add
    // Launches the reader for an open the lower driver completed above
    // PASSIVE_LEVEL; a child of Device.
    WDFWORKITEM ReaderLaunchWorkItem;
    BOOLEAN bInputThreadStop; // set only by the reader thread
    KEVENT ReadCompleteEvent; // synchronization event, set by the read completion
    WDFIOTARGET ShadowIoTarget;
    UNICODE_STRING PdoName; // the stick's physical device object; buffer owned by Device

    // StateLock serialises the decoded state (CanonicalButtons, AnalogValues'
    // entries and its Buffer pointer), the composition into XusbInputReport
    // and AppInstance: the read completion at DISPATCH_LEVEL, the reader
    // thread, application pushes and reads on parallel queue threads, and the
    // refresh all take it. Rules:
    //  - held only to copy the state and compose the report, never across the
    //    hand-over to the emulated controller: a caller copies XusbInputReport
    //    out under the lock and hands over the copy;
    //  - HID setup and teardown attach and detach AnalogValues' buffer under
    //    it, so nobody reads through a buffer being freed;
    //  - XusbPdo is cleared under it by the child's cleanup, and whoever hands
    //    a report over takes the child with Bus_XusbReferenceChildLocked under
    //    it (the child's HandOverRundown).
    KSPIN_LOCK StateLock;

    // Mapping engine.
    KMUTEX MappingMutex; // guards the LED update only
    BOOLEAN MappingInitialized;
    UCHAR XusbInputReport[XUSB_INPUT_REPORT_LENGTH];
    BOOLEAN XusbReportPending;
    UCHAR LedState; // written under MappingMutex and StateLock, read under either
    REMAP_RECORD RemapRecord;
    UCHAR CurveTables[QUILLEX_CURVE_COUNT][256];
    ARCADE_STATE Arcade;              // settings beside the record, and their run-time state
    MEMORY_BUFFER RegistryPathBuffer; // holds RegistryPath's characters
    UNICODE_STRING RegistryPath;      // service key + \Parameters\Remap

    // The emulated Xbox 360 controller.
    WDFDEVICE XusbPdo; // null while there is none
    BOOLEAN PdoCreated;
    BOOLEAN HardwareReleased;
} DEVICE_CONTEXT, *PDEVICE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, QuillexGetDeviceContext)

// The context's BOOLEAN flags that one thread sets while another tests them
// (HardwareReleased and PdoCreated between the PnP callbacks, the opens and
// the reader; bInputThreadStop between the reader and its read completion):
// read and written whole, with a full barrier, at any IRQL.
FORCEINLINE BOOLEAN QuillexReadFlag(BOOLEAN volatile* Flag) {
    return _InterlockedCompareExchange8(reinterpret_cast<CHAR volatile*>(Flag), 0, 0) != 0;
}

FORCEINLINE VOID QuillexWriteFlag(BOOLEAN volatile* Flag, BOOLEAN Value) {
    (VOID) _InterlockedExchange8(reinterpret_cast<CHAR volatile*>(Flag), Value ? 1 : 0);
}

// XusbPdo as the reader thread may be publishing it.
FORCEINLINE WDFDEVICE QuillexChildOf(PDEVICE_CONTEXT Context) {
    return static_cast<WDFDEVICE>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&Context->XusbPdo), NULL, NULL));
}
