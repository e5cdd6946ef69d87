// The live state the page shows, pushed rather than polled by the page: one
// thread reads the state block of every stick a page watches, up to 60 times
// a second, and its mapping twice a second (and at once after a change), and
// wakes the page's event streams when anything they show has changed.
#pragma once

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/quillexctl/ui/stick_pool.h"

class LiveFeed {
  public:
    // noServerHint: what to check when no stick is found (how this
    // quillexctl reaches the driver).
    LiveFeed(StickPool& pool, std::string noServerHint,
             std::chrono::microseconds period = std::chrono::microseconds(16667));
    ~LiveFeed();

    void Start();
    void Stop();

    // A page's event stream for one stick: counted while it is open, so that
    // only watched sticks are read.
    void Watch(unsigned stick);
    void Unwatch(unsigned stick);

    // Waits until the stick's event is newer than *seen (or the time is up,
    // or the feed stops). True with the event's JSON text and *seen moved
    // on when there is a newer one.
    bool WaitNext(unsigned stick, uint64_t* seen, std::string* event,
                  std::chrono::milliseconds timeout);

    // The page changed the mapping: read it again at the next update.
    void MappingChanged(unsigned stick);

    bool Stopping() const { return stop_; }

  private:
    struct Watched {
        int watchers = 0;
        bool readMapping = true;
        std::vector<uint8_t> state, mapping;
        std::map<std::string, uint32_t> settings; // empty: the driver has none
        std::chrono::steady_clock::time_point mappingReadAt;
        uint64_t seq = 0; // 0 until the first event
        std::string status, message;
        unsigned count = 0;
        std::string event;
    };

    void Run();
    // Reads one stick and publishes a new event if what it shows changed.
    // False when the stick did not answer.
    bool Poll(unsigned stick, unsigned count);

    StickPool& pool_;
    std::string noServerHint_;
    std::chrono::microseconds period_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::map<unsigned, Watched> watched_;
    uint64_t nextSeq_ = 1;
};
