// The Zw registry services over the simulated key tree.
#include "sim/core/fault.h"
#include "sim/core/utf.h"
#include "sim/core/verifier.h"
#include "sim/kernel/handles.h"
#include "sim/registry/tree.h"

namespace sim::registry {
namespace {

using tree::KeyNode;

constexpr const char* kKeyType = "Key";
constexpr size_t kMaxValueNameChars = 16383;

class KeyObject : public kernel::HandleObject {
  public:
    explicit KeyObject(std::shared_ptr<KeyNode> node) : node(std::move(node)) {}
    const char* TypeName() const override { return kKeyType; }
    std::shared_ptr<KeyNode> node;
};

// The registry services run at PASSIVE_LEVEL only.
void CheckPassive(const char* api) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        VerifierStop(rule::kIrqlTooHigh, api,
                     "called at IRQL %u; registry services need "
                     "PASSIVE_LEVEL",
                     KeGetCurrentIrql());
    }
}

bool ValidCounted(PCUNICODE_STRING s) {
    return s != nullptr && s->Length % 2 == 0 && s->Length <= s->MaximumLength &&
           (s->Buffer != nullptr || s->Length == 0);
}

std::shared_ptr<KeyNode> KeyFromHandle(HANDLE handle) {
    auto object = kernel::ReferenceHandleAs<KeyObject>(handle, kKeyType);
    return object ? object->node : nullptr;
}

// Opens (and, with 'create', creates) the key that the object attributes
// name. On success *created says whether the key is new.
NTSTATUS OpenOrCreate(PHANDLE keyHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                      bool create, ULONG createOptions, bool* created) {
    if (keyHandle == nullptr || attributes == nullptr ||
        attributes->Length != sizeof(OBJECT_ATTRIBUTES) ||
        (attributes->Attributes & ~OBJ_VALID_ATTRIBUTES) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (create && (createOptions & ~REG_OPTION_VOLATILE) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!ValidCounted(attributes->ObjectName)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::string path = Utf16ToUtf8(*attributes->ObjectName);
    bool relative = attributes->RootDirectory != nullptr;
    std::vector<std::string> names;
    if (!tree::Split(path, !relative, &names)) {
        // A relative name without a root key, an absolute one under a root
        // key, an empty name: all are malformed paths.
        return (path.empty() || (path[0] == '\\') == relative) ? STATUS_OBJECT_PATH_SYNTAX_BAD
                                                               : STATUS_OBJECT_NAME_INVALID;
    }

    std::shared_ptr<KeyNode> from;
    if (relative) {
        from = KeyFromHandle(attributes->RootDirectory);
        if (from == nullptr) {
            return STATUS_INVALID_HANDLE;
        }
    } else {
        if (names.empty() || !tree::NamesEqual(names[0], "Registry")) {
            return STATUS_OBJECT_PATH_NOT_FOUND; // not in the registry's namespace
        }
        names.erase(names.begin());
    }

    std::lock_guard<std::mutex> guard(tree::Lock());
    if (!relative) {
        from = tree::Root();
    }
    if (from->deleted) {
        return STATUS_KEY_DELETED;
    }
    std::shared_ptr<KeyNode> key = from;
    *created = false;
    if (!names.empty()) {
        std::vector<std::string> parentNames(names.begin(), names.end() - 1);
        std::shared_ptr<KeyNode> parent = tree::Walk(from, parentNames, false);
        if (parent == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        auto it = parent->subkeys.find(names.back());
        if (it != parent->subkeys.end()) {
            key = it->second;
        } else if (!create) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        } else if (parent == tree::Root()) {
            return STATUS_ACCESS_DENIED; // \Registry holds its two roots only
        } else if (parent->isVolatile && (createOptions & REG_OPTION_VOLATILE) == 0) {
            return STATUS_CHILD_MUST_BE_VOLATILE;
        } else {
            key = std::make_shared<KeyNode>();
            key->name = names.back();
            key->isVolatile = (createOptions & REG_OPTION_VOLATILE) != 0;
            parent->subkeys.emplace(key->name, key);
            *created = true;
        }
    }
    // Kernel callers pass no access check: the access is recorded, not enforced.
    *keyHandle = kernel::InsertHandle(std::make_shared<KeyObject>(key), access,
                                      (attributes->Attributes & OBJ_KERNEL_HANDLE) != 0);
    return STATUS_SUCCESS;
}

// What every value service does first: the IRQL check, fault injection and
// the key behind the handle.
NTSTATUS EnterValueService(const char* api, HANDLE handle, std::shared_ptr<KeyNode>* key) {
    CheckPassive(api);
    NTSTATUS status;
    if (fault::ShouldFail(api, &status)) {
        return status;
    }
    *key = KeyFromHandle(handle);
    return *key != nullptr ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

void PutUlong(UCHAR* at, ULONG value) {
    memcpy(at, &value, sizeof(value));
}

// An empty value's data and an empty name may have no buffer at all, and
// memcpy must never be handed a null pointer, even for no bytes.
void CopyBytes(UCHAR* to, const void* from, size_t count) {
    if (count != 0) {
        memcpy(to, from, count);
    }
}

} // namespace
} // namespace sim::registry

using namespace sim::registry;

extern "C" {

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                     POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex, PUNICODE_STRING Class,
                     ULONG CreateOptions, PULONG Disposition) {
    UNREFERENCED_PARAMETER(TitleIndex);
    UNREFERENCED_PARAMETER(Class);
    CheckPassive("ZwCreateKey");
    NTSTATUS status;
    if (sim::fault::ShouldFail("ZwCreateKey", &status)) {
        return status;
    }
    bool created = false;
    status =
        OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, true, CreateOptions, &created);
    if (NT_SUCCESS(status) && Disposition != nullptr) {
        *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return status;
}

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                   POBJECT_ATTRIBUTES ObjectAttributes) {
    CheckPassive("ZwOpenKey");
    NTSTATUS status;
    if (sim::fault::ShouldFail("ZwOpenKey", &status)) {
        return status;
    }
    bool created = false;
    return OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, false, 0, &created);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    std::shared_ptr<KeyNode> key;
    NTSTATUS status = EnterValueService("ZwQueryValueKey", KeyHandle, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!ValidCounted(ValueName) || ResultLength == nullptr ||
        (KeyValueInformation == nullptr && Length != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::string name = sim::Utf16ToUtf8(*ValueName);

    std::lock_guard<std::mutex> guard(tree::Lock());
    if (key->deleted) {
        return STATUS_KEY_DELETED;
    }
    const Value* value = key->FindValue(name);
    if (value == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    ULONG dataLength = static_cast<ULONG>(value->data.size());
    ULONG nameBytes = static_cast<ULONG>(ValueName->Length);
    auto* out = static_cast<UCHAR*>(KeyValueInformation);

    // Each class has a fixed header; a buffer shorter than the header gets
    // nothing, one shorter than the whole answer gets the header alone.
    ULONG header, required;
    switch (KeyValueInformationClass) {
    case KeyValueBasicInformation:
        header = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        required = header + nameBytes;
        break;
    case KeyValueFullInformation:
        header = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        // The data follows the name, aligned for a ULONG.
        required = ((header + nameBytes + 3) & ~3u) + dataLength;
        break;
    case KeyValuePartialInformation:
        header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        required = header + dataLength;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    *ResultLength = required;
    if (Length < header) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PutUlong(out, 0); // TitleIndex
    PutUlong(out + 4, value->type);
    switch (KeyValueInformationClass) {
    case KeyValueBasicInformation:
        PutUlong(out + 8, nameBytes);
        if (Length < required) {
            return STATUS_BUFFER_OVERFLOW;
        }
        CopyBytes(out + header, ValueName->Buffer, nameBytes);
        break;
    case KeyValueFullInformation: {
        ULONG dataOffset = required - dataLength;
        PutUlong(out + 8, dataOffset);
        PutUlong(out + 12, dataLength);
        PutUlong(out + 16, nameBytes);
        if (Length < required) {
            return STATUS_BUFFER_OVERFLOW;
        }
        CopyBytes(out + header, ValueName->Buffer, nameBytes);
        CopyBytes(out + dataOffset, value->data.data(), dataLength);
        break;
    }
    default:
        PutUlong(out + 8, dataLength);
        if (Length < required) {
            return STATUS_BUFFER_OVERFLOW;
        }
        CopyBytes(out + header, value->data.data(), dataLength);
        break;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize) {
    UNREFERENCED_PARAMETER(TitleIndex);
    std::shared_ptr<KeyNode> key;
    NTSTATUS status = EnterValueService("ZwSetValueKey", KeyHandle, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!ValidCounted(ValueName) || ValueName->Length / sizeof(WCHAR) > kMaxValueNameChars ||
        (Data == nullptr && DataSize != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::string name = sim::Utf16ToUtf8(*ValueName);
    auto* bytes = static_cast<const uint8_t*>(Data);
    std::vector<uint8_t> data(bytes, bytes + DataSize);

    std::lock_guard<std::mutex> guard(tree::Lock());
    if (key->deleted) {
        return STATUS_KEY_DELETED;
    }
    key->Set(name, Type, std::move(data));
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    std::shared_ptr<KeyNode> key;
    NTSTATUS status = EnterValueService("ZwDeleteValueKey", KeyHandle, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!ValidCounted(ValueName)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::string name = sim::Utf16ToUtf8(*ValueName);
    std::lock_guard<std::mutex> guard(tree::Lock());
    if (key->deleted) {
        return STATUS_KEY_DELETED;
    }
    return key->Remove(name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

} // extern "C"
