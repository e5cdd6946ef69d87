// What a KMDF driver hands the framework loader (WDFLDR.SYS) when it binds,
// in the loader's public layout. Shared by the driver's binding and by the
// stand-in loader the Wine start runs it with.
#pragma once

#include <ntddk.h>

// The framework version the driver binds to, and the size of KMDF 1.9's
// function table: the driver calls nothing past it.
#define QUILLEX_KMDF_MAJOR          1
#define QUILLEX_KMDF_MINOR          9
#define QUILLEX_KMDF_BUILD          0
#define QUILLEX_KMDF_FUNCTION_COUNT 396

typedef VOID (*QUILLEX_WDFFUNC)(VOID);

typedef struct _WDF_VERSION {
    ULONG Major;
    ULONG Minor;
    ULONG Build;
} WDF_VERSION;

typedef struct _WDF_BIND_INFO {
    ULONG Size;
    PWCHAR Component;
    WDF_VERSION Version;
    ULONG FuncCount;
    // A driver of KMDF 1.9's time hands over its own table of FuncCount
    // entries, which the framework fills when it binds.
    QUILLEX_WDFFUNC* FuncTable;
    PVOID Module;
} WDF_BIND_INFO, *PWDF_BIND_INFO;

typedef PVOID PWDF_COMPONENT_GLOBALS;

// The driver imports the loader's routines; the stand-in loader exports them.
#ifndef WDFLDR_API
#define WDFLDR_API __declspec(dllimport)
#endif

EXTERN_C WDFLDR_API NTSTATUS NTAPI WdfVersionBind(PDRIVER_OBJECT DriverObject,
                                                  PUNICODE_STRING RegistryPath,
                                                  PWDF_BIND_INFO BindInfo,
                                                  PWDF_COMPONENT_GLOBALS* ComponentGlobals);
EXTERN_C WDFLDR_API NTSTATUS NTAPI WdfVersionUnbind(PUNICODE_STRING RegistryPath,
                                                    PWDF_BIND_INFO BindInfo,
                                                    PWDF_COMPONENT_GLOBALS ComponentGlobals);
