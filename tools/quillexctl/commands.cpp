#include "tools/quillexctl/commands.h"

#include <stdio.h>
#include <string.h>

#include <nlohmann/json.hpp>

#include "tools/quillexctl/arcade_commands.h"
#include "tools/quillexctl/curve_plot.h"
#include "tools/quillexctl/mapping_file.h"
#include "tools/common/mapping_names.h"

namespace {

using json = nlohmann::json;

int Refused(const char* what, const LinkResult& r) {
    if (!r.message.empty() && r.status == 0) {
        fprintf(stderr, "quillexctl: %s: %s\n", what, r.message.c_str());
        return 1;
    }
    std::string why;
    switch (r.status) {
    case 0xC00000A3: // STATUS_DEVICE_NOT_READY
        why = "the stick is not started: the value is kept, nothing was sent to the controller";
        break;
    case 0xC0000022: // STATUS_ACCESS_DENIED
        why = "the handle lacks read access";
        break;
    default:
        why = "refused by the driver";
        break;
    }
    fprintf(stderr, "quillexctl: %s: %s: %s\n", what, why.c_str(), StatusText(r.status).c_str());
    return 1;
}

bool Call(DeviceLink* link, const char* what, uint32_t code, const std::vector<uint8_t>& in,
          size_t outLength, std::vector<uint8_t>* out, int* rc) {
    LinkResult r = link->Control(code, in, outLength);
    if (!r.ok) {
        *rc = Refused(what, r);
        return false;
    }
    if (r.out.size() < outLength) {
        fprintf(stderr, "quillexctl: %s: the driver returned %zu bytes, not %zu\n", what,
                r.out.size(), outLength);
        *rc = 1;
        return false;
    }
    if (out != nullptr) {
        *out = r.out;
    }
    return true;
}

bool ReadMapping(DeviceLink* link, REMAP_RECORD* record, int* rc) {
    std::vector<uint8_t> out;
    if (!Call(link, "mapping", IOCTL_QUILLEX_GET_MAPPING, {}, sizeof(REMAP_RECORD), &out, rc)) {
        return false;
    }
    memcpy(record, out.data(), sizeof(REMAP_RECORD));
    return true;
}

int WriteMapping(DeviceLink* link, const REMAP_RECORD& record, const char* what) {
    std::vector<uint8_t> in(reinterpret_cast<const uint8_t*>(&record),
                            reinterpret_cast<const uint8_t*>(&record) + sizeof(record));
    int rc = 0;
    if (!Call(link, what, IOCTL_QUILLEX_SET_MAPPING, in, 0, nullptr, &rc)) {
        return rc;
    }
    return 0;
}

uint8_t& FieldOf(REMAP_RECORD* record, const MappingValue& field) {
    return reinterpret_cast<uint8_t*>(record)[field.offset];
}

} // namespace

int ShowState(const CommandContext& c) {
    std::vector<uint8_t> out;
    int rc = 0;
    if (!Call(c.link, "state", IOCTL_QUILLEX_GET_STATE, {}, sizeof(APP_INSTANCE), &out, &rc)) {
        return rc;
    }
    APP_INSTANCE s;
    memcpy(&s, out.data(), sizeof(s));
    const ULONG fields[] = {s.RightStickY, s.RightStickX,  s.LeftStickX,    s.LeftStickY,
                            s.Dpad,        s.FirstTrigger, s.SecondTrigger, s.Led};
    if (c.json) {
        json j;
        for (size_t i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
            j[DataItems()[i].name] = s.Buttons[i];
        }
        for (size_t i = 0; i < 8; ++i) {
            j[DataItems()[QUILLEX_CANONICAL_BUTTON_COUNT + i].name] = fields[i];
        }
        printf("%s\n", j.dump(2).c_str());
        return 0;
    }
    for (size_t i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
        printf("%-20s %u%s\n", DataItems()[i].name, s.Buttons[i], s.Buttons[i] ? "  pressed" : "");
    }
    static const char* const kNotes[8] = {"raw 0..255, 128 centred",
                                          "",
                                          "",
                                          "",
                                          "0..7 from up clockwise, 8 centred",
                                          "drives the right trigger",
                                          "drives the left trigger",
                                          "LED index 0..3"};
    for (size_t i = 0; i < 8; ++i) {
        printf("%-20s %u%s%s\n", DataItems()[QUILLEX_CANONICAL_BUTTON_COUNT + i].name, fields[i],
               kNotes[i][0] ? "  " : "", kNotes[i]);
    }
    return 0;
}

int GetItem(const CommandContext& c, const std::string& name) {
    const DataItem* item = nullptr;
    std::string error;
    if (!FindDataItem(name, &item, &error)) {
        fprintf(stderr, "quillexctl: get: %s\n", error.c_str());
        return 2;
    }
    std::vector<uint8_t> in = {static_cast<uint8_t>(item->id), 0, 0, 0};
    std::vector<uint8_t> out;
    int rc = 0;
    if (!Call(c.link, "get", IOCTL_QUILLEX_GET_VALUE, in, 4, &out, &rc)) {
        return rc;
    }
    // A button is one byte; the rest of the reply is the id it was asked with.
    uint32_t value = item->id <= QUILLEX_ITEM_BTN_LEFT_TRIANGLE
                         ? out[0]
                         : static_cast<uint32_t>(out[0] | out[1] << 8 | out[2] << 16 |
                                                 static_cast<uint32_t>(out[3]) << 24);
    if (c.json) {
        printf("%s\n",
               json{{"item", item->name}, {"id", item->id}, {"value", value}}.dump().c_str());
    } else {
        printf("%s = %u\n", item->name, value);
    }
    return 0;
}

int SetItem(const CommandContext& c, const std::string& name, const std::string& text) {
    const DataItem* item = nullptr;
    std::string error;
    uint64_t value = 0;
    if (!FindDataItem(name, &item, &error) ||
        !ParseNumber(item->name, text, item->max, &value, &error)) {
        fprintf(stderr, "quillexctl: set: %s\n", error.c_str());
        return 2;
    }
    std::vector<uint8_t> in = {static_cast<uint8_t>(item->id), 0, 0, 0};
    for (int i = 0; i < 4; ++i) {
        in.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    int rc = 0;
    if (!Call(c.link, "set", IOCTL_QUILLEX_SET_VALUE, in, 0, nullptr, &rc)) {
        return rc;
    }
    if (!c.json) {
        printf("%s = %llu\n", item->name, static_cast<unsigned long long>(value));
    }
    return 0;
}

int ShowMapping(const CommandContext& c) {
    REMAP_RECORD record;
    int rc = 0;
    if (!ReadMapping(c.link, &record, &rc)) {
        return rc;
    }
    if (c.json) {
        json values, buttons;
        for (const MappingValue& field : MappingValues()) {
            uint8_t v = FieldOf(&record, field);
            values[field.name] = v;
            if (field.kind == MappingKind::Button) {
                buttons[field.name] = XboxButtonName(v);
            }
        }
        ArcadeSettings settings;
        if (!ReadArcadeSettings(c.link, &settings, &rc)) {
            return rc;
        }
        printf("%s\n", json{{"values", values},
                            {"xbox_buttons", buttons},
                            {"settings", ArcadeSettingsJson(settings)}}
                           .dump(2)
                           .c_str());
        return 0;
    }
    for (const MappingValue& field : MappingValues()) {
        uint8_t v = FieldOf(&record, field);
        const char* meaning = field.kind == MappingKind::Button ? XboxButtonName(v)
                              : field.kind == MappingKind::Flag ? (v ? "on" : "off")
                                                                : "";
        printf("%-20s = 0x%02X  %s\n", field.name, v, meaning);
    }
    ArcadeSettings settings;
    if (!ReadArcadeSettings(c.link, &settings, &rc)) {
        return rc;
    }
    PrintArcadeSettings(settings);
    return 0;
}

int SetMapping(const CommandContext& c, const std::vector<std::string>& assignments) {
    REMAP_RECORD record;
    int rc = 0;
    if (!ReadMapping(c.link, &record, &rc)) {
        return rc;
    }
    // Every assignment is checked before anything is sent.
    for (const std::string& a : assignments) {
        size_t eq = a.find('=');
        const MappingValue* field =
            eq == std::string::npos ? nullptr : FindMappingValue(a.substr(0, eq));
        std::string error;
        if (field == nullptr) {
            std::string guess = eq == std::string::npos ? "" : GuessMappingValue(a.substr(0, eq));
            fprintf(stderr,
                    "quillexctl: mapping set: '%s' is not NAME=VALUE with one of the mapping's "
                    "value names%s (quillexctl mapping lists them)\n",
                    a.c_str(), guess.empty() ? "" : ("; did you mean " + guess + "?").c_str());
            return 2;
        }
        if (!ParseMappingValue(*field, a.substr(eq + 1), &FieldOf(&record, *field), &error)) {
            fprintf(stderr, "quillexctl: mapping set: %s\n", error.c_str());
            return 2;
        }
    }
    record.RestoreDefaults = 0;
    rc = WriteMapping(c.link, record, "mapping set");
    return rc != 0 ? rc : (c.json ? 0 : ShowMapping(c));
}

int RestoreDefaultMapping(const CommandContext& c) {
    REMAP_RECORD record{};
    record.RestoreDefaults = 1;
    int rc = WriteMapping(c.link, record, "mapping defaults");
    return rc != 0 ? rc : (c.json ? 0 : ShowMapping(c));
}

int ExportMapping(const CommandContext& c, const std::string& path) {
    REMAP_RECORD record;
    ArcadeSettings arcade;
    int rc = 0;
    if (!ReadMapping(c.link, &record, &rc) || !ReadArcadeSettings(c.link, &arcade, &rc)) {
        return rc;
    }
    std::vector<SettingValue> settings;
    for (const ArcadeSettingName& setting : ArcadeSettingNames()) {
        if (arcade.present) {
            settings.push_back({&setting, ArcadeSettingValue(arcade, setting.id)});
        }
    }
    std::string error;
    if (!WriteMappingFile(path, record, settings, &error)) {
        fprintf(stderr, "quillexctl: mapping export: %s\n", error.c_str());
        return 1;
    }
    if (!c.json) {
        printf("mapping written to %s (regedit can import it)\n", path.c_str());
    }
    return 0;
}

int ImportMapping(const CommandContext& c, const std::string& path, bool ignoreUnknown) {
    // A misspelt name would be left out without a word: every one is named,
    // and the mapping stays as it is unless the player says to go on.
    std::vector<std::string> unknown;
    std::string error;
    if (!UnknownMappingValues(path, &unknown, &error)) {
        fprintf(stderr, "quillexctl: mapping import: %s\n", error.c_str());
        return 2;
    }
    for (const std::string& warning : unknown) {
        fprintf(stderr, "quillexctl: mapping import: %s%s\n", ignoreUnknown ? "warning: " : "",
                warning.c_str());
    }
    if (!unknown.empty() && !ignoreUnknown) {
        fprintf(stderr, "quillexctl: mapping import: the mapping is unchanged; correct the file, "
                        "or give --ignore-unknown to import the values it knows\n");
        return 2;
    }
    REMAP_RECORD record;
    ArcadeSettings arcade;
    int rc = 0;
    if (!ReadMapping(c.link, &record, &rc) || !ReadArcadeSettings(c.link, &arcade, &rc)) {
        return rc;
    }
    std::vector<SettingValue> settings;
    if (!ReadMappingFile(path, &record, &settings, &error)) {
        fprintf(stderr, "quillexctl: mapping import: %s\n", error.c_str());
        return 2;
    }
    if (!settings.empty() && !arcade.present) {
        fprintf(stderr,
                "quillexctl: mapping import: %s holds arcade settings (%s ...) that this driver "
                "does not have; the mapping is unchanged\n",
                path.c_str(), settings[0].setting->name);
        return 1;
    }
    // Every value was checked above: the mapping, then each setting the
    // file holds, as quillexctl mode, turbo and hotkeys would set them.
    record.RestoreDefaults = 0;
    rc = WriteMapping(c.link, record, "mapping import");
    for (const SettingValue& s : settings) {
        if (rc == 0 && ArcadeSettingValue(arcade, s.setting->id) != s.value) {
            rc = PutArcadeSetting(c, "mapping import", s.setting->id, s.value);
        }
    }
    return rc != 0 ? rc : (c.json ? 0 : ShowMapping(c));
}

int PlotCurves(const CommandContext& c, const std::string& svgPath) {
    REMAP_RECORD record;
    int rc = 0;
    if (!ReadMapping(c.link, &record, &rc)) {
        return rc;
    }
    CurveSet curves = BuildCurves(record);
    std::string error;
    if (!svgPath.empty() && !WriteCurvesSvg(svgPath, curves, record.ENABLE_SCALING != 0, &error)) {
        fprintf(stderr, "quillexctl: curves: %s\n", error.c_str());
        return 1;
    }
    if (c.json) {
        printf("%s\n", CurvesJson(curves).c_str());
    } else if (!svgPath.empty()) {
        printf("six curves plotted to %s (scaling is %s)\n", svgPath.c_str(),
               record.ENABLE_SCALING ? "on" : "off");
    }
    return 0;
}
