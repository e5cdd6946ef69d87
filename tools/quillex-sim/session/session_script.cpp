#include "tools/quillex-sim/session/session_script.h"

#include <errno.h>
#include <string.h>

#include <fstream>
#include <sstream>

namespace {

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
    if (!ParseDecimal(text.substr(0, dot), 100000000, &whole)) {
        return false;
    }
    if (dot != std::string_view::npos) {
        std::string_view digits = text.substr(dot + 1);
        if (digits.empty() || digits.size() > 6 || !ParseDecimal(digits, 999999, &fraction)) {
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

// The axes a line may name, in StickInput::axes order.
constexpr const char* kAxisKeys[StickInput::kAxisCount] = {"lx", "ly", "rx", "ry", "lt", "rt"};

int AxisIndex(std::string_view key) {
    for (int i = 0; i < StickInput::kAxisCount; ++i) {
        if (EqualNoCase(key, kAxisKeys[i])) {
            return i;
        }
    }
    return -1;
}

// The state a stick is in once a line is played on it.
sim::stick::StickState Apply(const StickInput& input, sim::stick::StickState state) {
    if (input.rest) {
        state = sim::stick::StickState();
    }
    uint8_t* axes[StickInput::kAxisCount] = {&state.leftX,       &state.leftY,
                                             &state.rightX,      &state.rightY,
                                             &state.leftTrigger, &state.rightTrigger};
    for (int i = 0; i < StickInput::kAxisCount; ++i) {
        if (input.axes[i] >= 0) {
            *axes[i] = static_cast<uint8_t>(input.axes[i]);
        }
    }
    state.buttons = input.buttons;
    state.hat = input.hat;
    return state;
}

// The stick part of a line: buttons, hat=, axes, rest.
bool ParseStickInput(const std::vector<ScriptToken>& tokens, size_t first, size_t end,
                     StickInput* input, ScriptError* error) {
    auto fail = [&](const ScriptToken& at, std::string message) {
        error->column = at.column;
        error->message = std::move(message);
        return false;
    };
    for (size_t next = first; next < end; ++next) {
        const ScriptToken& t = tokens[next];
        uint32_t bit;
        size_t eq = t.text.find('=');
        if (eq == std::string_view::npos) {
            if (EqualNoCase(t.text, "rest")) {
                input->rest = true;
            } else if (ParseButtonName(t.text, &bit)) {
                input->buttons |= bit;
            } else {
                return fail(t, "'" + std::string(t.text) +
                                   "' is no canonical button (BTN_A, BTN_B, BTN_X, BTN_Y, "
                                   "BTN_LEFT_TRIGGER, ... BTN_LEFT_TRIANGLE)");
            }
            continue;
        }
        std::string_view key = t.text.substr(0, eq);
        std::string_view value = t.text.substr(eq + 1);
        ScriptToken valueToken{value, t.column + static_cast<int>(eq) + 1};
        int axis = AxisIndex(key);
        if (EqualNoCase(key, "hat")) {
            if (!ParseHatName(value, &input->hat)) {
                return fail(valueToken, "the hat points up, up-right, right, down-right, "
                                        "down, down-left, left, up-left or centre");
            }
        } else if (axis >= 0) {
            uint64_t v;
            if (!ParseDecimal(value, 255, &v)) {
                return fail(valueToken, std::string(key) + " is a number 0..255");
            }
            input->axes[axis] = static_cast<int>(v);
        } else if (EqualNoCase(key, "stick")) {
            return fail(t, "stick= comes once, right after the time");
        } else {
            return fail(t, "'" + std::string(key) + "' is not hat, lx, ly, rx, ry, lt or rt");
        }
    }
    return true;
}

} // namespace

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
        auto fail = [&](const ScriptToken& at, std::string message) {
            error->column = at.column;
            error->message = std::move(message);
            return false;
        };
        std::vector<ScriptToken> tokens;
        if (!TokenizeScriptLine(line, &tokens, error)) {
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
        // "stick=2" right after the time: the line is for that stick alone.
        if (next < tokens.size() && tokens[next].text.size() > 6 &&
            EqualNoCase(tokens[next].text.substr(0, 6), "stick=")) {
            uint64_t number;
            ScriptToken value{tokens[next].text.substr(6), tokens[next].column + 6};
            if (!ParseDecimal(value.text, 1000, &number) || number == 0) {
                return fail(value, "stick= names a stick by its number, 1 for the first");
            }
            step.stick = static_cast<int>(number);
            step.stickColumn = value.column;
            ++next;
        }
        // The label, if any, ends the line.
        size_t end = tokens.size();
        for (size_t i = next; i < tokens.size(); ++i) {
            if (tokens[i].text.front() == '"') {
                if (i + 1 != tokens.size()) {
                    return fail(tokens[i + 1], "nothing may follow the label");
                }
                step.what = std::string(tokens[i].text.substr(1, tokens[i].text.size() - 2));
                end = i;
            }
        }
        if (next < end && IsRequestWord(tokens[next].text)) {
            step.kind = SessionStep::kRequest;
            if (!ParseAppRequest(tokens, next, end, &step.request, error)) {
                return false;
            }
        } else {
            if (!ParseStickInput(tokens, next, end, &step.input, error)) {
                return false;
            }
            current = Apply(step.input, current);
            step.state = current;
        }
        if (step.what.empty() && step.kind == SessionStep::kRequest) {
            step.what = step.request.text;
        } else if (step.what.empty()) {
            // Without a label, the line's own words name it.
            for (size_t i = next; i < end; ++i) {
                step.what += std::string(i == next ? "" : " ") + std::string(tokens[i].text);
            }
        }
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

std::vector<SessionStep> StepsForStick(const std::vector<SessionStep>& steps, int number) {
    std::vector<SessionStep> own;
    sim::stick::StickState current;
    for (const SessionStep& step : steps) {
        if (step.stick != 0 && step.stick != number) {
            continue;
        }
        own.push_back(step);
        if (step.kind == SessionStep::kStick && step.raw.empty()) {
            current = Apply(step.input, current);
            own.back().state = current;
        }
    }
    return own;
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
