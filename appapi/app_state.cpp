#include "appapi/app_state.h"

_Use_decl_annotations_ NTSTATUS AppApi_Initialize(PAPP_INSTANCE Instance) {
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!AppApi_Initialize: ++\n");

    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (Instance != NULL) {
        for (ULONG i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
            Instance->Buttons[i] = 0;
        }
        // The padding is left as the zero-filled context has it.
        Instance->RightStickY = 128;
        Instance->RightStickX = 128;
        Instance->LeftStickX = 128;
        Instance->LeftStickY = 128;
        Instance->Dpad = HAT_CENTRED;
        Instance->FirstTrigger = 0;
        Instance->SecondTrigger = 0;
        Instance->Led = 3;
        status = STATUS_SUCCESS;
    }

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_ENTRY, "Quillex!AppApi_Initialize: -- %x\n", status);
    return status;
}
