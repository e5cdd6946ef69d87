#include "tools/quillex-sim/recording.h"

#include <errno.h>
#include <string.h>

#include <fstream>

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
    return layout == sim::stick::Layout::A ? "A" : "B";
}

// The fields compared, in the order a person reads a step.
constexpr const char* kCompared[] = {"set",    "value", "status",   "raw",     "changed", "buttons",
                                     "analog", "xbox",  "delivery", "gamepad", "led"};

std::string Shown(const json& value) {
    return value.is_null() ? "(nothing)" : value.dump();
}

} // namespace

json StepToJson(const StepResult& r, sim::stick::Layout layout) {
    const SessionStep& step = *r.step;
    json j;
    j["step"] = r.index;
    j["model"] = ModelName(layout);
    j["at_us"] = step.at.count();
    j["what"] = step.what;
    j["led"] = r.led;
    if (step.kind == SessionStep::kSetMapping) {
        j["set"] = step.valueName;
        j["value"] = step.value;
        char status[16];
        snprintf(status, sizeof(status), "%08x", static_cast<unsigned>(r.mappingStatus));
        j["status"] = status;
        return j;
    }
    j["raw"] = HexBytes(r.raw.data(), r.raw.size());
    j["changed"] = r.changed;
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
    std::lock_guard<std::mutex> guard(lock_);
    if (file_ != nullptr && fprintf(file_, "%s\n", step.dump().c_str()) < 0) {
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
        if (!j.contains("model") || !j["model"].is_string() ||
            (j["model"] != "A" && j["model"] != "B")) {
            return fail("no \"model\": \"A\" or \"B\"");
        }
        if (!j.contains("at_us") || !j["at_us"].is_number_unsigned()) {
            return fail("no \"at_us\" time");
        }
        sim::stick::Layout layout =
            j["model"] == "A" ? sim::stick::Layout::A : sim::stick::Layout::B;
        SessionStep step;
        step.line = number;
        step.at = std::chrono::microseconds(j["at_us"].get<uint64_t>());
        step.what = j.value("what", "");
        if (j.contains("set")) {
            if (!j["set"].is_string() || !j.contains("value") || !j["value"].is_number_unsigned() ||
                j["value"].get<uint64_t>() > 255 ||
                !MappingValueOffset(j["set"].get<std::string>(), &step.recordOffset)) {
                return fail("a mapping step needs \"set\" (a mapping value) and \"value\" 0..255");
            }
            step.kind = SessionStep::kSetMapping;
            step.valueName = j["set"].get<std::string>();
            step.value = static_cast<uint8_t>(j["value"].get<uint64_t>());
        } else {
            if (!j.contains("raw") || !j["raw"].is_string() ||
                !ParseHexBytes(j["raw"].get<std::string>(), &step.raw) || step.raw.empty()) {
                return fail("a stick step needs \"raw\", the report as hex bytes");
            }
        }
        std::vector<SessionStep>& session = recording->sessions[layout];
        if (!session.empty() && step.at < session.back().at) {
            return fail("the time goes back");
        }
        session.push_back(std::move(step));
        recording->expected[layout].push_back(std::move(j));
    }
    if (recording->sessions.empty()) {
        *error = path + ": no recorded step";
        return false;
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
        *diff = "step " + std::to_string(got.value("step", -1)) + " of stick " +
                got.value("model", "?") + " " + at + " \"" + got.value("what", "") + "\", " +
                where + ":\n  expected " + Shown(e) + "\n  got      " + Shown(g);
        return false;
    }
    return true;
}
