// RtlFreeUnicodeString: frees a string that a system service allocated.
#include "ntddk.h"

extern "C" VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString == nullptr) {
        return;
    }
    if (UnicodeString->Buffer != nullptr) {
        ExFreePool(UnicodeString->Buffer);
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}
