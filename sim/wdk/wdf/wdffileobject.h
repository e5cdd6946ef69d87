// KMDF file objects: one per open of a device, when the device asks for them.
#pragma once

#include "wdf/wdfobject.h"

typedef enum _WDF_FILEOBJECT_CLASS {
    WdfFileObjectInvalid = 0,
    WdfFileObjectNotRequired = 1,
    WdfFileObjectWdfCanUseFsContext = 2,
    WdfFileObjectWdfCanUseFsContext2 = 3,
    WdfFileObjectWdfCannotUseFsContexts = 4,
    WdfFileObjectCanBeOptional = 0x80000000,
} WDF_FILEOBJECT_CLASS;

typedef VOID EVT_WDF_FILE_CLOSE(WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLOSE* PFN_WDF_FILE_CLOSE;
typedef VOID EVT_WDF_FILE_CLEANUP(WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLEANUP* PFN_WDF_FILE_CLEANUP;

extern "C" {
PFILE_OBJECT WdfFileObjectWdmGetFileObject(WDFFILEOBJECT FileObject);
WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject);
}
