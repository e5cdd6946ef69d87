#include "tools/quillex-sim/view/progress_line.h"

#include <stdio.h>

ProgressLine::ProgressLine(bool shown, std::chrono::milliseconds after)
    : shown_(shown), from_(Clock::now() + after) {}

std::string ProgressLine::Text(size_t done, size_t total, std::chrono::microseconds at,
                               std::chrono::microseconds end) {
    char text[160];
    snprintf(text, sizeof(text),
             "quillex-sim: step %zu of %zu, the session at %.1f s of %.1f s (%d%%)", done, total,
             at.count() / 1e6, end.count() / 1e6,
             total == 0 ? 100 : static_cast<int>(done * 100 / total));
    return text;
}

void ProgressLine::Update(size_t done, size_t total, std::chrono::microseconds at,
                          std::chrono::microseconds end) {
    if (!shown_) {
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    Clock::time_point now = Clock::now();
    // Four times a second at most (a line that changes faster is not read);
    // cleared by other output, it comes back at once.
    if (now < from_ || (onScreen_ && now - drawn_ < std::chrono::milliseconds(250))) {
        return;
    }
    fprintf(stderr, "\r%s\033[K", Text(done, total, at, end).c_str());
    fflush(stderr);
    drawn_ = now;
    onScreen_ = true;
}

void ProgressLine::Clear() {
    if (!shown_) {
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (onScreen_) {
        fputs("\r\033[K", stderr);
        fflush(stderr);
        onScreen_ = false;
    }
}
