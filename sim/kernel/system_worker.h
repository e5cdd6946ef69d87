// The system worker threads that run work items, as the executive's worker
// queues do: at PASSIVE_LEVEL, in a thread of the system process.
#pragma once

#include <functional>

namespace sim::kernel {

// Worker threads the pool grows to; work queued while all of them are busy
// waits for one to finish.
inline constexpr unsigned kMaxSystemWorkers = 8;

// Runs 'work' later on a system worker thread. 'what' names the work in
// verifier messages. Work queued from one thread may run in any order
// relative to other work.
void QueueSystemWork(std::function<void()> work, const char* what);

// For tests: whether no work is queued or running, so that what an open
// handed to a work item (the reader's launch) has been decided.
bool SystemWorkIdle();

// For tests: while one of these lives, the workers start no new work, so work
// queued meanwhile stays queued; work already running goes on.
class PauseSystemWorkers {
  public:
    PauseSystemWorkers();
    ~PauseSystemWorkers();
    PauseSystemWorkers(const PauseSystemWorkers&) = delete;
    PauseSystemWorkers& operator=(const PauseSystemWorkers&) = delete;
};

} // namespace sim::kernel
