#include "tools/quillex-sim/session/script_tokens.h"

#include <ctype.h>

#include "sim/peers/stick/raw_reports.h"

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (toupper(static_cast<unsigned char>(a[i])) !=
            toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

bool TokenizeScriptLine(std::string_view line, std::vector<ScriptToken>* tokens,
                        ScriptError* error) {
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
            continue;
        }
        if (c == '#') {
            break;
        }
        size_t start = i;
        if (c == '"') {
            size_t close = line.find('"', i + 1);
            if (close == std::string_view::npos) {
                error->column = static_cast<int>(start) + 1;
                error->message = "the label's closing quote is missing";
                return false;
            }
            i = close + 1;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
                   line[i] != '#') {
                ++i;
            }
        }
        tokens->push_back(ScriptToken{line.substr(start, i - start), static_cast<int>(start) + 1});
    }
    return true;
}

bool ParseDecimal(std::string_view text, uint64_t limit, uint64_t* out) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > limit) {
        return false;
    }
    *out = v;
    return true;
}

bool ParseHatName(std::string_view name, uint8_t* hat) {
    static const char* const kDirections[] = {"up",   "up-right",  "right", "down-right",
                                              "down", "down-left", "left",  "up-left"};
    for (uint8_t i = 0; i < 8; ++i) {
        if (EqualNoCase(name, kDirections[i])) {
            *hat = i;
            return true;
        }
    }
    if (EqualNoCase(name, "centre") || EqualNoCase(name, "center")) {
        *hat = 8;
        return true;
    }
    return false;
}

bool ParseButtonName(std::string_view name, uint32_t* bit) {
    for (uint32_t i = 0; i < 13; ++i) {
        std::string_view full = sim::stick::kButtonNames[i];
        if (EqualNoCase(name, full) || EqualNoCase(name, full.substr(4))) {
            *bit = 1u << i;
            return true;
        }
    }
    return false;
}
