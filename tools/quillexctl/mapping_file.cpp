#include "tools/quillexctl/mapping_file.h"

#include <strings.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "sim/registry/reg_file.h"
#include "sim/registry/reg_syntax.h"
#include "sim/registry/registry.h"

bool WriteMappingFile(const std::string& path, const REMAP_RECORD& record,
                      const std::vector<SettingValue>& settings, std::string* error) {
    // quillexctl's own registry holds nothing but this key.
    sim::registry::Reset();
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
    for (const MappingValue& field : MappingValues()) {
        if (!sim::registry::SetDword(kRemapKey, field.name, bytes[field.offset])) {
            *error = std::string("cannot set ") + field.name;
            return false;
        }
    }
    for (const SettingValue& s : settings) {
        if (!sim::registry::SetDword(kRemapKey, s.setting->name, s.value)) {
            *error = std::string("cannot set ") + s.setting->name;
            return false;
        }
    }
    return sim::registry::ExportRegFile(path, error);
}

bool ReadMappingFile(const std::string& path, REMAP_RECORD* record,
                     std::vector<SettingValue>* settings, std::string* error) {
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
    std::vector<SettingValue> readSettings;
    for (const ArcadeSettingName& setting : ArcadeSettingNames()) {
        if (!sim::registry::GetValue(kRemapKey, setting.name)) {
            continue;
        }
        std::optional<uint32_t> number = sim::registry::GetDword(kRemapKey, setting.name);
        if (!number || *number < setting.min || *number > setting.max) {
            *error = path + ": \"" + setting.name + "\" " +
                     (number ? "is " + std::to_string(*number) + ", out of range"
                             : std::string("is not a dword")) +
                     "; it takes " + ArcadeSettingRange(setting);
            return false;
        }
        readSettings.push_back({&setting, *number});
    }
    *record = read;
    *settings = std::move(readSettings);
    return true;
}

bool UnknownMappingValues(const std::string& path, std::vector<std::string>* warnings,
                          std::string* error) {
    namespace syntax = sim::registry::syntax;
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    std::string text;
    syntax::Encoding encoding;
    syntax::Document document;
    if (!in || !syntax::Decode(bytes.str(), &text, &encoding, error) ||
        !syntax::Parse(text, &document, error)) {
        *error = path + ": " + (error->empty() ? "cannot be read" : *error);
        return false;
    }
    // The settings kept beside the mapping are the driver's too; quillexctl
    // mode, turbo and hotkeys set them.
    std::vector<std::string> known;
    for (const ArcadeSettingName& setting : ArcadeSettingNames()) {
        known.push_back(setting.name);
    }
    for (const MappingValue& field : MappingValues()) {
        known.push_back(field.name);
    }
    const std::string remap = "\\Parameters\\Remap";
    int line = 1;
    for (const syntax::Line& l : document.lines) {
        bool inRemap = l.key.size() >= remap.size() &&
                       strcasecmp(l.key.c_str() + l.key.size() - remap.size(), remap.c_str()) == 0;
        if (l.kind == syntax::Line::kValue && inRemap &&
            std::none_of(known.begin(), known.end(), [&](const std::string& k) {
                return strcasecmp(k.c_str(), l.value.name.c_str()) == 0;
            })) {
            std::string guess = ClosestName(l.value.name, known);
            warnings->push_back(path + ":" + std::to_string(line) + ": \"" + l.value.name +
                                "\" is no value of the mapping" +
                                (guess.empty() ? "" : " (did you mean " + guess + "?)"));
        }
        line += static_cast<int>(std::count(l.raw.begin(), l.raw.end(), '\n'));
    }
    return true;
}
