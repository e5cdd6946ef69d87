// The PnP manager's worker thread: device add, start and removal run here,
// one at a time, at PASSIVE_LEVEL, as on Windows.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace sim::pnp {

class PnpThread {
  public:
    // 'name' names the thread in verifier messages; other parts of the
    // simulator that need a worker of their own (a peer driver's thread) use
    // this class with a name of theirs.
    explicit PnpThread(const char* name = "pnp");
    ~PnpThread();
    PnpThread(const PnpThread&) = delete;
    PnpThread& operator=(const PnpThread&) = delete;

    // Runs 'work' on the PnP thread and waits for it (runs it at once when
    // called from the PnP thread itself).
    void Run(std::function<void()> work);
    // Queues 'work' without waiting.
    void Post(std::function<void()> work);
    // Whether no work waits.
    bool Empty();

  private:
    void Loop();

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> work_;
    bool stopping_ = false;
    const char* name_;
    std::thread thread_;
};

} // namespace sim::pnp
