#include "tools/quillexctl/arcade_commands.h"

#include <stdio.h>
#include <strings.h>

#include "sim/peers/stick/raw_reports.h"
#include "tools/common/mapping_names.h"

namespace {

using json = nlohmann::json;

const char* const kModeMeanings[] = {"the lever is the d-pad", "the lever is the left stick",
                                     "the lever is the right stick"};

std::vector<uint8_t> IdBytes(uint32_t id) {
    return {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id >> 16),
            static_cast<uint8_t>(id >> 24)};
}

// The driver's answer to one request, or why there is none.
LinkResult Ask(DeviceLink* link, uint32_t code, const std::vector<uint8_t>& in, size_t out) {
    return link->Control(code, in, out);
}

int Failed(const char* what, const LinkResult& r) {
    if (!r.message.empty() && r.status == 0) {
        fprintf(stderr, "quillexctl: %s: %s\n", what, r.message.c_str());
    } else {
        fprintf(stderr, "quillexctl: %s: refused by the driver: %s\n", what,
                StatusText(r.status).c_str());
    }
    return 1;
}

bool GetSetting(DeviceLink* link, uint32_t id, uint32_t* value, LinkResult* r) {
    *r = Ask(link, IOCTL_QUILLEX_GET_VALUE, IdBytes(id), 4);
    if (!r->ok || r->out.size() < 4) {
        return false;
    }
    *value = static_cast<uint32_t>(r->out[0] | r->out[1] << 8 | r->out[2] << 16 |
                                   static_cast<uint32_t>(r->out[3]) << 24);
    return true;
}

int ShowIfText(const CommandContext& c) {
    return c.json ? 0 : ShowArcadeSettings(c);
}

} // namespace

uint32_t ArcadeSettingValue(const ArcadeSettings& s, uint32_t item) {
    switch (item) {
    case QUILLEX_ITEM_DPAD_MODE:
        return s.dpadMode;
    case QUILLEX_ITEM_TURBO_MASK:
        return s.turboMask;
    case QUILLEX_ITEM_TURBO_RATE:
        return s.turboRate;
    case QUILLEX_ITEM_HOTKEYS:
        return s.hotkeys;
    default:
        return 0;
    }
}

int PutArcadeSetting(const CommandContext& c, const char* what, uint32_t id, uint32_t value) {
    std::vector<uint8_t> in = IdBytes(id);
    std::vector<uint8_t> v = IdBytes(value);
    in.insert(in.end(), v.begin(), v.end());
    LinkResult r = Ask(c.link, IOCTL_QUILLEX_SET_VALUE, in, 0);
    if (!r.ok) {
        if (r.status == 0xC0000010) { // STATUS_INVALID_DEVICE_REQUEST
            fprintf(stderr,
                    "quillexctl: %s: this driver has no arcade settings (it refuses item %u): "
                    "%s\n",
                    what, id, StatusText(r.status).c_str());
            return 1;
        }
        return Failed(what, r);
    }
    return 0;
}

bool ReadArcadeSettings(DeviceLink* link, ArcadeSettings* settings, int* rc) {
    LinkResult r;
    uint32_t version = 0;
    if (!GetSetting(link, QUILLEX_ITEM_INTERFACE_VERSION, &version, &r)) {
        if (r.ok || r.status == 0xC0000010) { // an older driver refuses the id
            *settings = ArcadeSettings();
            return true;
        }
        *rc = Failed("arcade settings", r);
        return false;
    }
    settings->present = true;
    settings->version = version;
    struct Item {
        uint32_t id;
        uint32_t* value;
    } items[] = {{QUILLEX_ITEM_DPAD_MODE, &settings->dpadMode},
                 {QUILLEX_ITEM_TURBO_MASK, &settings->turboMask},
                 {QUILLEX_ITEM_TURBO_RATE, &settings->turboRate},
                 {QUILLEX_ITEM_HOTKEYS, &settings->hotkeys}};
    for (const Item& item : items) {
        if (!GetSetting(link, item.id, item.value, &r)) {
            *rc = Failed("arcade settings", r);
            return false;
        }
    }
    return true;
}

void PrintArcadeSettings(const ArcadeSettings& s) {
    if (!s.present) {
        printf("arcade settings: none (the driver's interface is version 1)\n");
        return;
    }
    printf("%-20s = %u  %s (%s)\n", "DPAD_MODE", s.dpadMode, LeverModeName(s.dpadMode),
           s.dpadMode < 3 ? kModeMeanings[s.dpadMode] : "unknown");
    std::string buttons;
    for (const std::string& name : TurboButtonNames(s.turboMask)) {
        buttons += (buttons.empty() ? "" : " ") + name;
    }
    printf("%-20s = 0x%04X  %s\n", "TURBO_MASK", s.turboMask,
           buttons.empty() ? "(no turbo)" : buttons.c_str());
    printf("%-20s = %u  presses a second\n", "TURBO_RATE", s.turboRate);
    printf("%-20s = %u  %s\n", "HOTKEYS", s.hotkeys,
           s.hotkeys ? "on: BACK+HOME with left, right or down switches the mode" : "off");
}

json ArcadeSettingsJson(const ArcadeSettings& s) {
    if (!s.present) {
        return json{{"interface_version", 1}};
    }
    return json{{"interface_version", s.version},
                {"DPAD_MODE", s.dpadMode},
                {"dpad_mode", LeverModeName(s.dpadMode)},
                {"TURBO_MASK", s.turboMask},
                {"turbo_buttons", TurboButtonNames(s.turboMask)},
                {"TURBO_RATE", s.turboRate},
                {"HOTKEYS", s.hotkeys}};
}

int ShowArcadeSettings(const CommandContext& c) {
    ArcadeSettings s;
    int rc = 0;
    if (!ReadArcadeSettings(c.link, &s, &rc)) {
        return rc;
    }
    if (c.json) {
        printf("%s\n", ArcadeSettingsJson(s).dump(2).c_str());
    } else {
        PrintArcadeSettings(s);
    }
    return 0;
}

int SetDpadMode(const CommandContext& c, const std::string& mode) {
    for (uint32_t m = 0; m <= QUILLEX_DPAD_MODE_MAX; ++m) {
        if (strcasecmp(mode.c_str(), LeverModeName(m)) == 0) {
            int rc = PutArcadeSetting(c, "mode", QUILLEX_ITEM_DPAD_MODE, m);
            return rc != 0 ? rc : ShowIfText(c);
        }
    }
    fprintf(stderr, "quillexctl: mode: '%s' is not a mode; modes are dpad, left and right\n",
            mode.c_str());
    return 2;
}

int SetTurbo(const CommandContext& c, const std::vector<std::string>& buttons,
             const std::string& rate) {
    uint32_t mask = 0;
    bool off = buttons.size() == 1 && strcasecmp(buttons[0].c_str(), "off") == 0;
    if (!off) {
        for (const std::string& name : buttons) {
            uint32_t bit = 0;
            if (!ParseCanonicalButton(name, &bit)) {
                std::string names;
                for (uint32_t i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
                    names += std::string(" ") + sim::stick::kButtonNames[i];
                }
                fprintf(stderr, "quillexctl: turbo: no button '%s'; buttons are%s, or off\n",
                        name.c_str(), names.c_str());
                return 2;
            }
            mask |= bit;
        }
    }
    uint64_t rateValue = 0;
    if (!rate.empty()) {
        std::string error;
        if (!ParseNumber("--rate", rate, QUILLEX_TURBO_RATE_MAX, &rateValue, &error) ||
            rateValue < QUILLEX_TURBO_RATE_MIN) {
            fprintf(stderr,
                    "quillexctl: turbo: --rate %s is out of range; valid rates are %u to %u "
                    "presses a second\n",
                    rate.c_str(), QUILLEX_TURBO_RATE_MIN, QUILLEX_TURBO_RATE_MAX);
            return 2;
        }
    }
    if (buttons.empty() && rate.empty()) {
        fprintf(stderr, "quillexctl: turbo: give the buttons, off, or --rate N\n");
        return 2;
    }
    // The rate first, so the buttons start at the rate asked for.
    if (!rate.empty()) {
        int rc =
            PutArcadeSetting(c, "turbo", QUILLEX_ITEM_TURBO_RATE, static_cast<uint32_t>(rateValue));
        if (rc != 0) {
            return rc;
        }
    }
    if (!buttons.empty()) {
        int rc = PutArcadeSetting(c, "turbo", QUILLEX_ITEM_TURBO_MASK, mask);
        if (rc != 0) {
            return rc;
        }
    }
    return ShowIfText(c);
}

int SetHotkeys(const CommandContext& c, const std::string& onOff) {
    uint32_t value;
    if (strcasecmp(onOff.c_str(), "on") == 0) {
        value = QUILLEX_HOTKEYS_ON;
    } else if (strcasecmp(onOff.c_str(), "off") == 0) {
        value = QUILLEX_HOTKEYS_OFF;
    } else {
        fprintf(stderr, "quillexctl: hotkeys: '%s' is neither on nor off\n", onOff.c_str());
        return 2;
    }
    int rc = PutArcadeSetting(c, "hotkeys", QUILLEX_ITEM_HOTKEYS, value);
    return rc != 0 ? rc : ShowIfText(c);
}
