// Framework work items. Enqueueing an item that is already queued does
// nothing; the callback runs at PASSIVE_LEVEL on a system worker thread, and
// an item enqueued again while its callback runs may run a second time at
// once. A flush, and the deletion of the item (or of its parent), wait until
// the item is neither queued nor running, so its callback never outlives its
// parent.
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "sim/core/fault.h"
#include "sim/core/verifier.h"
#include "sim/core/watchdog.h"
#include "sim/kernel/system_worker.h"
#include "sim/wdf/object.h"

namespace sim::wdf {
namespace {

// Shared with the queued work, which may still finish its bookkeeping after
// the item itself is gone (a callback may delete its own work item).
struct WorkItemState {
    std::mutex lock;
    std::condition_variable idle;
    bool queued = false;
    // Threads running the callback: an item enqueued again while its callback
    // runs may start on another worker before the first run returns.
    std::multiset<std::thread::id> runners;

    void WaitIdle() {
        std::unique_lock<std::mutex> guard(lock);
        sim::watchdog::Wait(
            idle, guard, [this] { return !queued && runners.empty(); }, "WdfWorkItemFlush",
            "the work item's callback to finish");
    }
    bool OnRunnerThread() {
        std::lock_guard<std::mutex> guard(lock);
        return runners.count(std::this_thread::get_id()) != 0;
    }
};

class WorkItemObject : public Object {
  public:
    WorkItemObject() : Object(Kind::WorkItem), state(std::make_shared<WorkItemState>()) {}

    WDF_WORKITEM_CONFIG config{};
    std::shared_ptr<WorkItemState> state;

  protected:
    void OnCleanup() override {
        // Deleted from its own callback: the callback is the last user.
        if (!state->OnRunnerThread()) {
            state->WaitIdle();
        }
    }
};

WorkItemObject* LookupWorkItem(WDFWORKITEM handle, const char* api) {
    return LookupAs<WorkItemObject>(handle, Kind::WorkItem, api);
}

} // namespace
} // namespace sim::wdf

using namespace sim::wdf;

extern "C" {

NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                           WDFWORKITEM* WorkItem) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        sim::VerifierStop(sim::rule::kIrqlTooHigh, "WdfWorkItemCreate", "called at IRQL %u",
                          KeGetCurrentIrql());
    }
    if (Config == nullptr || Config->Size != sizeof(WDF_WORKITEM_CONFIG) ||
        Config->EvtWorkItemFunc == nullptr || WorkItem == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *WorkItem = nullptr;
    Object* parent = Attributes != nullptr ? LookupOptional(Attributes->ParentObject, Kind::Generic,
                                                            "WdfWorkItemCreate")
                                           : nullptr;
    if (parent == nullptr ||
        (parent->GetKind() != Kind::Device && parent->GetKind() != Kind::Queue)) {
        sim::VerifierStop(sim::rule::kWorkItemParent, "WdfWorkItemCreate", "ParentObject is %s",
                          parent == nullptr ? "not set" : KindName(parent->GetKind()));
    }
    NTSTATUS status;
    if (sim::fault::ShouldFail("WdfWorkItemCreate", &status)) {
        return status;
    }
    auto* item = new WorkItemObject();
    item->config = *Config;
    status = Attach(item, Attributes, nullptr, "WdfWorkItemCreate");
    if (!NT_SUCCESS(status)) {
        delete item;
        return status;
    }
    *WorkItem = item->HandleAs<WDFWORKITEM>();
    return STATUS_SUCCESS;
}

VOID WdfWorkItemEnqueue(WDFWORKITEM WorkItem) {
    WorkItemObject* item = LookupWorkItem(WorkItem, "WdfWorkItemEnqueue");
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        sim::VerifierStop(sim::rule::kIrqlTooHigh, "WdfWorkItemEnqueue", "called at IRQL %u",
                          KeGetCurrentIrql());
    }
    if (item->Disposed()) {
        sim::VerifierStop(sim::rule::kInvalidHandle, "WdfWorkItemEnqueue",
                          "work item %p is being deleted", static_cast<void*>(WorkItem));
    }
    std::shared_ptr<WorkItemState> state = item->state;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        if (state->queued) {
            return; // already waiting to run: this enqueue is folded into it
        }
        state->queued = true;
    }
    PFN_WDF_WORKITEM callback = item->config.EvtWorkItemFunc;
    sim::kernel::QueueSystemWork(
        [state, callback, WorkItem] {
            {
                std::lock_guard<std::mutex> guard(state->lock);
                state->queued = false;
                state->runners.insert(std::this_thread::get_id());
            }
            callback(WorkItem);
            std::lock_guard<std::mutex> guard(state->lock);
            state->runners.erase(state->runners.find(std::this_thread::get_id()));
            state->idle.notify_all();
        },
        "EvtWorkItemFunc");
}

WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem) {
    Object* parent = LookupWorkItem(WorkItem, "WdfWorkItemGetParentObject")->Parent();
    return parent != nullptr ? parent->Handle() : nullptr;
}

VOID WdfWorkItemFlush(WDFWORKITEM WorkItem) {
    WorkItemObject* item = LookupWorkItem(WorkItem, "WdfWorkItemFlush");
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        sim::VerifierStop(sim::rule::kBlockingWaitAtDispatch, "WdfWorkItemFlush",
                          "called at IRQL %u", KeGetCurrentIrql());
    }
    if (item->state->OnRunnerThread()) {
        sim::VerifierStop(sim::rule::kWorkItemFlushFromCallback, "WdfWorkItemFlush",
                          "work item %p would wait for itself", static_cast<void*>(WorkItem));
    }
    item->state->WaitIdle();
}

} // extern "C"
