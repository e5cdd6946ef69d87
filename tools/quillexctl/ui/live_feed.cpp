#include "tools/quillexctl/ui/live_feed.h"

#include <ctype.h>
#include <string.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "tools/common/mapping_names.h"
#include "tools/quillexctl/ui/arcade_settings.h"
#include "tools/quillexctl/ui/game_view.h"

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr auto kMappingReadEvery = std::chrono::milliseconds(500);
constexpr auto kRescanWhileNone = std::chrono::milliseconds(500);
constexpr auto kRescanEvery = std::chrono::seconds(2);
// After a stick stopped answering: soon, but not at every poll while it is
// gone, since a rescan may open sticks (and asks the machine each time).
constexpr auto kRescanAfterLoss = std::chrono::milliseconds(500);

json StateJson(const APP_INSTANCE& s) {
    json buttons = json::array();
    for (int i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
        buttons.push_back(s.Buttons[i] != 0 ? 1 : 0);
    }
    return json{{"buttons", buttons},
                {"RIGHT_STICK_Y", s.RightStickY},
                {"RIGHT_STICK_X", s.RightStickX},
                {"LEFT_STICK_X", s.LeftStickX},
                {"LEFT_STICK_Y", s.LeftStickY},
                {"DPAD", s.Dpad},
                {"FIRST_TRIGGER", s.FirstTrigger},
                {"SECOND_TRIGGER", s.SecondTrigger},
                {"LED", s.Led}};
}

json MappingJson(const std::vector<uint8_t>& bytes) {
    json values = json::object();
    for (const MappingValue& field : MappingValues()) {
        values[field.name] = bytes[field.offset];
    }
    return values;
}

json GameJson(const GameView& g) {
    return json{{"buttons", g.buttons},
                {"left_trigger", g.leftTrigger},
                {"right_trigger", g.rightTrigger},
                {"left_x", g.leftX},
                {"left_y", g.leftY},
                {"right_x", g.rightX},
                {"right_y", g.rightY}};
}

// The page's words when no stick answers. Where the link's own reason is
// already "no Quillex stick found: ADVICE" (Windows), its advice is the
// sentence, on one line; otherwise the hint, with the reason after it.
std::string NoStickMessage(const std::string& linkError, const std::string& hint) {
    std::string why;
    for (size_t i = 0; i < linkError.size(); ++i) {
        if (linkError[i] == '\n') {
            why += ' ';
            while (i + 1 < linkError.size() && linkError[i + 1] == ' ') {
                ++i;
            }
        } else {
            why += linkError[i];
        }
    }
    static const std::string kSaid = "no Quillex stick found: ";
    if (why.compare(0, kSaid.size(), kSaid) == 0 && why.size() > kSaid.size()) {
        std::string advice = why.substr(kSaid.size());
        advice[0] = static_cast<char>(toupper(static_cast<unsigned char>(advice[0])));
        return "No Quillex stick found. " + advice + ".";
    }
    return "No Quillex stick found. " + hint + (why.empty() ? "" : " (" + why + ")");
}

} // namespace

LiveFeed::LiveFeed(StickPool& pool, std::string noServerHint, std::chrono::microseconds period)
    : pool_(pool), noServerHint_(std::move(noServerHint)), period_(period) {}

LiveFeed::~LiveFeed() {
    Stop();
}

void LiveFeed::Start() {
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
}

void LiveFeed::Stop() {
    stop_ = true;
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void LiveFeed::Watch(unsigned stick) {
    std::lock_guard<std::mutex> guard(lock_);
    Watched& w = watched_[stick];
    ++w.watchers;
    w.readMapping = true;
}

void LiveFeed::Unwatch(unsigned stick) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = watched_.find(stick);
    if (it != watched_.end() && --it->second.watchers <= 0) {
        watched_.erase(it);
    }
}

void LiveFeed::MappingChanged(unsigned stick) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = watched_.find(stick);
    if (it != watched_.end()) {
        it->second.readMapping = true;
    }
}

bool LiveFeed::WaitNext(unsigned stick, uint64_t* seen, std::string* event,
                        std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock_);
    auto newer = [&] {
        auto it = watched_.find(stick);
        return stop_ || (it != watched_.end() && it->second.seq > *seen);
    };
    changed_.wait_for(guard, timeout, newer);
    auto it = watched_.find(stick);
    if (stop_ || it == watched_.end() || it->second.seq <= *seen) {
        return false;
    }
    *seen = it->second.seq;
    *event = it->second.event;
    return true;
}

void LiveFeed::Run() {
    Clock::time_point nextScan = Clock::now(), lastScan = nextScan;
    while (!stop_) {
        Clock::time_point start = Clock::now();
        if (start >= nextScan) {
            lastScan = start;
            unsigned found = pool_.Rescan(nullptr);
            nextScan =
                start + (found == 0 ? std::chrono::duration_cast<Clock::duration>(kRescanWhileNone)
                                    : std::chrono::duration_cast<Clock::duration>(kRescanEvery));
        }
        std::vector<unsigned> sticks;
        {
            std::lock_guard<std::mutex> guard(lock_);
            for (const auto& entry : watched_) {
                sticks.push_back(entry.first);
            }
        }
        unsigned count = pool_.Count();
        for (unsigned stick : sticks) {
            if (!Poll(stick, count)) {
                // A stick went away: look again.
                nextScan = std::min(nextScan, lastScan + kRescanAfterLoss);
            }
        }
        std::this_thread::sleep_until(start + period_);
    }
}

bool LiveFeed::Poll(unsigned stick, unsigned count) {
    bool readMapping = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = watched_.find(stick);
        if (it == watched_.end()) {
            return true;
        }
        readMapping =
            it->second.readMapping || Clock::now() - it->second.mappingReadAt > kMappingReadEvery;
    }

    std::string status = "ok", message;
    std::vector<uint8_t> state, mapping;
    std::map<std::string, uint32_t> settings;
    bool present = true;
    if (count == 0) {
        status = "no_stick";
        message = NoStickMessage(pool_.LastError(), noServerHint_);
    } else if (stick >= count) {
        status = "no_such_stick";
        message = "Stick " + std::to_string(stick + 1) + " is not plugged in; " +
                  std::to_string(count) + (count == 1 ? " stick is" : " sticks are") + " present.";
    } else {
        LinkResult r = pool_.Control(stick, IOCTL_QUILLEX_GET_STATE, {}, sizeof(APP_INSTANCE));
        if (!r.ok || r.out.size() < sizeof(APP_INSTANCE)) {
            status = "removed";
            message = "Stick " + std::to_string(stick + 1) +
                      " was removed or stopped answering; this page picks it up again when it "
                      "is back.";
            present = false;
        } else {
            state = r.out;
            if (readMapping) {
                LinkResult m =
                    pool_.Control(stick, IOCTL_QUILLEX_GET_MAPPING, {}, sizeof(REMAP_RECORD));
                if (m.ok && m.out.size() >= sizeof(REMAP_RECORD)) {
                    mapping = m.out;
                    mapping.resize(sizeof(REMAP_RECORD));
                    ReadArcadeSettings(pool_, stick, &settings);
                }
            }
        }
    }

    std::lock_guard<std::mutex> guard(lock_);
    auto it = watched_.find(stick);
    if (it == watched_.end()) {
        return present;
    }
    Watched& w = it->second;
    if (!mapping.empty()) {
        w.readMapping = false;
        w.mappingReadAt = Clock::now();
    }
    if (status != "ok") {
        w.mapping.clear(); // a stick that comes back is read afresh
        w.settings.clear();
        w.readMapping = true;
    }
    const std::vector<uint8_t>& shownMapping = mapping.empty() ? w.mapping : mapping;
    const std::map<std::string, uint32_t>& shownSettings = mapping.empty() ? w.settings : settings;
    bool same = state == w.state && shownMapping == w.mapping && shownSettings == w.settings &&
                status == w.status && message == w.message && count == w.count && w.seq != 0;
    if (same) {
        return present;
    }
    w.state = state;
    w.mapping = shownMapping;
    w.settings = shownSettings;
    w.status = status;
    w.message = message;
    w.count = count;
    w.seq = nextSeq_++;
    json event = {{"seq", w.seq},       {"stick", stick},     {"sticks", count},
                  {"status", status},   {"message", message}, {"state", nullptr},
                  {"mapping", nullptr}, {"game", nullptr}};
    if (!state.empty()) {
        APP_INSTANCE s;
        memcpy(&s, state.data(), sizeof(s));
        event["state"] = StateJson(s);
        if (!w.mapping.empty()) {
            REMAP_RECORD m;
            memcpy(&m, w.mapping.data(), sizeof(m));
            json values = MappingJson(w.mapping);
            for (const auto& setting : w.settings) {
                values[setting.first] = setting.second;
            }
            event["mapping"] = values;
            auto mode = w.settings.find("DPAD_MODE");
            event["game"] = GameJson(ComposeGameView(
                s, m, mode == w.settings.end() ? QUILLEX_DPAD_MODE_DPAD : mode->second));
        }
    }
    // A link's message may carry a path that is not UTF-8: replaced, not thrown.
    w.event = event.dump(-1, ' ', false, json::error_handler_t::replace);
    changed_.notify_all();
    return present;
}
