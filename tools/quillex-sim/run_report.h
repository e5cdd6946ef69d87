// What a run tells: lines for a person on stdout, or with --json the whole
// run as one JSON document printed at its end.
#pragma once

#include <nlohmann/json.hpp>

class RunReport {
  public:
    static RunReport& Get();

    void SetJson(bool on) { json_ = on; }
    bool Json() const { return json_; }
    // A line for a person; nothing in --json mode.
    void Say(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // The document: the run's fields, and "sticks", one object per stick
    // plugged, the last the one being played.
    nlohmann::ordered_json& Document() { return document_; }
    nlohmann::ordered_json& Stick() { return document_["sticks"].back(); }
    void NewStick() { document_["sticks"].push_back(nlohmann::ordered_json::object()); }
    // In --json mode, prints the document on stdout.
    void Finish();

  private:
    bool json_ = false;
    nlohmann::ordered_json document_ = {{"driver", nlohmann::ordered_json::object()},
                                        {"sticks", nlohmann::ordered_json::array()}};
};
