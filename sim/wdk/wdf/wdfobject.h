// KMDF object attributes, typed contexts and object lifetime.
#pragma once

#include "wdf/wdftypes.h"

typedef VOID EVT_WDF_OBJECT_CONTEXT_CLEANUP(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP* PFN_WDF_OBJECT_CONTEXT_CLEANUP;
typedef VOID EVT_WDF_OBJECT_CONTEXT_DESTROY(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY* PFN_WDF_OBJECT_CONTEXT_DESTROY;

typedef struct _WDF_OBJECT_CONTEXT_TYPE_INFO WDF_OBJECT_CONTEXT_TYPE_INFO;
typedef const WDF_OBJECT_CONTEXT_TYPE_INFO* PCWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef PCWDF_OBJECT_CONTEXT_TYPE_INFO(__cdecl_WDF_GET_UNIQUE_CONTEXT_TYPE)(VOID);
typedef __cdecl_WDF_GET_UNIQUE_CONTEXT_TYPE* PFN_GET_UNIQUE_CONTEXT_TYPE;

struct _WDF_OBJECT_CONTEXT_TYPE_INFO {
    ULONG Size;
    PCHAR ContextName;
    size_t ContextSize;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType;
    PFN_GET_UNIQUE_CONTEXT_TYPE EvtDriverGetUniqueContextType;
};

typedef struct _WDF_OBJECT_ATTRIBUTES {
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    size_t ContextSizeOverride;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
} WDF_OBJECT_ATTRIBUTES, *PWDF_OBJECT_ATTRIBUTES;

inline VOID WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES Attributes) {
    RtlZeroMemory(Attributes, sizeof(WDF_OBJECT_ATTRIBUTES));
    Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

#define WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) _WDF_##_contexttype##_TYPE_INFO
#define WDF_TYPE_NAME_POINTER_TYPE(_contexttype) WDF_POINTER_TYPE_##_contexttype
#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype)  (&WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype))

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)                          \
    (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype)                         \
    WDF_OBJECT_ATTRIBUTES_INIT(_attributes);                                                       \
    WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)

// One type-info record per context type; "inline" gives it a single address
// across translation units, as __declspec(selectany) does with the WDK.
#define WDF_DECLARE_TYPE_AND_GLOBALS(_contexttype, _UniqueType, _GetUniqueType)                    \
    typedef _contexttype* WDF_TYPE_NAME_POINTER_TYPE(_contexttype);                                \
    inline const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) = {         \
        sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO),                                                      \
        const_cast<PCHAR>(#_contexttype),                                                          \
        sizeof(_contexttype),                                                                      \
        _UniqueType,                                                                               \
        _GetUniqueType,                                                                            \
    };

#define WDF_DECLARE_CASTING_FUNCTION(_contexttype, _castingfunction)                               \
    inline WDF_TYPE_NAME_POINTER_TYPE(_contexttype) _castingfunction(WDFOBJECT Handle) {           \
        return (WDF_TYPE_NAME_POINTER_TYPE(_contexttype))WdfObjectGetTypedContextWorker(           \
            Handle, WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType);                          \
    }

#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                         \
    WDF_DECLARE_TYPE_AND_GLOBALS(_contexttype, WDF_GET_CONTEXT_TYPE_INFO(_contexttype), nullptr)   \
    WDF_DECLARE_CASTING_FUNCTION(_contexttype, _castingfunction)

#define WDF_DECLARE_CONTEXT_TYPE(_contexttype)                                                     \
    WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, WdfObjectGet_##_contexttype)

#define WdfObjectGetTypedContext(handle, type)                                                     \
    ((WDF_TYPE_NAME_POINTER_TYPE(type))WdfObjectGetTypedContextWorker(                             \
        (WDFOBJECT)handle, WDF_GET_CONTEXT_TYPE_INFO(type)->UniqueType))

extern "C" {
PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);
NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes,
                                  PVOID* Context);
NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object);
VOID WdfObjectDelete(WDFOBJECT Object);
VOID WdfObjectReferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCCH File);
VOID WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCCH File);
}

#define WdfObjectReference(Handle)                                                                 \
    WdfObjectReferenceActual((WDFOBJECT)(Handle), nullptr, __LINE__, __FILE__)
#define WdfObjectDereference(Handle)                                                               \
    WdfObjectDereferenceActual((WDFOBJECT)(Handle), nullptr, __LINE__, __FILE__)
#define WdfObjectReferenceWithTag(Handle, Tag)                                                     \
    WdfObjectReferenceActual((WDFOBJECT)(Handle), (Tag), __LINE__, __FILE__)
#define WdfObjectDereferenceWithTag(Handle, Tag)                                                   \
    WdfObjectDereferenceActual((WDFOBJECT)(Handle), (Tag), __LINE__, __FILE__)
