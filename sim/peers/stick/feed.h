// Input feeds: what a simulated stick sends, and when.
//
// A feed hands out raw reports (the bytes the stick sends, report id first
// for layout B) in time order, each with its time since the feed began. The
// stick's thread (sim/peers/stick/stick.h) sends each one at its time. Three
// kinds are built in, and anything else (a script, a file) can derive from
// Feed:
//   StateFeed      timed stick states, encoded in a raw layout
//   RecordingFeed  raw reports with their times, as recorded
//   GeneratorFeed  'count' reports at a fixed rate, the nth state from a
//                  function (Sweep moves every control)
// DemoFeed is the built-in demo session as a state feed.
#pragma once

#include <stdint.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "sim/peers/stick/raw_reports.h"

namespace sim::stick {

using Micros = std::chrono::microseconds;

struct TimedReport {
    Micros at{0};
    std::vector<uint8_t> bytes;
};

struct TimedState {
    Micros at{0};
    StickState state;
};

class Feed {
  public:
    virtual ~Feed();
    // The next report; false once the feed has ended.
    virtual bool Next(TimedReport* report) = 0;
};

std::unique_ptr<Feed> StateFeed(Layout layout, std::vector<TimedState> states);
std::unique_ptr<Feed> RecordingFeed(std::vector<TimedReport> reports);
// count 0: endless.
std::unique_ptr<Feed> GeneratorFeed(Layout layout, double reportsPerSecond, uint64_t count,
                                    std::function<StickState(uint64_t n)> state);
// Every control moving, a different state for each n.
StickState Sweep(uint64_t n);
// The demo session, one step every 'interval'.
std::unique_ptr<Feed> DemoFeed(Layout layout, Micros interval);

} // namespace sim::stick
