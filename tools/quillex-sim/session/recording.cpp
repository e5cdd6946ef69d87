#include "tools/quillex-sim/session/recording.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "tools/quillex-sim/command_line.h"

namespace {

using json = nlohmann::ordered_json;

std::string HexBytes(const uint8_t* bytes, size_t count) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < count; ++i) {
        snprintf(b, sizeof(b), i ? " %02x" : "%02x", bytes[i]);
        out += b;
    }
    return out;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* out) {
    out->clear();
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        if (i + 1 >= text.size() || !isxdigit(static_cast<unsigned char>(text[i])) ||
            !isxdigit(static_cast<unsigned char>(text[i + 1]))) {
            return false;
        }
        out->push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return true;
}

std::string ModelName(sim::stick::Layout layout) {
    return std::string(1, sim::stick::ModelOf(layout).letter);
}

// The model a step names by its letter, or nullptr.
const sim::stick::Model* RecordedModel(const json& step) {
    if (!step.contains("model") || !step["model"].is_string()) {
        return nullptr;
    }
    const std::string& letter = step["model"].get_ref<const std::string&>();
    const sim::stick::Model* model =
        letter.size() == 1 ? sim::stick::ModelWithLetter(letter[0]) : nullptr;
    return model != nullptr && model->letter == letter[0] ? model : nullptr;
}

// "\"A\" or \"B\"": the letters a recording may name.
std::string ModelLetters() {
    std::string letters;
    size_t count = std::size(sim::stick::kModels);
    for (size_t i = 0; i < count; ++i) {
        letters += i == 0 ? "" : i + 1 == count ? " or " : ", ";
        letters += std::string("\"") + sim::stick::kModels[i].letter + "\"";
    }
    return letters;
}

// The fields compared, in the order a person reads a step.
constexpr const char* kCompared[] = {"request",  "code",    "status",  "win32_error", "reply",
                                     "raw",      "changed", "buttons", "analog",      "xbox",
                                     "delivery", "gamepad", "led"};

std::string StatusHex(NTSTATUS status) {
    char text[16];
    snprintf(text, sizeof(text), "%08x", static_cast<unsigned>(status));
    return text;
}

std::string Shown(const json& value) {
    return value.is_null() ? "(nothing)" : value.dump();
}

} // namespace

json StepToJson(const StepResult& r, bool nameStick) {
    const SessionStep& step = *r.step;
    json j;
    j["step"] = r.index;
    if (nameStick) {
        j["stick"] = r.stick;
    }
    j["model"] = ModelName(r.layout);
    j["at_us"] = step.at.count();
    j["what"] = step.what;
    j["led"] = r.led;
    if (step.kind == SessionStep::kRequest) {
        const AppRequestResult& answer = r.request;
        j["request"] = step.request.text;
        j["code"] = answer.code;
        j["status"] = StatusHex(answer.status);
        j["win32_error"] = answer.win32Error;
        j["reply"] = HexBytes(answer.reply.data(), answer.reply.size());
        j["meaning"] = answer.meaning;
        if (r.delivery.empty()) {
            return j; // nothing was pushed
        }
    } else {
        j["raw"] = HexBytes(r.raw.data(), r.raw.size());
        j["changed"] = r.changed;
    }
    json buttons = json::array();
    for (unsigned i = 0; i < 13; ++i) {
        if (r.buttons & (1u << i)) {
            buttons.push_back(sim::stick::kButtonNames[i]);
        }
    }
    j["buttons"] = buttons;
    j["analog"] = {{"lx", r.analog[ANALOG_LEFT_STICK_X]},  {"ly", r.analog[ANALOG_LEFT_STICK_Y]},
                   {"rx", r.analog[ANALOG_RIGHT_STICK_X]}, {"ry", r.analog[ANALOG_RIGHT_STICK_Y]},
                   {"hat", r.analog[ANALOG_HAT]},          {"lt", r.analog[ANALOG_LEFT_TRIGGER]},
                   {"rt", r.analog[ANALOG_RIGHT_TRIGGER]}};
    j["xbox"] = HexBytes(r.xbox.data(), r.xbox.size());
    j["delivery"] = r.delivery;
    const sim::xbox::Gamepad& pad = r.gamepad;
    j["gamepad"] = {{"text", sim::xbox::Describe(pad)},
                    {"buttons", pad.buttons},
                    {"lt", pad.leftTrigger},
                    {"rt", pad.rightTrigger},
                    {"lx", pad.thumbLX},
                    {"ly", pad.thumbLY},
                    {"rx", pad.thumbRX},
                    {"ry", pad.thumbRY}};
    return j;
}

Recorder::~Recorder() {
    std::string ignored;
    Close(&ignored);
}

bool Recorder::Open(const std::string& path, std::string* error) {
    path_ = path;
    file_ = fopen(path.c_str(), "w");
    if (file_ == nullptr) {
        *error = path + ": " + strerror(errno);
        return false;
    }
    return true;
}

void Recorder::Write(const json& step) {
    // One write and a flush per step: a run stopped at any moment leaves
    // whole lines, each readable by --expect.
    std::string line = step.dump() + "\n";
    std::lock_guard<std::mutex> guard(lock_);
    if (file_ != nullptr &&
        (fwrite(line.data(), 1, line.size(), file_) != line.size() || fflush(file_) != 0)) {
        failed_ = true;
    }
}

bool Recorder::Close(std::string* error) {
    std::lock_guard<std::mutex> guard(lock_);
    if (file_ == nullptr) {
        return true;
    }
    bool ok = !failed_ && fflush(file_) == 0 && !ferror(file_);
    int why = errno;
    ok = fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (!ok) {
        *error = path_ + ": the recording could not be written: " + strerror(why);
    }
    return ok;
}

bool LoadRecording(const std::string& path, Recording* recording, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": " + strerror(errno);
        return false;
    }
    std::string line;
    int number = 0;
    bool named = false, unnamed = false;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty()) {
            continue;
        }
        auto fail = [&](const std::string& why) {
            *error = path + ":" + std::to_string(number) + ": " + why;
            return false;
        };
        json j = json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.is_object()) {
            return fail("not a JSON object");
        }
        const sim::stick::Model* model = RecordedModel(j);
        if (model == nullptr) {
            return fail("no \"model\": " + ModelLetters());
        }
        if (!j.contains("at_us") || !j["at_us"].is_number_unsigned()) {
            return fail("no \"at_us\" time");
        }
        int stick = 0;
        if (j.contains("stick")) {
            if (!j["stick"].is_number_unsigned() || j["stick"].get<uint64_t>() == 0 ||
                j["stick"].get<uint64_t>() > static_cast<uint64_t>(kMaxSticks)) {
                return fail("\"stick\" is a stick's number, 1 to " + std::to_string(kMaxSticks));
            }
            stick = static_cast<int>(j["stick"].get<uint64_t>());
        }
        (stick != 0 ? named : unnamed) = true;
        if (named && unnamed) {
            return fail("some steps name their stick and some do not");
        }
        sim::stick::Layout layout = model->layout;
        SessionStep step;
        step.line = number;
        step.at = std::chrono::microseconds(j["at_us"].get<uint64_t>());
        if (j.contains("what") && !j["what"].is_string()) {
            return fail("\"what\" is not text");
        }
        step.what = j.value("what", "");
        if (j.contains("request")) {
            ScriptError where;
            step.kind = SessionStep::kRequest;
            if (!j["request"].is_string() ||
                !ParseAppRequestText(j["request"].get<std::string>(), &step.request, &where)) {
                return fail("\"request\" is not a request: " + where.message);
            }
        } else if (!j.contains("raw") || !j["raw"].is_string() ||
                   !ParseHexBytes(j["raw"].get<std::string>(), &step.raw) || step.raw.empty()) {
            return fail("a stick step needs \"raw\", the report as hex bytes");
        }
        // Without stick numbers, one stick per model, played in the table's order.
        int key = stick != 0 ? stick : static_cast<int>(model - sim::stick::kModels) + 1;
        auto at = std::find_if(recording->sticks.begin(), recording->sticks.end(),
                               [&](const RecordedStick& s) { return s.number == key; });
        if (at == recording->sticks.end()) {
            at = recording->sticks.insert(recording->sticks.end(), RecordedStick());
            at->number = key;
            at->layout = layout;
        } else if (at->layout != layout) {
            return fail("stick " + std::to_string(key) + " was of model " + ModelName(at->layout) +
                        " before");
        }
        if (!at->session.empty() && step.at < at->session.back().at) {
            return fail("the time goes back");
        }
        at->session.push_back(std::move(step));
        at->expected.push_back(std::move(j));
    }
    if (recording->sticks.empty()) {
        *error = path + ": no recorded step";
        return false;
    }
    std::sort(recording->sticks.begin(), recording->sticks.end(),
              [](const RecordedStick& a, const RecordedStick& b) { return a.number < b.number; });
    recording->together = named;
    if (named) {
        for (size_t i = 0; i < recording->sticks.size(); ++i) {
            if (recording->sticks[i].number != static_cast<int>(i + 1)) {
                *error = path + ": stick " + std::to_string(i + 1) + " has no step";
                return false;
            }
        }
    } else {
        for (RecordedStick& s : recording->sticks) {
            s.number = 0;
        }
    }
    return true;
}

bool CompareStep(const json& expected, const json& got, std::string* diff) {
    for (const char* field : kCompared) {
        json e = expected.contains(field) ? expected[field] : json();
        json g = got.contains(field) ? got[field] : json();
        if (e == g) {
            continue;
        }
        std::string where = field;
        // Objects: name the member that differs.
        if (e.is_object() && g.is_object()) {
            std::string member;
            for (auto& [key, value] : e.items()) {
                if (!g.contains(key) || g[key] != value) {
                    member = key;
                    break;
                }
            }
            if (!member.empty()) {
                where += "." + member;
                json expectedMember = e[member];
                json gotMember = g.contains(member) ? g[member] : json();
                e = expectedMember;
                g = gotMember;
            }
        }
        char at[32];
        snprintf(at, sizeof(at), "@%gms", got.value("at_us", 0) / 1000.0);
        std::string stick = got.contains("stick") ? std::to_string(got.value("stick", 0)) + " (" +
                                                        got.value("model", "?") + ")"
                                                  : got.value("model", "?");
        *diff = "step " + std::to_string(got.value("step", -1)) + " of stick " + stick + " " + at +
                " \"" + got.value("what", "") + "\", " + where + ":\n  expected " + Shown(e) +
                "\n  got      " + Shown(g);
        return false;
    }
    return true;
}
