#include "tools/quillexctl/mapping_file.h"

#include "sim/registry/reg_file.h"
#include "sim/registry/registry.h"
#include "tools/quillexctl/names.h"

bool WriteMappingFile(const std::string& path, const REMAP_RECORD& record, std::string* error) {
    // quillexctl's own registry holds nothing but this key.
    sim::registry::Reset();
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
    for (const MappingValue& field : MappingValues()) {
        if (!sim::registry::SetDword(kRemapKey, field.name, bytes[field.offset])) {
            *error = std::string("cannot set ") + field.name;
            return false;
        }
    }
    return sim::registry::ExportRegFile(path, error);
}

bool ReadMappingFile(const std::string& path, REMAP_RECORD* record, std::string* error) {
    sim::registry::Reset();
    if (!sim::registry::ImportRegFile(path, error)) {
        return false;
    }
    if (!sim::registry::KeyExists(kRemapKey)) {
        *error = path + " has no [" + kRemapKey + "] key";
        return false;
    }
    REMAP_RECORD read = *record;
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&read);
    for (const MappingValue& field : MappingValues()) {
        std::optional<sim::registry::Value> value = sim::registry::GetValue(kRemapKey, field.name);
        if (!value) {
            continue;
        }
        std::optional<uint32_t> number = sim::registry::GetDword(kRemapKey, field.name);
        if (!number) {
            *error =
                path + ": \"" + field.name + "\" is not a dword; it takes " + MappingRange(field);
            return false;
        }
        if (!ParseMappingValue(field, std::to_string(*number), &bytes[field.offset], error)) {
            *error = path + ": " + *error;
            return false;
        }
    }
    *record = read;
    return true;
}
