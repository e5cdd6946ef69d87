#include "tools/quillex-sim/session_script.h"

#include <ctype.h>
#include <errno.h>
#include <string.h>

#include <fstream>
#include <sstream>

#include "mapping/remap_store.h"
#include "sim/core/utf.h"

namespace {

struct Token {
    std::string_view text;
    int column;
};

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

// Splits a line into tokens, a quoted label as one; '#' outside quotes
// starts a comment.
bool Tokenize(std::string_view line, std::vector<Token>* tokens, ScriptError* error) {
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
        tokens->push_back(Token{line.substr(start, i - start), static_cast<int>(start) + 1});
    }
    return true;
}

bool ParseNumber(std::string_view text, uint64_t limit, uint64_t* out) {
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

// "@250ms", "+20ms", "@1.5s", "+2s": microseconds, absolute or relative.
bool ParseTime(std::string_view text, bool* relative, std::chrono::microseconds* out) {
    if (text.size() < 3 || (text[0] != '@' && text[0] != '+')) {
        return false;
    }
    *relative = text[0] == '+';
    text.remove_prefix(1);
    uint64_t scale;
    if (text.size() > 2 && text.substr(text.size() - 2) == "ms") {
        scale = 1000;
        text.remove_suffix(2);
    } else if (text.size() > 2 && text.substr(text.size() - 2) == "us") {
        scale = 1;
        text.remove_suffix(2);
    } else if (text.size() > 1 && text.back() == 's') {
        scale = 1000000;
        text.remove_suffix(1);
    } else {
        return false;
    }
    size_t dot = text.find('.');
    uint64_t whole = 0, fraction = 0, fractionScale = 1;
    if (!ParseNumber(text.substr(0, dot), 100000000, &whole)) {
        return false;
    }
    if (dot != std::string_view::npos) {
        std::string_view digits = text.substr(dot + 1);
        if (digits.empty() || digits.size() > 6 || !ParseNumber(digits, 999999, &fraction)) {
            return false;
        }
        for (size_t i = 0; i < digits.size(); ++i) {
            fractionScale *= 10;
        }
    }
    // At most a day: longer is a slip of the keyboard.
    uint64_t micros = whole * scale + fraction * scale / fractionScale;
    if (micros > 86400ull * 1000000ull) {
        return false;
    }
    *out = std::chrono::microseconds(micros);
    return true;
}

bool ParseHat(std::string_view name, uint8_t* hat) {
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

bool ParseButton(std::string_view name, uint32_t* bit) {
    for (uint32_t i = 0; i < 13; ++i) {
        std::string_view full = sim::stick::kButtonNames[i];
        if (EqualNoCase(name, full) || EqualNoCase(name, full.substr(4))) {
            *bit = 1u << i;
            return true;
        }
    }
    return false;
}

uint8_t* Axis(sim::stick::StickState* s, std::string_view key) {
    struct Named {
        const char* key;
        uint8_t sim::stick::StickState::*field;
    };
    static const Named kAxes[] = {
        {"lx", &sim::stick::StickState::leftX},       {"ly", &sim::stick::StickState::leftY},
        {"rx", &sim::stick::StickState::rightX},      {"ry", &sim::stick::StickState::rightY},
        {"lt", &sim::stick::StickState::leftTrigger}, {"rt", &sim::stick::StickState::rightTrigger},
    };
    for (const Named& a : kAxes) {
        if (EqualNoCase(key, a.key)) {
            return &(s->*a.field);
        }
    }
    return nullptr;
}

} // namespace

bool MappingValueOffset(std::string_view name, unsigned* offset) {
    for (ULONG i = 0; i < sizeof(REMAP_RECORD); ++i) {
        PCWSTR wide = nullptr;
        if (NT_SUCCESS(RemapValueName(i, &wide)) && EqualNoCase(name, sim::Utf16ToUtf8(wide))) {
            *offset = i;
            return true;
        }
    }
    return false;
}

bool ParseSessionScript(std::string_view text, std::vector<SessionStep>* steps,
                        ScriptError* error) {
    steps->clear();
    sim::stick::StickState current;
    std::chrono::microseconds last{0};
    int lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        error->line = lineNumber;
        auto fail = [&](const Token& at, std::string message) {
            error->column = at.column;
            error->message = std::move(message);
            return false;
        };
        std::vector<Token> tokens;
        if (!Tokenize(line, &tokens, error)) {
            return false;
        }
        if (tokens.empty()) {
            continue;
        }
        SessionStep step;
        step.line = lineNumber;
        bool relative = false;
        if (!ParseTime(tokens[0].text, &relative, &step.at)) {
            return fail(tokens[0], "a step starts with its time, @250ms (from the start) or "
                                   "+20ms (after the step before), not '" +
                                       std::string(tokens[0].text) + "'");
        }
        if (relative) {
            step.at += last;
        } else if (step.at < last) {
            return fail(tokens[0], "the time goes back: this step is before the one on an "
                                   "earlier line");
        }
        last = step.at;

        size_t next = 1;
        if (next < tokens.size() && EqualNoCase(tokens[next].text, "set")) {
            step.kind = SessionStep::kSetMapping;
            if (++next >= tokens.size()) {
                return fail(tokens[next - 1], "set needs NAME=VALUE, as in set BTN_A=3");
            }
            const Token& assignment = tokens[next++];
            size_t eq = assignment.text.find('=');
            std::string_view name = assignment.text.substr(0, eq);
            if (eq == std::string_view::npos || !MappingValueOffset(name, &step.recordOffset)) {
                return fail(assignment, "'" + std::string(name) +
                                            "' is no mapping value (BTN_A ... BTN_LEFT_TRIANGLE, "
                                            "SWAP_TRIGGERS, SWAP_STICKS, ENABLE_SCALING, "
                                            "R_TRIG_CP_1 ... L_STICK_Y_CP_2)");
            }
            uint64_t value;
            if (!ParseNumber(assignment.text.substr(eq + 1), 255, &value)) {
                Token at{assignment.text, assignment.column + static_cast<int>(eq) + 1};
                return fail(at, "a mapping value is a number 0..255");
            }
            step.valueName = std::string(name);
            step.value = static_cast<uint8_t>(value);
        } else {
            current.buttons = 0;
            current.hat = 8;
        }
        for (; next < tokens.size(); ++next) {
            const Token& t = tokens[next];
            if (t.text.front() == '"') {
                if (next + 1 != tokens.size()) {
                    return fail(tokens[next + 1], "nothing may follow the label");
                }
                step.what = std::string(t.text.substr(1, t.text.size() - 2));
                break;
            }
            if (step.kind == SessionStep::kSetMapping) {
                return fail(t, "a set line changes one value; put stick input on a line of "
                               "its own");
            }
            uint32_t bit;
            size_t eq = t.text.find('=');
            if (eq == std::string_view::npos) {
                if (EqualNoCase(t.text, "rest")) {
                    current = sim::stick::StickState();
                } else if (ParseButton(t.text, &bit)) {
                    current.buttons |= bit;
                } else {
                    return fail(t, "'" + std::string(t.text) +
                                       "' is no canonical button (BTN_A, BTN_B, BTN_X, BTN_Y, "
                                       "BTN_LEFT_TRIGGER, ... BTN_LEFT_TRIANGLE)");
                }
                continue;
            }
            std::string_view key = t.text.substr(0, eq);
            std::string_view value = t.text.substr(eq + 1);
            Token valueToken{value, t.column + static_cast<int>(eq) + 1};
            if (EqualNoCase(key, "hat")) {
                if (!ParseHat(value, &current.hat)) {
                    return fail(valueToken, "the hat points up, up-right, right, down-right, "
                                            "down, down-left, left, up-left or centre");
                }
            } else if (uint8_t* axis = Axis(&current, key)) {
                uint64_t v;
                if (!ParseNumber(value, 255, &v)) {
                    return fail(valueToken, std::string(key) + " is a number 0..255");
                }
                *axis = static_cast<uint8_t>(v);
            } else {
                return fail(t, "'" + std::string(key) + "' is not hat, lx, ly, rx, ry, lt or rt");
            }
        }
        if (step.what.empty()) {
            std::string_view written = line.substr(0, line.find('#'));
            while (!written.empty() && isspace(static_cast<unsigned char>(written.back()))) {
                written.remove_suffix(1);
            }
            step.what = std::string(written.substr(tokens[0].text.size() + tokens[0].column - 1));
            size_t first = step.what.find_first_not_of(" \t");
            step.what = first == std::string::npos ? "" : step.what.substr(first);
        }
        step.state = current;
        steps->push_back(std::move(step));
    }
    if (steps->empty()) {
        error->line = lineNumber;
        error->column = 1;
        error->message = "the script has no step";
        return false;
    }
    return true;
}

bool LoadSessionScript(const std::string& path, std::vector<SessionStep>* steps,
                       std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": " + strerror(errno);
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    ScriptError where;
    if (!ParseSessionScript(text.str(), steps, &where)) {
        *error = path + ":" + std::to_string(where.line) + ":" + std::to_string(where.column) +
                 ": " + where.message;
        return false;
    }
    return true;
}
