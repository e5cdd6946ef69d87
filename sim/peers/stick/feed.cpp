#include "sim/peers/stick/feed.h"

namespace sim::stick {
namespace {

class Reports : public Feed {
  public:
    explicit Reports(std::vector<TimedReport> reports) : reports_(std::move(reports)) {}
    bool Next(TimedReport* report) override {
        if (next_ == reports_.size()) {
            return false;
        }
        *report = std::move(reports_[next_++]);
        return true;
    }

  private:
    std::vector<TimedReport> reports_;
    size_t next_ = 0;
};

class Generator : public Feed {
  public:
    Generator(Layout layout, double rate, uint64_t count, std::function<StickState(uint64_t)> state)
        : layout_(layout), rate_(rate), count_(count), state_(std::move(state)) {}
    bool Next(TimedReport* report) override {
        if ((count_ != 0 && n_ == count_) || rate_ <= 0 || !state_) {
            return false;
        }
        report->at = Micros(static_cast<int64_t>(static_cast<double>(n_) * 1e6 / rate_));
        report->bytes = Encode(layout_, state_(n_));
        ++n_;
        return true;
    }

  private:
    Layout layout_;
    double rate_;
    uint64_t count_;
    std::function<StickState(uint64_t)> state_;
    uint64_t n_ = 0;
};

} // namespace

Feed::~Feed() = default;

std::unique_ptr<Feed> StateFeed(Layout layout, std::vector<TimedState> states) {
    std::vector<TimedReport> reports;
    reports.reserve(states.size());
    for (const TimedState& s : states) {
        reports.push_back({s.at, Encode(layout, s.state)});
    }
    return std::make_unique<Reports>(std::move(reports));
}

std::unique_ptr<Feed> RecordingFeed(std::vector<TimedReport> reports) {
    return std::make_unique<Reports>(std::move(reports));
}

std::unique_ptr<Feed> GeneratorFeed(Layout layout, double reportsPerSecond, uint64_t count,
                                    std::function<StickState(uint64_t n)> state) {
    return std::make_unique<Generator>(layout, reportsPerSecond, count, std::move(state));
}

StickState Sweep(uint64_t n) {
    StickState s;
    s.buttons = static_cast<uint32_t>(n % 0x2000) & ~(RightTriangle | LeftTriangle);
    s.leftX = static_cast<uint8_t>(n);
    s.leftY = static_cast<uint8_t>(255 - (n & 0xFF));
    s.rightX = static_cast<uint8_t>(n * 3);
    s.rightY = static_cast<uint8_t>(n * 7);
    s.hat = static_cast<uint8_t>(n % 9);
    s.leftTrigger = static_cast<uint8_t>(n * 5);
    s.rightTrigger = static_cast<uint8_t>(n * 11);
    return s;
}

std::unique_ptr<Feed> DemoFeed(Layout layout, Micros interval) {
    std::vector<TimedState> states;
    Micros at{0};
    for (const ScriptedReport& step : DemoScript()) {
        states.push_back({at, step.state});
        at += interval;
    }
    return StateFeed(layout, std::move(states));
}

} // namespace sim::stick
