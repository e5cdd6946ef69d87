// Basic Windows kernel types with their x64 widths.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

static_assert(sizeof(wchar_t) == 2, "the build must use -fshort-wchar: WCHAR is 16-bit");

// SAL annotations say nothing to this compiler.
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_reads_(n)
#define _In_reads_bytes_(n)
#define _Out_writes_(n)
#define _Out_writes_bytes_(n)
#define _Out_writes_bytes_opt_(n)
#define _In_reads_bytes_opt_(n)
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_bytebuffer_(n)
#define _Must_inspect_result_
#define _Use_decl_annotations_
#define _Function_class_(x)
#define _IRQL_requires_(x)
#define _IRQL_requires_max_(x)
#define _IRQL_requires_min_(x)
#define _IRQL_raises_(x)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_always_function_max_(x)
#define _When_(c, a)
#define _Requires_lock_held_(x)
#define _Releases_lock_(x)
#define _Acquires_lock_(x)
#define _Analysis_assume_(x)
#define __drv_aliasesMem
#define __drv_allocatesMem(x)
#define __drv_freesMem(x)
#define __drv_maxIRQL(x)
#define __drv_dispatchType(x)
#define _Dispatch_type_(x)
#define IN
#define OUT
#define OPTIONAL
#define NTAPI
#define NTSYSAPI
#define NTKERNELAPI
#define WDFAPI
#define FASTCALL
#define DECLSPEC_NOINLINE __attribute__((noinline))
#define FORCEINLINE       inline __attribute__((always_inline))
#define __forceinline inline __attribute__((always_inline))
#define __inline inline
#define EXTERN_C      extern "C"
#define CONST         const
#define ANYSIZE_ARRAY 1

#ifndef NULL
#define NULL nullptr
#endif
#define TRUE  1
#define FALSE 0

typedef void VOID, *PVOID;
typedef const void* PCVOID;
typedef char CHAR, *PCHAR, *PSTR, CCHAR;
typedef const char* PCSTR;
typedef const char* PCCH;
typedef const char* PCSZ;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE, BOOLEAN, *PBOOLEAN;
typedef int16_t SHORT, *PSHORT, CSHORT;
typedef uint16_t USHORT, *PUSHORT, WORD;
typedef int32_t LONG, *PLONG, INT;
typedef uint32_t ULONG, *PULONG, UINT, DWORD, *PDWORD;
typedef int64_t LONGLONG, *PLONGLONG, LONG64, INT_PTR, LONG_PTR;
typedef uint64_t ULONGLONG, *PULONGLONG, ULONG64, DWORD64, UINT_PTR, ULONG_PTR, *PULONG_PTR;
typedef uint64_t SIZE_T, *PSIZE_T;
typedef int64_t SSIZE_T;
typedef wchar_t WCHAR, *PWCHAR, *PWSTR, *LPWSTR;
typedef const wchar_t* PCWSTR;
typedef const wchar_t* LPCWSTR;
typedef PVOID HANDLE, *PHANDLE;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef ULONG ACCESS_MASK;
typedef UCHAR KIRQL, *PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef LONG KPRIORITY;
typedef ULONG DEVICE_TYPE;
typedef ULONG_PTR KAFFINITY;
typedef ULONG LCID;

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *LPGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;

#include "guiddef.h"

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    return memcmp(&a, &b, sizeof(GUID)) == 0;
}

#define NT_SUCCESS(Status)          (((NTSTATUS)(Status)) >= 0)
#define C_ASSERT(e)                 static_assert(e, #e)
#define FIELD_OFFSET(type, field)   ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define RTL_NUMBER_OF(a)            (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a)                RTL_NUMBER_OF(a)
// Through offsetof rather than a member of a null pointer: the same address,
// without the undefined behaviour UBSan reports.
#define CONTAINING_RECORD(address, type, field)                                                    \
    ((type*)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define UNREFERENCED_PARAMETER(P)          ((void)(P))
#define DBG_UNREFERENCED_LOCAL_VARIABLE(V) ((void)(V))
#define MAXUSHORT                          0xffff
#define MAXULONG                           0xffffffffUL
#define MAXLONG                            0x7fffffffL

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = 0,
    PagedPool = 1,
    NonPagedPoolNx = 512,
} POOL_TYPE;

typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;
typedef enum _MODE { KernelMode = 0, UserMode = 1 } MODE;
typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _WAIT_TYPE { WaitAll = 0, WaitAny = 1 } WAIT_TYPE;

#define PASSIVE_LEVEL  0
#define LOW_LEVEL      0
#define APC_LEVEL      1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL     15
