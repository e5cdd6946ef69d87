// KMDF devices: the device init record, PnP and power callbacks, file object
// configuration, device creation, interfaces and PnP properties.
#pragma once

#include "wdf/wdfobject.h"
#include "wdf/wdffileobject.h"

typedef enum _WDF_POWER_DEVICE_STATE {
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0,
    WdfPowerDeviceD1,
    WdfPowerDeviceD2,
    WdfPowerDeviceD3,
    WdfPowerDeviceD3Final,
    WdfPowerDevicePrepareForHibernation,
    WdfPowerDeviceMaximum,
} WDF_POWER_DEVICE_STATE;

typedef enum _WDF_SPECIAL_FILE_TYPE {
    WdfSpecialFileUndefined = 0,
    WdfSpecialFilePaging = 1,
    WdfSpecialFileHibernation,
    WdfSpecialFileDump,
    WdfSpecialFileMax,
} WDF_SPECIAL_FILE_TYPE;

typedef enum _WDF_DEVICE_IO_TYPE {
    WdfDeviceIoUndefined = 0,
    WdfDeviceIoNeither,
    WdfDeviceIoBuffered,
    WdfDeviceIoDirect,
} WDF_DEVICE_IO_TYPE;

typedef NTSTATUS EVT_WDF_DEVICE_D0_ENTRY(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY* PFN_WDF_DEVICE_D0_ENTRY;
typedef NTSTATUS
EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED(WDFDEVICE Device,
                                                WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED*
    PFN_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED;
typedef NTSTATUS EVT_WDF_DEVICE_D0_EXIT(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT* PFN_WDF_DEVICE_D0_EXIT;
typedef NTSTATUS EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED(WDFDEVICE Device,
                                                                WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED*
    PFN_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED;
typedef NTSTATUS EVT_WDF_DEVICE_PREPARE_HARDWARE(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                                 WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_PREPARE_HARDWARE* PFN_WDF_DEVICE_PREPARE_HARDWARE;
typedef NTSTATUS EVT_WDF_DEVICE_RELEASE_HARDWARE(WDFDEVICE Device,
                                                 WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_RELEASE_HARDWARE* PFN_WDF_DEVICE_RELEASE_HARDWARE;
typedef VOID EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP* PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP;
typedef VOID EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH* PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH;
typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT* PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT;
typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND* PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND;
typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART* PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART;
typedef VOID EVT_WDF_DEVICE_SURPRISE_REMOVAL(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SURPRISE_REMOVAL* PFN_WDF_DEVICE_SURPRISE_REMOVAL;
typedef NTSTATUS EVT_WDF_DEVICE_QUERY_REMOVE(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_QUERY_REMOVE* PFN_WDF_DEVICE_QUERY_REMOVE;
typedef NTSTATUS EVT_WDF_DEVICE_QUERY_STOP(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_QUERY_STOP* PFN_WDF_DEVICE_QUERY_STOP;
typedef VOID EVT_WDF_DEVICE_USAGE_NOTIFICATION(WDFDEVICE Device,
                                               WDF_SPECIAL_FILE_TYPE NotificationType,
                                               BOOLEAN IsInNotificationPath);
typedef EVT_WDF_DEVICE_USAGE_NOTIFICATION* PFN_WDF_DEVICE_USAGE_NOTIFICATION;
typedef VOID EVT_WDF_DEVICE_RELATIONS_QUERY(WDFDEVICE Device, DEVICE_RELATION_TYPE RelationType);
typedef EVT_WDF_DEVICE_RELATIONS_QUERY* PFN_WDF_DEVICE_RELATIONS_QUERY;

typedef struct _WDF_PNPPOWER_EVENT_CALLBACKS {
    ULONG Size;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
    PFN_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED EvtDeviceD0EntryPostInterruptsEnabled;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
    PFN_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED EvtDeviceD0ExitPreInterruptsDisabled;
    PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
    PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP EvtDeviceSelfManagedIoCleanup;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH EvtDeviceSelfManagedIoFlush;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT EvtDeviceSelfManagedIoInit;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND EvtDeviceSelfManagedIoSuspend;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART EvtDeviceSelfManagedIoRestart;
    PFN_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;
    PFN_WDF_DEVICE_QUERY_REMOVE EvtDeviceQueryRemove;
    PFN_WDF_DEVICE_QUERY_STOP EvtDeviceQueryStop;
    PFN_WDF_DEVICE_USAGE_NOTIFICATION EvtDeviceUsageNotification;
    PFN_WDF_DEVICE_RELATIONS_QUERY EvtDeviceRelationsQuery;
} WDF_PNPPOWER_EVENT_CALLBACKS, *PWDF_PNPPOWER_EVENT_CALLBACKS;

inline VOID WDF_PNPPOWER_EVENT_CALLBACKS_INIT(PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks) {
    RtlZeroMemory(Callbacks, sizeof(WDF_PNPPOWER_EVENT_CALLBACKS));
    Callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

typedef VOID EVT_WDF_DEVICE_FILE_CREATE(WDFDEVICE Device, WDFREQUEST Request,
                                        WDFFILEOBJECT FileObject);
typedef EVT_WDF_DEVICE_FILE_CREATE* PFN_WDF_DEVICE_FILE_CREATE;

typedef struct _WDF_FILEOBJECT_CONFIG {
    ULONG Size;
    PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
    PFN_WDF_FILE_CLOSE EvtFileClose;
    PFN_WDF_FILE_CLEANUP EvtFileCleanup;
    WDF_TRI_STATE AutoForwardCleanupClose;
    WDF_FILEOBJECT_CLASS FileObjectClass;
} WDF_FILEOBJECT_CONFIG, *PWDF_FILEOBJECT_CONFIG;

inline VOID WDF_FILEOBJECT_CONFIG_INIT(PWDF_FILEOBJECT_CONFIG FileEventCallbacks,
                                       PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate,
                                       PFN_WDF_FILE_CLOSE EvtFileClose,
                                       PFN_WDF_FILE_CLEANUP EvtFileCleanup) {
    FileEventCallbacks->Size = sizeof(WDF_FILEOBJECT_CONFIG);
    FileEventCallbacks->EvtDeviceFileCreate = EvtDeviceFileCreate;
    FileEventCallbacks->EvtFileClose = EvtFileClose;
    FileEventCallbacks->EvtFileCleanup = EvtFileCleanup;
    FileEventCallbacks->FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    FileEventCallbacks->AutoForwardCleanupClose = WdfUseDefault;
}

// PnP capabilities a device reports; WdfUseDefault leaves a capability to
// the bus, and an Address or UINumber of -1 leaves it unset.
typedef struct _WDF_DEVICE_PNP_CAPABILITIES {
    ULONG Size;
    WDF_TRI_STATE LockSupported;
    WDF_TRI_STATE EjectSupported;
    WDF_TRI_STATE Removable;
    WDF_TRI_STATE DockDevice;
    WDF_TRI_STATE UniqueID;
    WDF_TRI_STATE SilentInstall;
    WDF_TRI_STATE SurpriseRemovalOK;
    WDF_TRI_STATE HardwareDisabled;
    WDF_TRI_STATE NoDisplayInUI;
    ULONG Address;
    ULONG UINumber;
} WDF_DEVICE_PNP_CAPABILITIES, *PWDF_DEVICE_PNP_CAPABILITIES;

inline VOID WDF_DEVICE_PNP_CAPABILITIES_INIT(PWDF_DEVICE_PNP_CAPABILITIES Caps) {
    RtlZeroMemory(Caps, sizeof(WDF_DEVICE_PNP_CAPABILITIES));
    Caps->Size = sizeof(WDF_DEVICE_PNP_CAPABILITIES);
    Caps->LockSupported = WdfUseDefault;
    Caps->EjectSupported = WdfUseDefault;
    Caps->Removable = WdfUseDefault;
    Caps->DockDevice = WdfUseDefault;
    Caps->UniqueID = WdfUseDefault;
    Caps->SilentInstall = WdfUseDefault;
    Caps->SurpriseRemovalOK = WdfUseDefault;
    Caps->HardwareDisabled = WdfUseDefault;
    Caps->NoDisplayInUI = WdfUseDefault;
    Caps->Address = (ULONG)-1;
    Caps->UINumber = (ULONG)-1;
}

// A WDM IRP handed to the driver before the framework sees it; the driver
// owns the IRP from then on.
typedef NTSTATUS EVT_WDFDEVICE_WDM_IRP_PREPROCESS(WDFDEVICE Device, PIRP Irp);
typedef EVT_WDFDEVICE_WDM_IRP_PREPROCESS* PFN_WDFDEVICE_WDM_IRP_PREPROCESS;

extern "C" {

// Device init (every kind of device).
VOID WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, DEVICE_TYPE DeviceType);
NTSTATUS WdfDeviceInitAssignSDDLString(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING SDDLString);
NTSTATUS WdfDeviceInitAssignWdmIrpPreprocessCallback(
    PWDFDEVICE_INIT DeviceInit, PFN_WDFDEVICE_WDM_IRP_PREPROCESS EvtDeviceWdmIrpPreprocess,
    UCHAR MajorFunction, PUCHAR MinorFunctions, ULONG NumMinorFunctions);
// Frees an init record from WdfPdoInitAllocate that WdfDeviceCreate did not take.
VOID WdfDeviceInitFree(PWDFDEVICE_INIT DeviceInit);

// Device init (function and filter devices).
VOID WdfFdoInitSetFilter(PWDFDEVICE_INIT DeviceInit);
PDEVICE_OBJECT WdfFdoInitWdmGetPhysicalDevice(PWDFDEVICE_INIT DeviceInit);
VOID WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                            PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks);
VOID WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit,
                                      PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                      PWDF_OBJECT_ATTRIBUTES FileObjectAttributes);
VOID WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType);

// Devices.
NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                         WDFDEVICE* Device);
WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device);
PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE Device);
PDEVICE_OBJECT WdfDeviceWdmGetAttachedDevice(WDFDEVICE Device);
PDEVICE_OBJECT WdfDeviceWdmGetPhysicalDevice(WDFDEVICE Device);
WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device);
WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE Device);
VOID WdfDeviceSetPnpCapabilities(WDFDEVICE Device, PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities);

// Device interfaces: registered now, enabled when the device starts.
NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                        PCUNICODE_STRING ReferenceString);

// PnP properties of the device's PDO.
NTSTATUS WdfDeviceQueryProperty(WDFDEVICE Device, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength);
NTSTATUS WdfDeviceAllocAndQueryProperty(WDFDEVICE Device, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                        POOL_TYPE PoolType,
                                        PWDF_OBJECT_ATTRIBUTES PropertyMemoryAttributes,
                                        WDFMEMORY* PropertyMemory);

} // extern "C"
