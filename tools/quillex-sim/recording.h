// Recordings: every step of a run as one JSON line (time, the stick's raw
// report, the composed Xbox report, what the class driver read, the LED), and
// the check that replays a recording's input and compares step by step.
#pragma once

#include <stdio.h>

#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/quillex-sim/session_player.h"

// The step as a JSON object; 'model' is "A" or "B".
nlohmann::ordered_json StepToJson(const StepResult& result, sim::stick::Layout layout);

class Recorder {
  public:
    ~Recorder();
    // Creates the file; false with the system's reason.
    bool Open(const std::string& path, std::string* error);
    void Write(const nlohmann::ordered_json& step);
    // False with the reason when the file could not be completed.
    bool Close(std::string* error);

  private:
    std::mutex lock_;
    FILE* file_ = nullptr;
    std::string path_;
    bool failed_ = false;
};

// A recording read back: per model, its steps as recorded, and the session
// that replays their input (raw reports as recorded, mapping changes).
struct Recording {
    std::map<sim::stick::Layout, std::vector<nlohmann::ordered_json>> expected;
    std::map<sim::stick::Layout, std::vector<SessionStep>> sessions;
};
// False with "FILE:LINE: why" for a line that is not a recorded step.
bool LoadRecording(const std::string& path, Recording* recording, std::string* error);

// Compares a step with the recorded one; on the first difference, false and
// *diff reads "step 3 @60ms "hold A, press guide", xbox: expected [...], got [...]".
bool CompareStep(const nlohmann::ordered_json& expected, const nlohmann::ordered_json& got,
                 std::string* diff);
