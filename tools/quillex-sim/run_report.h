// What a run tells: lines for a person on stdout, or with --json the whole
// run as one JSON document printed at its end.
#pragma once

#include <mutex>
#include <nlohmann/json.hpp>

class RunReport {
  public:
    static RunReport& Get();

    void SetJson(bool on) { json_ = on; }
    bool Json() const { return json_; }
    // A line for a person, written whole; nothing in --json mode.
    void Say(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // The document: the run's fields, and "sticks", one object per stick
    // plugged, in the order they were plugged. Sticks are added before any
    // is played, so several may be filled at once.
    nlohmann::ordered_json& Document() { return document_; }
    nlohmann::ordered_json& Stick(size_t index) { return document_["sticks"][index]; }
    size_t NewStick() {
        document_["sticks"].push_back(nlohmann::ordered_json::object());
        return document_["sticks"].size() - 1;
    }
    // In --json mode, prints the document on stdout.
    void Finish();

  private:
    std::mutex sayLock_;
    bool json_ = false;
    nlohmann::ordered_json document_ = {{"driver", nlohmann::ordered_json::object()},
                                        {"sticks", nlohmann::ordered_json::array()}};
};
