// Where the driver's trace messages go in the simulator: stderr, from the
// level in QUILLEX_TRACE_LEVEL (default 2, errors only; 0 silences it), and
// every active Capture, whatever the level.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "km/ntdef.h"

namespace sim::trace {

struct Record {
    ULONG Level;
    ULONG Flags;
    std::string Text;
};

// Collects every message emitted while it lives, from any thread.
class Capture {
  public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    std::vector<Record> Records() const;
    // All text, messages concatenated in order.
    std::string Text() const;
    bool Contains(std::string_view text) const;
    size_t Count(std::string_view text) const;
    // The first record whose text contains 'text', or nullptr.
    bool Find(std::string_view text, Record* found) const;
    void Clear();

    void Add(const Record& r);

  private:
    struct State;
    State* state_;
};

// The highest level printed on stderr from now on (0: none); for programs
// that choose it themselves, as a fuzz target does.
void SetConsoleLevel(ULONG level);
ULONG ConsoleLevel();

// For a program whose own output shares the terminal: every message printed
// on stderr starts with 'label' ("driver: "), and one that the driver emits
// over and over (the same format: once per report, say) is printed the first
// 'repeats' times only (0: always). Captures still get every message.
void SetConsoleStyle(const char* label, unsigned repeats);
// The messages held back by the repeat limit: their first text and how many
// were not printed, most held back first.
std::vector<std::pair<std::string, size_t>> ConsoleHeldBack();

} // namespace sim::trace
