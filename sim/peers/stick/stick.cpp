#include "sim/peers/stick/stick.h"

#include "sim/hid/collection.h"
#include "sim/kernel/thread_state.h"

namespace sim::stick {

Stick::Stick(hid::Collection* collection) : collection_(collection) {}

Stick::~Stick() {
    Stop();
}

void Stick::Play(std::unique_ptr<Feed> feed, Observer observer) {
    Stop();
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = false;
        playing_ = true;
    }
    thread_ = std::thread(&Stick::Run, this, std::move(feed), std::move(observer));
}

void Stick::Stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    Wait();
}

void Stick::Wait() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool Stick::Playing() const {
    std::lock_guard<std::mutex> guard(lock_);
    return playing_;
}

NTSTATUS Stick::Send(const std::vector<uint8_t>& report) {
    NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED;
    if (collection_ != nullptr) {
        sim::kernel::ScopedIrql dispatch(DISPATCH_LEVEL);
        status = collection_->InputReport(report.data(), report.size());
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (NT_SUCCESS(status)) {
        ++sent_;
    } else {
        ++refused_;
        lastRefusal_ = status;
    }
    return status;
}

void Stick::Run(std::unique_ptr<Feed> feed, Observer observer) {
    sim::kernel::SetCurrentThreadName("stick");
    auto start = std::chrono::steady_clock::now();
    TimedReport report;
    while (feed != nullptr && feed->Next(&report)) {
        {
            std::unique_lock<std::mutex> guard(lock_);
            if (wake_.wait_until(guard, start + report.at, [&] { return stop_; })) {
                break;
            }
        }
        NTSTATUS status = Send(report.bytes);
        if (observer) {
            observer(report, status);
        }
    }
    std::lock_guard<std::mutex> guard(lock_);
    playing_ = false;
}

uint64_t Stick::Sent() const {
    std::lock_guard<std::mutex> guard(lock_);
    return sent_;
}

uint64_t Stick::Refused() const {
    std::lock_guard<std::mutex> guard(lock_);
    return refused_;
}

NTSTATUS Stick::LastRefusal() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lastRefusal_;
}

} // namespace sim::stick
