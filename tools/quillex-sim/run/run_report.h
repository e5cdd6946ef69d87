// What a run tells: lines for a person on stdout, or with --json the whole
// run as one JSON document printed at its end. One report per run, made by
// main() and handed to every part that tells something.
#pragma once

#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "tools/quillex-sim/view/progress_line.h"

class RunReport {
  public:
    explicit RunReport(bool json) : json_(json) {}
    RunReport(const RunReport&) = delete;
    RunReport& operator=(const RunReport&) = delete;

    bool Json() const { return json_; }
    // A line for a person, written whole; nothing in --json mode.
    void Say(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Text said as it is (no format is built from data).
    void SayText(const std::string& text) { Say("%s", text.c_str()); }
    // An error: "quillex-sim: ..." on stderr in every mode, and in the
    // document's "errors" list.
    void Error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // The document: the run's fields, and "sticks", one object per stick
    // plugged, in the order they were plugged. Sticks are added before any
    // is played, so several may be filled at once.
    nlohmann::ordered_json& Document() { return document_; }
    nlohmann::ordered_json& Stick(size_t index) { return document_["sticks"][index]; }
    size_t NewStick() {
        document_["sticks"].push_back(nlohmann::ordered_json::object());
        return document_["sticks"].size() - 1;
    }
    // Records the exit code and, in --json mode, prints the document on
    // stdout. Every end of a run comes here once.
    void Finish(int exitCode);
    // A progress line on the terminal, cleared before anything is said or
    // told; nullptr when there is none. It must outlive its use here.
    void ShowProgress(ProgressLine* progress) {
        std::lock_guard<std::mutex> guard(sayLock_);
        progress_ = progress;
    }

  private:
    void ClearProgress() {
        if (progress_ != nullptr) {
            progress_->Clear();
        }
    }

    std::mutex sayLock_;
    ProgressLine* progress_ = nullptr;
    bool json_ = false;
    nlohmann::ordered_json document_ = {{"driver", nlohmann::ordered_json::object()},
                                        {"sticks", nlohmann::ordered_json::array()}};
};
