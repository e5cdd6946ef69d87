// KMDF handle types and common enumerations.
#pragma once

#include "ntddk.h"

#define WDF_DECLARE_HANDLE(name)                                                                   \
    struct name##__;                                                                               \
    typedef struct name##__* name

// Any framework handle converts to WDFOBJECT, as with the WDK.
typedef HANDLE WDFOBJECT, *PWDFOBJECT;
WDF_DECLARE_HANDLE(WDFDRIVER);
WDF_DECLARE_HANDLE(WDFDEVICE);
WDF_DECLARE_HANDLE(WDFQUEUE);
WDF_DECLARE_HANDLE(WDFREQUEST);
WDF_DECLARE_HANDLE(WDFIOTARGET);
WDF_DECLARE_HANDLE(WDFMEMORY);
WDF_DECLARE_HANDLE(WDFFILEOBJECT);
WDF_DECLARE_HANDLE(WDFCMRESLIST);
WDF_DECLARE_HANDLE(WDFKEY);
WDF_DECLARE_HANDLE(WDFSTRING);
WDF_DECLARE_HANDLE(WDFWORKITEM);
WDF_DECLARE_HANDLE(WDFSPINLOCK);
WDF_DECLARE_HANDLE(WDFWAITLOCK);
WDF_DECLARE_HANDLE(WDFCOLLECTION);
WDF_DECLARE_HANDLE(WDFCHILDLIST);
WDF_DECLARE_HANDLE(WDFTIMER);

typedef struct WDFDEVICE_INIT* PWDFDEVICE_INIT;

#define WDF_NO_OBJECT_ATTRIBUTES ((PWDF_OBJECT_ATTRIBUTES) nullptr)
#define WDF_NO_HANDLE            nullptr
#define WDF_NO_CONTEXT           nullptr
#define WDF_NO_SEND_OPTIONS      nullptr
#define WDF_NO_EVENT_CALLBACK    nullptr

typedef enum _WDF_TRI_STATE { WdfFalse = FALSE, WdfTrue = TRUE, WdfUseDefault = 2 } WDF_TRI_STATE;

typedef enum _WDF_EXECUTION_LEVEL {
    WdfExecutionLevelInvalid = 0,
    WdfExecutionLevelInheritFromParent,
    WdfExecutionLevelPassive,
    WdfExecutionLevelDispatch,
} WDF_EXECUTION_LEVEL;

typedef enum _WDF_SYNCHRONIZATION_SCOPE {
    WdfSynchronizationScopeInvalid = 0,
    WdfSynchronizationScopeInheritFromParent,
    WdfSynchronizationScopeDevice,
    WdfSynchronizationScopeQueue,
    WdfSynchronizationScopeNone,
} WDF_SYNCHRONIZATION_SCOPE;

inline BOOLEAN WdfTriStateToBoolean(WDF_TRI_STATE s) {
    return s == WdfTrue;
}
