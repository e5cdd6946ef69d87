// The simulated arcade stick: the device behind a HID collection. Its own
// thread plays an input feed, sending each report to the collection at its
// time, at DISPATCH_LEVEL as a USB completion would; the collection completes
// the waiting reads from there.
//
//   sim::stick::Stick stick(stack.Hid(id));
//   stick.Play(sim::stick::DemoFeed(sim::stick::Layout::A, std::chrono::milliseconds(20)));
//   stick.Wait();
//
// Times are real time from Play(). A report the collection refuses (wrong
// length or id) is counted in Refused() and the feed goes on. The collection
// belongs to the PnP manager's stack: a stick goes before its stack does.
#pragma once

#include <stdint.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "ntddk.h"
#include "sim/peers/stick/feed.h"

namespace sim::hid {
class Collection;
}

namespace sim::stick {

class Stick {
  public:
    // Runs on the stick's thread after each report, with the collection's answer.
    using Observer = std::function<void(const TimedReport&, NTSTATUS)>;

    explicit Stick(hid::Collection* collection);
    // Stops a feed still playing.
    ~Stick();
    Stick(const Stick&) = delete;
    Stick& operator=(const Stick&) = delete;

    // Plays 'feed' on the stick's thread; a feed still playing is stopped first.
    void Play(std::unique_ptr<Feed> feed, Observer observer = {});
    // Ends the feed now; reports not sent yet are not sent.
    void Stop();
    // Blocks until the feed has ended or was stopped.
    void Wait();
    bool Playing() const;

    // Sends one report from the calling thread, at DISPATCH_LEVEL, as the
    // stick's thread does.
    NTSTATUS Send(const std::vector<uint8_t>& report);

    uint64_t Sent() const;
    uint64_t Refused() const;
    NTSTATUS LastRefusal() const;

  private:
    void Run(std::unique_ptr<Feed> feed, Observer observer);

    hid::Collection* collection_;
    std::thread thread_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool playing_ = false;
    uint64_t sent_ = 0;
    uint64_t refused_ = 0;
    NTSTATUS lastRefusal_ = STATUS_SUCCESS;
};

} // namespace sim::stick
