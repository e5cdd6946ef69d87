// A stand-in for the framework loader (WDFLDR.SYS), built only to start
// quillex.sys under Wine, which has no KMDF. It binds the driver as the loader
// would, gives it a table of KMDF 1.9's 396 entries that each record their
// call, and answers the framework calls DriverEntry and device add make. Every
// call is written, one line each, to C:\quillex-wdfldr.log for the test to read.
//
// It is no framework: a device add runs on a device-init of its own, once,
// when DriverEntry succeeds, to see the driver's own code run that far.
#include <ntddk.h>
#include <wdf.h>

#define WDFLDR_API __declspec(dllexport)
#include "windows/kmdf/binding.h"

namespace {

// ---------------------------------------------------------------- the log

struct Line {
    char text[512];
    ULONG length;

    Line() : length(0) {}
    Line& Put(const char* s) {
        while (*s != 0 && length < sizeof(text) - 1) {
            text[length++] = *s++;
        }
        return *this;
    }
    Line& Wide(PCUNICODE_STRING s) {
        for (ULONG i = 0; s != NULL && s->Buffer != NULL && i < s->Length / sizeof(WCHAR); ++i) {
            WCHAR c = s->Buffer[i];
            char one[2] = {static_cast<char>(c < 0x80 ? c : '?'), 0};
            Put(one);
        }
        return *this;
    }
    Line& Dec(ULONGLONG value) {
        char digits[24];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (n > 0) {
            char one[2] = {digits[--n], 0};
            Put(one);
        }
        return *this;
    }
    Line& Hex(ULONGLONG value) {
        static const char kDigits[] = "0123456789abcdef";
        char digits[17];
        int n = 0;
        do {
            digits[n++] = kDigits[value & 0xf];
            value >>= 4;
        } while (value != 0);
        Put("0x");
        while (n > 0) {
            char one[2] = {digits[--n], 0};
            Put(one);
        }
        return *this;
    }
    // Appends the line to the log file.
    void Write() {
        Put("\r\n");
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"\\??\\C:\\quillex-wdfldr.log");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   NULL, NULL);
        IO_STATUS_BLOCK io;
        HANDLE file;
        if (!NT_SUCCESS(ZwCreateFile(&file, FILE_APPEND_DATA | SYNCHRONIZE, &attributes, &io, NULL,
                                     FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN_IF,
                                     FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0))) {
            return;
        }
        ZwWriteFile(file, NULL, NULL, NULL, &io, text, length, NULL, NULL);
        ZwClose(file);
    }
};

// ---------------------------------------------------------------- state

PDRIVER_OBJECT BoundDriver;
WDF_DRIVER_GLOBALS Globals;
QUILLEX_WDFFUNC* ClientTable;
PFN_WDF_DRIVER_DEVICE_ADD EvtDeviceAdd;
PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtDriverCleanup;
UNICODE_STRING DriverRegistryPath;
WCHAR DriverRegistryPathBuffer[256];

// Framework handles are addresses of these records.
struct FakeObject {
    ULONG kind;
    PVOID context;
    size_t contextSize;
    const WDF_OBJECT_CONTEXT_TYPE_INFO* type;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup;
    PVOID buffer;
    size_t bufferSize;
};
FakeObject DriverObjectRecord;

ULONGLONG ImageOffset(PVOID address) {
    ULONG_PTR start = reinterpret_cast<ULONG_PTR>(BoundDriver->DriverStart);
    ULONG_PTR at = reinterpret_cast<ULONG_PTR>(address);
    return at >= start && at < start + BoundDriver->DriverSize ? at - start : ~0ull;
}

// A call the stand-in does not answer: recorded by its table index.
template <int Index> NTSTATUS Unanswered(PWDF_DRIVER_GLOBALS) {
    Line().Put("call ").Dec(Index).Put(" unanswered").Write();
    return STATUS_NOT_IMPLEMENTED;
}

template <int... Indexes> struct TableOf {
    static void Fill(QUILLEX_WDFFUNC* table) {
        QUILLEX_WDFFUNC entries[] = {reinterpret_cast<QUILLEX_WDFFUNC>(&Unanswered<Indexes>)...};
        for (ULONG i = 0; i < sizeof...(Indexes); ++i) {
            table[i] = entries[i];
        }
    }
};
template <int N, int... Indexes> struct MakeTable : MakeTable<N - 1, N - 1, Indexes...> {};
template <int... Indexes> struct MakeTable<0, Indexes...> : TableOf<Indexes...> {};

// ---------------------------------------------------------------- answers

Line& Sized(Line& line, const char* what, ULONG size) {
    return line.Put(" ").Put(what).Put("=").Dec(size);
}

// The framework's unload routine, which the driver's binding chains behind its own.
VOID FrameworkUnload(PDRIVER_OBJECT) {
    Line().Put("unload EvtDriverUnload=").Dec(EvtDriverUnload != NULL).Write();
    if (EvtDriverUnload != NULL) {
        EvtDriverUnload(Globals.Driver);
    }
    if (EvtDriverCleanup != NULL) {
        EvtDriverCleanup(reinterpret_cast<WDFOBJECT>(Globals.Driver));
    }
}

// The service's value StandInFailDriverCreate, when set to a failure status,
// makes WdfDriverCreate fail with it: the binding must then unbind.
NTSTATUS DriverCreateOutcome(PCUNICODE_STRING RegistryPath) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, const_cast<PUNICODE_STRING>(RegistryPath),
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE key;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
        return STATUS_SUCCESS;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"StandInFailDriverCreate");
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    ULONG length = 0;
    NTSTATUS outcome = STATUS_SUCCESS;
    if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer),
                                   &length))) {
        PKEY_VALUE_PARTIAL_INFORMATION value =
            reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
        if (value->Type == REG_DWORD && value->DataLength == sizeof(ULONG)) {
            RtlCopyMemory(&outcome, value->Data, sizeof(ULONG));
        }
    }
    ZwClose(key);
    return outcome;
}

NTSTATUS AnswerDriverCreate(PWDF_DRIVER_GLOBALS, PDRIVER_OBJECT DriverObject,
                            PCUNICODE_STRING RegistryPath, PWDF_OBJECT_ATTRIBUTES Attributes,
                            PWDF_DRIVER_CONFIG Config, WDFDRIVER* Driver) {
    Line line;
    line.Put("call WdfDriverCreate");
    Sized(line, "config", Config != NULL ? Config->Size : 0);
    Sized(line, "attributes", Attributes != NULL ? Attributes->Size : 0);
    line.Put(" device_add_rva=")
        .Hex(Config != NULL ? ImageOffset(reinterpret_cast<PVOID>(Config->EvtDriverDeviceAdd)) : 0)
        .Put(" registry=")
        .Wide(RegistryPath)
        .Write();
    NTSTATUS outcome = DriverCreateOutcome(RegistryPath);
    if (!NT_SUCCESS(outcome)) {
        Line().Put("refused WdfDriverCreate status=").Hex(static_cast<ULONG>(outcome)).Write();
        return outcome;
    }
    if (DriverObject != BoundDriver || Config == NULL || Config->EvtDriverDeviceAdd == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    EvtDeviceAdd = Config->EvtDriverDeviceAdd;
    EvtDriverUnload = Config->EvtDriverUnload;
    EvtDriverCleanup = Attributes != NULL ? Attributes->EvtCleanupCallback : NULL;
    DriverRegistryPath.Buffer = DriverRegistryPathBuffer;
    DriverRegistryPath.MaximumLength = sizeof(DriverRegistryPathBuffer) - sizeof(WCHAR);
    RtlCopyUnicodeString(&DriverRegistryPath, RegistryPath);
    DriverRegistryPathBuffer[DriverRegistryPath.Length / sizeof(WCHAR)] = 0;
    Globals.Driver = reinterpret_cast<WDFDRIVER>(&DriverObjectRecord);
    if (Driver != NULL) {
        *Driver = Globals.Driver;
    }
    DriverObject->DriverUnload = FrameworkUnload;
    return STATUS_SUCCESS;
}

PWSTR AnswerDriverGetRegistryPath(PWDF_DRIVER_GLOBALS, WDFDRIVER) {
    Line().Put("call WdfDriverGetRegistryPath").Write();
    return DriverRegistryPathBuffer;
}

} // namespace

extern "C" {

NTSTATUS NTAPI WdfVersionBind(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                              PWDF_BIND_INFO BindInfo, PWDF_COMPONENT_GLOBALS* ComponentGlobals) {
    Line line;
    line.Put("bind size=").Dec(BindInfo != NULL ? BindInfo->Size : 0);
    if (BindInfo == NULL || ComponentGlobals == NULL || DriverObject == NULL) {
        line.Put(" refused: missing argument").Write();
        return STATUS_INVALID_PARAMETER;
    }
    UNICODE_STRING component;
    RtlInitUnicodeString(&component, BindInfo->Component);
    line.Put(" component=")
        .Wide(&component)
        .Put(" version=")
        .Dec(BindInfo->Version.Major)
        .Put(".")
        .Dec(BindInfo->Version.Minor)
        .Put(".")
        .Dec(BindInfo->Version.Build)
        .Put(" functions=")
        .Dec(BindInfo->FuncCount)
        .Put(" registry=")
        .Wide(RegistryPath);
    if (BindInfo->Size != sizeof(WDF_BIND_INFO) || BindInfo->FuncTable == NULL ||
        BindInfo->FuncCount != QUILLEX_KMDF_FUNCTION_COUNT || BindInfo->Version.Major != 1) {
        line.Put(" refused").Write();
        return STATUS_REVISION_MISMATCH;
    }
    line.Write();

    BoundDriver = DriverObject;
    ClientTable = BindInfo->FuncTable;
    MakeTable<QUILLEX_KMDF_FUNCTION_COUNT>::Fill(ClientTable);
    ClientTable[WdfDriverCreateTableIndex] = reinterpret_cast<QUILLEX_WDFFUNC>(&AnswerDriverCreate);
    ClientTable[WdfDriverGetRegistryPathTableIndex] =
        reinterpret_cast<QUILLEX_WDFFUNC>(&AnswerDriverGetRegistryPath);

    RtlZeroMemory(&Globals, sizeof(Globals));
    Globals.DisplaceDriverUnload = TRUE;
    RtlCopyMemory(Globals.DriverName, "quillex", 8);
    *ComponentGlobals = &Globals;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI WdfVersionUnbind(PUNICODE_STRING RegistryPath, PWDF_BIND_INFO BindInfo,
                                PWDF_COMPONENT_GLOBALS ComponentGlobals) {
    Line()
        .Put("unbind globals_match=")
        .Dec(ComponentGlobals == &Globals)
        .Put(" table_match=")
        .Dec(BindInfo != NULL && BindInfo->FuncTable == ClientTable)
        .Put(" registry=")
        .Wide(RegistryPath)
        .Write();
    return STATUS_SUCCESS;
}

} // extern "C"
