// The files a run writes: the registry file (--registry), the recording
// (--record) and the USB capture (--pcap); and the socket --serve answers on. Opened together
// before the machine starts, so that a run whose result could not be kept never starts, and closed
// together at its end, however it ended.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "sim/registry/reg_file.h"
#include "tools/quillex-sim/command_line.h"
#include "tools/quillex-sim/run/run_report.h"
#include "tools/quillex-sim/run/usb_capture.h"
#include "tools/quillex-sim/session/recording.h"

class RunOutputs {
  public:
    explicit RunOutputs(RunReport& report) : report_(report) {}
    RunOutputs(const RunOutputs&) = delete;
    RunOutputs& operator=(const RunOutputs&) = delete;

    // Reads the registry file into the machine's registry and creates the
    // recording and the capture; false with the reason at the first that
    // cannot be. A registry file that exists but cannot be written is read
    // all the same (said once) unless the run is one that changes it.
    bool Open(const Options& options, std::string* error);

    // Null when the option was not given.
    Recorder* Recording() { return recordPath_.empty() ? nullptr : &recorder_; }
    UsbCapture* Capture() { return capturePath_.empty() ? nullptr : &capture_; }
    // --serve: the socket, bound and listening; -1 without it.
    int ServeListener() const { return listener_; }

    // Writes the registry file now if the registry changed since it was
    // read or last written (atomically: a kill never leaves half a file).
    // True when there is nothing to write; false with the reason.
    bool SaveRegistry(std::string* error);

    // Closes the recording and the capture whole and writes a changed
    // registry back, saying what each holds; false when one of them could
    // not be completed (said as an error).
    bool Close();

  private:
    RunReport& report_;
    std::unique_ptr<sim::registry::RegFile> registry_;
    std::string registryPath_;
    bool registryReadOnly_ = false;
    bool registryWritten_ = false; // by any save of the run
    std::mutex registryLock_;
    Recorder recorder_;
    std::string recordPath_;
    UsbCapture capture_;
    std::string capturePath_;
    int listener_ = -1;
    std::string socketPath_;
};
