// The driver's fault points, and failing them one call at a time.
//
// A fault point is a call site in the driver's sources of a service that can
// fail (memory, requests, I/O targets, threads, waits that can end early,
// registry, child devices ...). DriverFaultPoints() finds every one there is
// by reading the sources. An Injector watches every call of a failable
// service (sim::fault::Observer), finds the driver's source line it comes
// from (the innermost frame of the call stack in a driver folder, through the
// executable's line tables), and either records the call or fails the one it
// was armed for. Services the simulator calls on the driver's behalf count
// for the driver line that called it: an IRP allocated inside WdfRequestSend
// is a call of that WdfRequestSend's fault point.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "sim/core/fault.h"

namespace quillex_test::sweep {

struct FaultPoint {
    std::string file;      // relative to the source tree: "hid/worker.cpp"
    unsigned line = 0;     // where the call begins
    unsigned lastLine = 0; // where it ends
    std::string service;   // the routine called there

    std::string Where() const { return file + ":" + std::to_string(line); }
};

// The names of the failable services a driver source may call.
const std::vector<std::string>& FailableServices();

// The fault points of one source file's text: the calls of failable services
// outside comments and literals, declarations left out. A wait that is
// neither alertable nor timed cannot end early and is no fault point.
std::vector<FaultPoint> FaultPointsIn(const std::string& file, const std::string& text);
// Every fault point in the driver folders under 'sourceDir', in file and line
// order.
std::vector<FaultPoint> DriverFaultPoints(const std::string& sourceDir);

// One call of a failable service made from a fault point.
struct Call {
    size_t point = 0;    // index into the injector's fault points
    std::string service; // the service that was called (WdfMemoryCreate, IoAllocateIrp ...)
    NTSTATUS failure = 0;
    // The driver lines the fault point was reached through, outward from it,
    // as "file:line" ("hid/hid_setup.cpp:131"): which caller of a shared
    // routine it was.
    std::vector<std::string> callers;
};

class Injector : public sim::fault::Observer {
  public:
    Injector(std::string sourceDir, std::vector<FaultPoint> points);
    ~Injector() override;
    Injector(const Injector&) = delete;
    Injector& operator=(const Injector&) = delete;

    const std::vector<FaultPoint>& Points() const { return points_; }

    // Calls are counted only while a window is open.
    void OpenWindow();
    // Closes the window; the calls from fault points made in it, in order.
    std::vector<Call> CloseWindow();

    // A call to fail: the nth (from 1) call of 'service' from the fault
    // point, counted in the windows from the arming on. It fails with the
    // status the call can end with.
    struct Target {
        size_t point = 0;
        std::string service;
        unsigned nth = 1;
    };
    void Arm(std::vector<Target> targets);
    void Disarm() { Arm({}); }
    // How many of the armed calls came (and were failed).
    size_t Fired() const;

    // Calls in windows that came from driver lines calling no failable
    // service (a peer's allocation inside a completion the driver made, say),
    // by line; never failed. Calls from no driver code are not counted.
    std::vector<std::pair<std::string, size_t>> Unattributed() const;

    bool OnCall(const char* service, NTSTATUS failure, NTSTATUS* status) override;

  private:
    enum class Origin { FaultPoint, OtherDriverLine, NoDriverCode };
    // Where the current call comes from: a fault point (*point, and the
    // driver lines outward of it in *callers), another driver line (*line),
    // or no driver code.
    Origin Attribute(size_t* point, std::string* line, std::vector<std::string>* callers);

    std::string sourceDir_;
    std::vector<FaultPoint> points_;
    std::atomic<bool> open_{false};

    mutable std::mutex lock_;
    std::vector<Call> calls_;
    std::vector<Target> armed_;
    std::vector<unsigned> seen_;
    size_t fired_ = 0;
    std::vector<std::pair<std::string, size_t>> unattributed_;
};

} // namespace quillex_test::sweep
