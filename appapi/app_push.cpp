// The push of the application's block into the decoded state and out to the
// emulated controller, and the refresh of the block from the decoded state.
//
// Both run against the read completion (at DISPATCH_LEVEL), the reader thread
// and each other, so the state they share is only touched under StateLock:
// a report is always composed from one whole state, and the hand-over works
// on a copy of it.
#include "appapi/app_data.h"

#include "mapping/led_state.h"
#include "mapping/xusb_report.h"
#include "xusb/xusb_pdo.h"

namespace {

inline bool DecodedStateExists(const DEVICE_CONTEXT* Context) {
    return Context->AnalogValues.Buffer != NULL &&
           Context->AnalogValues.Size >= ANALOG_VALUE_COUNT * sizeof(ULONG);
}

// The push in two halves: what happens under StateLock (the block becomes the
// decoded state, a report is composed and copied out, the child is taken),
// and the hand-over of the copy after the lock is released.
struct APP_PUSH {
    NTSTATUS Status; // of the locked half: composition, or not ready
    ULONG Led;       // the block's LED index
    UCHAR Report[XUSB_INPUT_REPORT_LENGTH];
    PXUSB_PDO_DEVICE_DATA Child; // referenced; null when there is none
};

VOID AppApiPushLocked(PDEVICE_CONTEXT Context, const APP_INSTANCE* Instance, APP_PUSH* Push) {
    Push->Child = NULL;
    Push->Led = Instance->Led;
    // Before HID setup, after teardown or a failed setup there is no decoded
    // state to drive: the block keeps the values, nothing is composed.
    if (!DecodedStateExists(Context)) {
        Push->Status = STATUS_DEVICE_NOT_READY;
        return;
    }
    ULONG buttons = Context->CanonicalButtons & ~static_cast<ULONG>(CANONICAL_BUTTONS_MASK);
    for (ULONG i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
        if (Instance->Buttons[i] != 0) {
            buttons |= 1UL << i;
        }
    }
    Context->CanonicalButtons = buttons;
    ULONG* analog = static_cast<ULONG*>(Context->AnalogValues.Buffer);
    analog[ANALOG_RIGHT_STICK_Y] = Instance->RightStickY;
    analog[ANALOG_RIGHT_STICK_X] = Instance->RightStickX;
    analog[ANALOG_LEFT_STICK_X] = Instance->LeftStickX;
    analog[ANALOG_LEFT_STICK_Y] = Instance->LeftStickY;
    analog[ANALOG_HAT] = Instance->Dpad;
    // The block's triggers drive the decoded ones crosswise (see the public
    // header): applications rely on it.
    analog[ANALOG_RIGHT_TRIGGER] = Instance->FirstTrigger;
    analog[ANALOG_LEFT_TRIGGER] = Instance->SecondTrigger;

    Push->Status = TorvaXboxMappingGetInputReport(Context, Context->XusbInputReport,
                                                  sizeof(Context->XusbInputReport));
    if (NT_SUCCESS(Push->Status)) {
        RtlCopyMemory(Push->Report, Context->XusbInputReport, sizeof(Push->Report));
        Push->Child = Bus_XusbReferenceChildLocked(Context);
    }
}

NTSTATUS AppApiHandOver(PDEVICE_CONTEXT Context, APP_PUSH* Push) {
    if (Push->Status == STATUS_DEVICE_NOT_READY) {
        return Push->Status;
    }
    (VOID) QuillexSetLed(Context, Push->Led);
    if (!NT_SUCCESS(Push->Status)) {
        TraceEvents(
            TRACE_LEVEL_ERROR, TRACE_IOCTL,
            "Quillex!AppApi_AppToQuillex: <%u> TorvaXboxMappingGetInputReport failed - %x\n",
            Context->InstanceNumber, Push->Status);
        return Push->Status;
    }
    NTSTATUS status = Push->Status;
    if (Push->Child != NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_IOCTL,
                    "Quillex!AppApi_AppToQuillex: <%u> Send IR to PDO b \n",
                    Context->InstanceNumber);
        status = HandleXusbInputReport(Push->Child, Push->Report);
        Bus_XusbDereferenceChild(Push->Child);
        Push->Child = NULL;
        // A controller that is not polling keeps the report for its next
        // poll, and one being removed reads nothing more: the state is
        // stored either way, which is all the application asked for.
        if (status == STATUS_DEVICE_NOT_READY || status == STATUS_DEVICE_REMOVED) {
            status = STATUS_SUCCESS;
        }
    }
    return status;
}

} // namespace

PAGED_CODE_SEG _Use_decl_annotations_ NTSTATUS AppApi_AppToQuillex(PDEVICE_CONTEXT Context,
                                                                   const APP_INSTANCE* Instance) {
    PAGED_CODE();
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!AppApi_AppToQuillex: ++\n");
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (Context != NULL && Instance != NULL) {
        APP_PUSH push;
        KIRQL irql;
        KeAcquireSpinLock(&Context->StateLock, &irql);
        AppApiPushLocked(Context, Instance, &push);
        KeReleaseSpinLock(&Context->StateLock, irql);
        status = AppApiHandOver(Context, &push);
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!AppApi_AppToQuillex: -- %x\n", status);
    return status;
}

_Use_decl_annotations_ NTSTATUS AppApi_QuillexToApp(PDEVICE_CONTEXT Context,
                                                    PAPP_INSTANCE Instance) {
    if (Context == NULL || Instance == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    KeAcquireSpinLock(&Context->StateLock, &irql);
    if (!DecodedStateExists(Context)) {
        status = STATUS_DEVICE_NOT_READY;
    } else {
        const ULONG buttons = Context->CanonicalButtons;
        for (ULONG i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
            Instance->Buttons[i] = static_cast<UCHAR>((buttons >> i) & 1);
        }
        const ULONG* analog = static_cast<const ULONG*>(Context->AnalogValues.Buffer);
        Instance->RightStickY = analog[ANALOG_RIGHT_STICK_Y];
        Instance->RightStickX = analog[ANALOG_RIGHT_STICK_X];
        Instance->LeftStickX = analog[ANALOG_LEFT_STICK_X];
        Instance->LeftStickY = analog[ANALOG_LEFT_STICK_Y];
        Instance->Dpad = analog[ANALOG_HAT];
        Instance->FirstTrigger = analog[ANALOG_LEFT_TRIGGER];
        Instance->SecondTrigger = analog[ANALOG_RIGHT_TRIGGER];
        // The LED the class driver last asked for, as the stick's LED index.
        Instance->Led = TorvaXboxMappingLedIndex(Context->LedState);
    }
    KeReleaseSpinLock(&Context->StateLock, irql);
    return status;
}
