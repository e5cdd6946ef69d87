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
    PnpThread();
    ~PnpThread();
    PnpThread(const PnpThread&) = delete;
    PnpThread& operator=(const PnpThread&) = delete;

    // Runs 'work' on the PnP thread and waits for it (runs it at once when
    // called from the PnP thread itself).
    void Run(std::function<void()> work);
    // Queues 'work' without waiting.
    void Post(std::function<void()> work);

  private:
    void Loop();

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> work_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace sim::pnp
