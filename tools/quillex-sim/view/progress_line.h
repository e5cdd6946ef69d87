// How far a long run has come, on one line of stderr redrawn in place: shown
// only when stderr is a terminal and the run has lasted a few seconds, so
// short runs, pipes and files never see it. Whatever else is written to the
// terminal first clears the line (RunReport does), so it never mixes into
// other output; with --json, stdout carries the document alone.
#pragma once

#include <stddef.h>

#include <chrono>
#include <mutex>
#include <string>

class ProgressLine {
  public:
    using Clock = std::chrono::steady_clock;
    // 'shown' false (stderr no terminal) makes every call a no-op. The line
    // appears once 'after' has passed since construction.
    explicit ProgressLine(bool shown,
                          std::chrono::milliseconds after = std::chrono::milliseconds(2000));
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    ~ProgressLine() { Clear(); }

    // 'done' of 'total' steps played, the session at 'at' of 'end'.
    void Update(size_t done, size_t total, std::chrono::microseconds at,
                std::chrono::microseconds end);
    // Erases the line, if it is shown; the next Update draws it again.
    void Clear();

    // The text of the line, as Update draws it.
    static std::string Text(size_t done, size_t total, std::chrono::microseconds at,
                            std::chrono::microseconds end);

  private:
    const bool shown_;
    const Clock::time_point from_;
    Clock::time_point drawn_;
    bool onScreen_ = false;
    std::mutex lock_;
};
