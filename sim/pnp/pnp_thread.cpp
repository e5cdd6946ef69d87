#include "sim/pnp/pnp_thread.h"

#include <future>

#include "sim/kernel/thread_state.h"
#include "sim/core/watchdog.h"

namespace sim::pnp {

PnpThread::PnpThread(const char* name) : name_(name), thread_([this] { Loop(); }) {}

PnpThread::~PnpThread() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void PnpThread::Run(std::function<void()> work) {
    if (std::this_thread::get_id() == thread_.get_id()) {
        work();
        return;
    }
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    Post([&] {
        work();
        done.set_value();
    });
    if (finished.wait_for(watchdog::Bound()) != std::future_status::ready) {
        watchdog::Expired("PnP thread", "the PnP thread to finish the work handed to it");
    }
}

void PnpThread::Post(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        work_.push_back(std::move(work));
    }
    wake_.notify_all();
}

bool PnpThread::Empty() {
    std::lock_guard<std::mutex> guard(lock_);
    return work_.empty();
}

void PnpThread::Loop() {
    kernel::SetCurrentThreadName(name_);
    for (;;) {
        std::function<void()> next;
        {
            std::unique_lock<std::mutex> guard(lock_);
            wake_.wait(guard, [this] { return stopping_ || !work_.empty(); });
            if (work_.empty()) {
                return;
            }
            next = std::move(work_.front());
            work_.pop_front();
        }
        next();
    }
}

} // namespace sim::pnp
