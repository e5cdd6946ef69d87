#include "tools/quillex-sim/session/app_request.h"

#include <stdio.h>

#include "sim/peers/stick/raw_reports.h"
#include "tools/common/control_names.h"
#include "tools/common/mapping_names.h"

namespace {

constexpr uint64_t kLongMax = 0xFFFFFFFFull;

std::string Joined(const std::vector<ScriptToken>& tokens, size_t first, size_t end) {
    std::string text;
    for (size_t i = first; i < end; ++i) {
        text += std::string(i == first ? "" : " ") + std::string(tokens[i].text);
    }
    return text;
}

bool Fail(const ScriptToken& at, std::string message, ScriptError* error) {
    error->column = at.column;
    error->message = std::move(message);
    return false;
}

// A data item by name (DPAD, BTN_A ...) or by number: any number, so that a
// script can try ids the driver refuses.
bool ParseItem(const ScriptToken& token, std::string_view text, ULONG* id, ScriptError* error) {
    uint64_t number;
    if (ParseDecimal(text, kLongMax, &number)) {
        *id = static_cast<ULONG>(number);
        return true;
    }
    for (const DataItem& item : DataItems()) {
        if (EqualNoCase(text, item.name)) {
            *id = item.id;
            return true;
        }
    }
    std::string names;
    for (const DataItem& item : DataItems()) {
        names += std::string(names.empty() ? "" : ", ") + item.name;
    }
    return Fail(token, "'" + std::string(text) + "' is no data item: a number, or " + names, error);
}

const char* ItemName(ULONG id) {
    for (const DataItem& item : DataItems()) {
        if (item.id == id) {
            return item.name;
        }
    }
    return nullptr;
}

// The arcade settings a script sets beside the mapping, by their names.
bool SettingItem(std::string_view name, ULONG* id) {
    const ArcadeSettingName* setting = FindArcadeSetting(std::string(name));
    if (setting != nullptr) {
        *id = setting->id;
    }
    return setting != nullptr;
}

// set NAME=VALUE ...: every value a mapping value of the record or a setting.
bool ParseMappingValues(const std::vector<ScriptToken>& tokens, size_t first, size_t end,
                        AppRequest* request, ScriptError* error) {
    if (first >= end) {
        return Fail(tokens[first - 1], "set needs NAME=VALUE, as in set BTN_A=3", error);
    }
    for (size_t i = first; i < end; ++i) {
        const ScriptToken& assignment = tokens[i];
        size_t eq = assignment.text.find('=');
        std::string_view name = assignment.text.substr(0, eq);
        unsigned offset = 0;
        if (eq == std::string_view::npos) {
            return Fail(assignment,
                        "set takes NAME=VALUE only, as in set BTN_A=3; stick input goes on a "
                        "line of its own",
                        error);
        }
        uint64_t value;
        ULONG setting = 0;
        if (SettingItem(name, &setting)) {
            // The driver checks the range: a script may try any number.
            if (!ParseDecimal(assignment.text.substr(eq + 1), kLongMax, &value)) {
                ScriptToken at{assignment.text, assignment.column + static_cast<int>(eq) + 1};
                return Fail(at, "a setting's value is a number 0..4294967295", error);
            }
            request->settingValues.emplace_back(setting, static_cast<ULONG>(value));
            continue;
        }
        if (!MappingValueOffset(name, &offset)) {
            return Fail(assignment,
                        "'" + std::string(name) +
                            "' is no mapping value (BTN_A ... BTN_LEFT_TRIANGLE, SWAP_TRIGGERS, "
                            "SWAP_STICKS, ENABLE_SCALING, R_TRIG_CP_1 ... L_STICK_Y_CP_2) or "
                            "setting (DPAD_MODE, TURBO_MASK, TURBO_RATE, HOTKEYS)",
                        error);
        }
        if (!ParseDecimal(assignment.text.substr(eq + 1), 255, &value)) {
            ScriptToken at{assignment.text, assignment.column + static_cast<int>(eq) + 1};
            return Fail(at, "a mapping value is a number 0..255", error);
        }
        request->mappingValues.emplace_back(offset, static_cast<uint8_t>(value));
    }
    return true;
}

// set-state: the whole block from the line; what it does not name has the
// block's defaults (sticks 128, hat centred, triggers 0, LED index 3).
bool ParseState(const std::vector<ScriptToken>& tokens, size_t first, size_t end,
                APP_INSTANCE* state, ScriptError* error) {
    *state = APP_INSTANCE{};
    state->RightStickX = state->RightStickY = state->LeftStickX = state->LeftStickY = 128;
    state->Dpad = 8;
    state->Led = 3;
    for (size_t i = first; i < end; ++i) {
        const ScriptToken& t = tokens[i];
        size_t eq = t.text.find('=');
        if (eq == std::string_view::npos) {
            uint32_t bit;
            if (!ParseButtonName(t.text, &bit)) {
                return Fail(t, "'" + std::string(t.text) + "' is no canonical button", error);
            }
            for (unsigned b = 0; b < QUILLEX_CANONICAL_BUTTON_COUNT; ++b) {
                if (bit == 1u << b) {
                    state->Buttons[b] = 1;
                }
            }
            continue;
        }
        std::string_view key = t.text.substr(0, eq);
        std::string_view value = t.text.substr(eq + 1);
        ScriptToken valueToken{value, t.column + static_cast<int>(eq) + 1};
        uint8_t hat;
        uint64_t number = 0;
        bool isHat = EqualNoCase(key, "hat");
        if (isHat && ParseHatName(value, &hat)) {
            state->Dpad = hat;
            continue;
        }
        if (!ParseDecimal(value, kLongMax, &number)) {
            return Fail(valueToken,
                        std::string(key) + " is a number 0..4294967295" +
                            (isHat ? " or a direction (up ... up-left, centre)" : ""),
                        error);
        }
        struct Field {
            const char* key;
            ULONG APP_INSTANCE::*field;
        };
        // A push drives the right trigger from FirstTrigger and the left one
        // from SecondTrigger: lt and rt name the trigger the game sees.
        static const Field kFields[] = {
            {"hat", &APP_INSTANCE::Dpad},         {"lx", &APP_INSTANCE::LeftStickX},
            {"ly", &APP_INSTANCE::LeftStickY},    {"rx", &APP_INSTANCE::RightStickX},
            {"ry", &APP_INSTANCE::RightStickY},   {"rt", &APP_INSTANCE::FirstTrigger},
            {"lt", &APP_INSTANCE::SecondTrigger}, {"led", &APP_INSTANCE::Led},
        };
        bool known = false;
        for (const Field& f : kFields) {
            if (EqualNoCase(key, f.key)) {
                state->*f.field = static_cast<ULONG>(number);
                known = true;
            }
        }
        if (!known) {
            return Fail(t, "'" + std::string(key) + "' is not hat, lx, ly, rx, ry, lt, rt or led",
                        error);
        }
    }
    return true;
}

ULONG Little32(const uint8_t* bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<ULONG>(bytes[3]) << 24;
}

std::string StateMeaning(const APP_INSTANCE& s) {
    std::string held;
    for (unsigned b = 0; b < QUILLEX_CANONICAL_BUTTON_COUNT; ++b) {
        if (s.Buttons[b] != 0) {
            held += std::string(held.empty() ? "" : " ") + sim::stick::kButtonNames[b];
        }
    }
    char text[256];
    snprintf(text, sizeof(text),
             "buttons %s; d-pad %u; left stick (%u, %u), right stick (%u, %u); FirstTrigger %u, "
             "SecondTrigger %u; LED index %u",
             held.empty() ? "none" : held.c_str(), s.Dpad, s.LeftStickX, s.LeftStickY,
             s.RightStickX, s.RightStickY, s.FirstTrigger, s.SecondTrigger, s.Led);
    return text;
}

std::string MappingMeaning(const REMAP_RECORD& record) {
    std::string text;
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(&record);
    for (const MappingValue& field : MappingValues()) {
        text += std::string(text.empty() ? "" : " ") + field.name + "=" +
                std::to_string(bytes[field.offset]);
        if (field.kind == MappingKind::Button) {
            text += std::string("(") + XboxButtonName(bytes[field.offset]) + ")";
        }
    }
    return text;
}

// Takes what the last control request told.
bool Took(sim::app::Companion& app, bool ok, const char* code, AppRequestResult* result) {
    result->ok = ok;
    result->code = code;
    result->status = app.LastStatus();
    result->win32Error = app.LastError();
    result->returned = app.LastReturned();
    return ok;
}

} // namespace

bool IsRequestWord(std::string_view word) {
    for (const char* w : {"set", "restore-defaults", "get-mapping", "get-state", "set-state",
                          "get-value", "set-value"}) {
        if (EqualNoCase(word, w)) {
            return true;
        }
    }
    return false;
}

bool MappingValueOffset(std::string_view name, unsigned* offset) {
    const MappingValue* field = FindMappingValue(std::string(name));
    if (field != nullptr) {
        *offset = static_cast<unsigned>(field->offset);
    }
    return field != nullptr;
}

bool ParseAppRequest(const std::vector<ScriptToken>& tokens, size_t first, size_t end,
                     AppRequest* request, ScriptError* error) {
    *request = AppRequest();
    const ScriptToken& verb = tokens[first];
    request->text = Joined(tokens, first, end);
    size_t args = first + 1;
    auto noArguments = [&] {
        return args == end ||
               Fail(tokens[args], std::string(verb.text) + " takes nothing more", error);
    };
    if (EqualNoCase(verb.text, "set")) {
        request->kind = AppRequest::kSetMappingValues;
        return ParseMappingValues(tokens, args, end, request, error);
    }
    if (EqualNoCase(verb.text, "restore-defaults")) {
        request->kind = AppRequest::kRestoreDefaults;
        return noArguments();
    }
    if (EqualNoCase(verb.text, "get-mapping")) {
        request->kind = AppRequest::kGetMapping;
        return noArguments();
    }
    if (EqualNoCase(verb.text, "get-state")) {
        request->kind = AppRequest::kGetState;
        return noArguments();
    }
    if (EqualNoCase(verb.text, "set-state")) {
        request->kind = AppRequest::kSetState;
        return ParseState(tokens, args, end, &request->state, error);
    }
    if (EqualNoCase(verb.text, "get-value")) {
        request->kind = AppRequest::kGetValue;
        if (args + 1 != end) {
            return Fail(args < end ? tokens[args + 1] : verb,
                        "get-value names one data item, as in get-value DPAD", error);
        }
        return ParseItem(tokens[args], tokens[args].text, &request->itemId, error);
    }
    if (EqualNoCase(verb.text, "set-value")) {
        request->kind = AppRequest::kSetValue;
        if (args + 1 != end) {
            return Fail(args < end ? tokens[args + 1] : verb,
                        "set-value sets one data item, as in set-value DPAD=4", error);
        }
        const ScriptToken& t = tokens[args];
        size_t eq = t.text.find('=');
        if (eq == std::string_view::npos) {
            return Fail(t, "set-value needs ITEM=VALUE, as in set-value DPAD=4", error);
        }
        uint64_t value;
        ScriptToken valueToken{t.text.substr(eq + 1), t.column + static_cast<int>(eq) + 1};
        if (!ParseItem(t, t.text.substr(0, eq), &request->itemId, error)) {
            return false;
        }
        if (!ParseDecimal(valueToken.text, kLongMax, &value)) {
            return Fail(valueToken, "a data item's value is a number 0..4294967295", error);
        }
        request->value = static_cast<ULONG>(value);
        return true;
    }
    return Fail(verb, "'" + std::string(verb.text) + "' is no request", error);
}

bool ParseAppRequestText(std::string_view text, AppRequest* request, ScriptError* error) {
    std::vector<ScriptToken> tokens;
    if (!TokenizeScriptLine(text, &tokens, error)) {
        return false;
    }
    if (tokens.empty() || !IsRequestWord(tokens[0].text)) {
        error->column = 1;
        error->message = "not a request";
        return false;
    }
    return ParseAppRequest(tokens, 0, tokens.size(), request, error);
}

void SendAppRequest(sim::app::Companion& app, const AppRequest& request, AppRequestResult* result) {
    *result = AppRequestResult();
    switch (request.kind) {
    case AppRequest::kSetMappingValues: {
        // As an application changes one value: it reads the record, changes
        // its bytes and writes the whole record back.
        if (!request.mappingValues.empty()) {
            REMAP_RECORD record;
            if (!Took(app, app.GetMapping(&record), "IOCTL_QUILLEX_GET_MAPPING", result)) {
                break;
            }
            for (const auto& [offset, value] : request.mappingValues) {
                reinterpret_cast<UCHAR*>(&record)[offset] = value;
            }
            record.RestoreDefaults = 0;
            if (!Took(app, app.SetMapping(record), "IOCTL_QUILLEX_SET_MAPPING", result)) {
                break;
            }
            result->meaning = "the mapping changed and was saved";
        }
        // Each setting on its own, as an application sets them; the first
        // refusal ends the line.
        for (const auto& [id, value] : request.settingValues) {
            if (!Took(app, app.SetValue(id, value), "IOCTL_QUILLEX_SET_VALUE", result)) {
                break;
            }
            result->meaning = request.mappingValues.empty()
                                  ? "the settings changed and were saved"
                                  : "the mapping and the settings changed and were saved";
        }
        break;
    }
    case AppRequest::kRestoreDefaults: {
        REMAP_RECORD record{};
        record.RestoreDefaults = 1;
        if (Took(app, app.SetMapping(record), "IOCTL_QUILLEX_SET_MAPPING", result)) {
            result->meaning = "the default mapping is in force and was saved";
        }
        break;
    }
    case AppRequest::kGetMapping: {
        REMAP_RECORD record;
        if (Took(app, app.GetMapping(&record), "IOCTL_QUILLEX_GET_MAPPING", result)) {
            const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
            result->reply.assign(bytes, bytes + sizeof(record));
            result->meaning = MappingMeaning(record);
        }
        break;
    }
    case AppRequest::kGetState: {
        APP_INSTANCE state;
        if (Took(app, app.GetState(&state), "IOCTL_QUILLEX_GET_STATE", result)) {
            const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&state);
            result->reply.assign(bytes, bytes + sizeof(state));
            result->meaning = StateMeaning(state);
        }
        break;
    }
    case AppRequest::kSetState:
        if (Took(app, app.SetState(request.state), "IOCTL_QUILLEX_SET_STATE", result)) {
            result->meaning = "pushed: " + StateMeaning(request.state);
        }
        break;
    case AppRequest::kGetValue: {
        UCHAR reply[4];
        if (Took(app, app.GetValue(request.itemId, reply), "IOCTL_QUILLEX_GET_VALUE", result)) {
            result->reply.assign(reply, reply + sizeof(reply));
            // A button is one byte; the rest of the reply is the id's.
            bool button = request.itemId >= QUILLEX_ITEM_BTN_A &&
                          request.itemId <= QUILLEX_ITEM_BTN_LEFT_TRIANGLE;
            ULONG value = button ? reply[0] : Little32(reply);
            const char* name = ItemName(request.itemId);
            result->meaning =
                std::string(name != nullptr ? name : "item " + std::to_string(request.itemId)) +
                " = " + std::to_string(value);
        }
        break;
    }
    case AppRequest::kSetValue:
        if (Took(app, app.SetValue(request.itemId, request.value), "IOCTL_QUILLEX_SET_VALUE",
                 result)) {
            result->meaning = request.Pushes() ? "pushed" : "set and saved";
        }
        break;
    }
    if (!result->ok) {
        result->meaning = "failed: " + FailureText(*result);
    }
}

std::string FailureText(const AppRequestResult& result) {
    return StatusText(static_cast<uint32_t>(result.status)) + ", Windows error " +
           std::to_string(result.win32Error);
}
