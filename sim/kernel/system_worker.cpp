// A small pool of system worker threads. The pool grows while every thread
// is busy (a work routine may wait for another work item), up to a limit, as
// the executive adds dynamic worker threads.
#include "sim/kernel/system_worker.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "sim/core/verifier.h"
#include "sim/kernel/thread_state.h"

namespace sim::kernel {
namespace {

struct Work {
    std::function<void()> run;
    const char* what;
};

// The workers outlive static destruction (they are never joined), so what
// they wait on is never destroyed.
struct Pool {
    std::mutex lock;
    std::condition_variable ready;
    std::deque<Work> queue;
    unsigned workers = 0;
    unsigned idle = 0;
    unsigned pauses = 0;
};
Pool& g_pool = *new Pool;

void WorkerLoop() {
    SetCurrentThreadName("system worker");
    std::unique_lock<std::mutex> lock(g_pool.lock);
    for (;;) {
        ++g_pool.idle;
        g_pool.ready.wait(lock, [] { return !g_pool.queue.empty() && g_pool.pauses == 0; });
        --g_pool.idle;
        Work work = std::move(g_pool.queue.front());
        g_pool.queue.pop_front();
        lock.unlock();
        work.run();
        CheckRoutineReturn(work.what, rule::kWorkItemRaisedIrql);
        lock.lock();
    }
}

} // namespace

void QueueSystemWork(std::function<void()> work, const char* what) {
    std::lock_guard<std::mutex> guard(g_pool.lock);
    g_pool.queue.push_back(Work{std::move(work), what});
    if (g_pool.idle < g_pool.queue.size() && g_pool.workers < kMaxSystemWorkers) {
        ++g_pool.workers;
        // The workers live as long as the process, as the system's do.
        std::thread(WorkerLoop).detach();
    }
    g_pool.ready.notify_one();
}

bool SystemWorkIdle() {
    std::lock_guard<std::mutex> guard(g_pool.lock);
    return g_pool.queue.empty() && g_pool.idle == g_pool.workers;
}

PauseSystemWorkers::PauseSystemWorkers() {
    std::lock_guard<std::mutex> guard(g_pool.lock);
    ++g_pool.pauses;
}

PauseSystemWorkers::~PauseSystemWorkers() {
    std::lock_guard<std::mutex> guard(g_pool.lock);
    --g_pool.pauses;
    g_pool.ready.notify_all();
}

} // namespace sim::kernel
