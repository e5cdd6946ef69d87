// Recordings: every step of a run as one JSON line (time, the stick's raw
// report, the composed Xbox report, what the class driver read, the LED), and
// the check that replays a recording's input and compares step by step.
#pragma once

#include <stdio.h>

#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/quillex-sim/session/session_player.h"

// The step as a JSON object: the stick's model ("A" or "B"), with
// 'nameStick' its number too (sticks plugged together, --sticks).
nlohmann::ordered_json StepToJson(const StepResult& result, bool nameStick);

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

// A recording read back: per stick, its steps as recorded, and the session
// that replays their input (raw reports as recorded, the application's
// requests).
struct RecordedStick {
    int number = 0; // the "stick" its lines name; 0 when they name none
    sim::stick::Layout layout = sim::stick::Layout::A;
    std::vector<nlohmann::ordered_json> expected;
    std::vector<SessionStep> session;
};
struct Recording {
    // The lines name their stick: the sticks were plugged together and are
    // replayed so. Otherwise one stick of each model in the recording, A
    // first, each played on its own as without --sticks.
    bool together = false;
    std::vector<RecordedStick> sticks; // in the order they are plugged
};
// False with "FILE:LINE: why" for a line that is not a recorded step.
bool LoadRecording(const std::string& path, Recording* recording, std::string* error);

// Compares a step with the recorded one; on the first difference, false and
// *diff reads "step 3 @60ms "hold A, press guide", xbox: expected [...], got [...]".
bool CompareStep(const nlohmann::ordered_json& expected, const nlohmann::ordered_json& got,
                 std::string* diff);
