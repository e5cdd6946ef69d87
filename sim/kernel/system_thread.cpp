// System threads and references to them: PsCreateSystemThread,
// PsTerminateSystemThread, ObReferenceObjectByHandle, ObfDereferenceObject.
//
// A thread object lives while its thread runs, while a handle is open on it
// and while a reference is held; waits on it are satisfied once it has ended.
#include "sim/kernel/system_thread.h"

#include <pthread.h>
#include <stdlib.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/core/fault.h"
#include "sim/core/race.h"
#include "sim/core/verifier.h"
#include "sim/kernel/cpu_time.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/irql_check.h"
#include "sim/kernel/thread_state.h"

namespace sim::kernel {
namespace {

constexpr UCHAR kThreadObjectType = 6;

class ThreadObject : public HandleObject {
  public:
    ThreadObject() {
        RtlZeroMemory(&thread.Header, sizeof(thread.Header));
        thread.Header.Type = kThreadObjectType;
        thread.Header.Size = sizeof(DISPATCHER_HEADER) / sizeof(LONG);
        thread.Header.WaitListHead.Flink = &thread.Header.WaitListHead;
        thread.Header.WaitListHead.Blink = &thread.Header.WaitListHead;
        thread.Magic = kThreadMagic;
        thread.Priority = 8;
        thread.Name = "system thread";
        thread.SystemThread = true;
    }
    const char* TypeName() const override { return "Thread"; }

    _KTHREAD thread;
};

// Thrown by PsTerminateSystemThread, caught at the thread's base.
struct TerminateThread {
    NTSTATUS status;
};

struct Registry {
    std::mutex lock;
    std::condition_variable ended;
    // Every thread object by its KTHREAD, with the references the driver holds.
    struct Entry {
        std::weak_ptr<ThreadObject> object; // held by the thread and its handles
        std::shared_ptr<ThreadObject> hold; // held while the driver has references
        long references = 0;
        bool running = true;
    };
    std::map<PKTHREAD, Entry> threads;
    // The host threads, joined once their start routine has returned (and
    // listed in 'returned'): only a join says a thread has also run its
    // thread-local destructors and given back its stack, so a leak check
    // after WaitForSystemThreads sees no thread half gone.
    std::map<std::thread::id, std::thread> hostThreads;
    std::vector<std::thread::id> returned;
};
// Threads may still be ending during static destruction: never destroyed.
Registry& g_threads = *new Registry;

thread_local ThreadObject* t_systemThread = nullptr;

// Forgets the objects that nothing holds any more. Called with the lock.
void Prune() {
    for (auto it = g_threads.threads.begin(); it != g_threads.threads.end();) {
        if (it->second.object.expired()) {
            it = g_threads.threads.erase(it);
        } else {
            ++it;
        }
    }
}

void ThreadBase(std::shared_ptr<ThreadObject> self, PKSTART_ROUTINE start, PVOID context) {
    t_systemThread = self.get();
    cpu::SystemThreadStarted();
    pthread_setname_np(pthread_self(), "system thread");
    AdoptThread(&self->thread);
    // A driver's thread may wait for as long as its device lives.
    AllowUnboundedWaits();
    try {
        start(context);
    } catch (const TerminateThread&) {
    }
    // The one place where what a system thread must not leave behind is
    // checked, whether it returned or called PsTerminateSystemThread.
    CheckRoutineReturn("system thread start routine", rule::kRoutineChangedIrql);
    cpu::SystemThreadEnding();
    SignalThreadEnded(&self->thread);
    PKTHREAD key = &self->thread;
    AdoptThread(nullptr);
    t_systemThread = nullptr;
    std::lock_guard<std::mutex> guard(g_threads.lock);
    g_threads.threads[key].running = false;
    g_threads.returned.push_back(std::this_thread::get_id());
    self.reset();
    Prune();
    g_threads.ended.notify_all();
}

// Joins the threads whose start routine has returned, but not the caller.
// Called without the lock.
void JoinReturnedThreads() {
    std::vector<std::thread> joinable;
    {
        std::lock_guard<std::mutex> guard(g_threads.lock);
        std::vector<std::thread::id> waiting;
        for (std::thread::id id : g_threads.returned) {
            auto it = g_threads.hostThreads.find(id);
            if (it == g_threads.hostThreads.end() || id == std::this_thread::get_id()) {
                waiting.push_back(id); // its creator has not stored it yet
                continue;
            }
            joinable.push_back(std::move(it->second));
            g_threads.hostThreads.erase(it);
        }
        g_threads.returned.swap(waiting);
    }
    for (std::thread& thread : joinable) {
        thread.join();
    }
}

// At exit, the host threads nobody joined are let go, finished or not: a
// process may end with a driver's thread still running.
void DetachHostThreadsAtExit() {
    std::lock_guard<std::mutex> guard(g_threads.lock);
    for (auto& [id, thread] : g_threads.hostThreads) {
        thread.detach();
    }
    g_threads.hostThreads.clear();
}

} // namespace

size_t LiveSystemThreadCount() {
    std::lock_guard<std::mutex> guard(g_threads.lock);
    Prune();
    return g_threads.threads.size();
}

bool WaitForSystemThreads(unsigned limitMs) {
    bool ended;
    {
        std::unique_lock<std::mutex> guard(g_threads.lock);
        ended = g_threads.ended.wait_for(guard, std::chrono::milliseconds(limitMs), [] {
            for (auto& [thread, entry] : g_threads.threads) {
                if (entry.running) {
                    return false;
                }
            }
            return true;
        });
    }
    JoinReturnedThreads();
    return ended;
}

} // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
    if (ThreadHandle == nullptr || StartRoutine == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ThreadHandle = nullptr;
    if (ProcessHandle != nullptr) {
        // Only threads of the system process are modelled.
        return STATUS_NOT_SUPPORTED;
    }
    bool kernelHandle =
        ObjectAttributes != nullptr && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0;
    if (ObjectAttributes != nullptr && ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected;
    if (sim::fault::ShouldFail("PsCreateSystemThread", &injected)) {
        return injected;
    }
    auto object = std::make_shared<ThreadObject>();
    PKTHREAD key = &object->thread;
    {
        std::lock_guard<std::mutex> guard(g_threads.lock);
        Prune();
        g_threads.threads[key].object = object;
    }
    *ThreadHandle = InsertHandle(object, DesiredAccess, kernelHandle);
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4); // the system process
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(key);
    }
    // The thread keeps its own object alive until it has ended. Threads that
    // have ended since the last creation are joined here, so that a driver
    // starting and stopping threads for hours keeps no host thread around.
    JoinReturnedThreads();
    static const bool detachAtExit = atexit(DetachHostThreadsAtExit) == 0;
    (void)detachAtExit;
    std::thread host(ThreadBase, std::move(object), StartRoutine, StartContext);
    {
        std::lock_guard<std::mutex> guard(g_threads.lock);
        std::thread::id id = host.get_id();
        g_threads.hostThreads.emplace(id, std::move(host));
    }
    sim::race::Point(kSystemThreadStarted, nullptr);
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    if (t_systemThread == nullptr) {
        sim::VerifierStop(sim::rule::kInvalidHandle, "PsTerminateSystemThread",
                          "called by thread '%s', which is no system thread", CurrentThreadName());
    }
    throw TerminateThread{ExitStatus};
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation) {
    UNREFERENCED_PARAMETER(ObjectType);
    RequireIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
    if (Object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Object = nullptr;
    NTSTATUS injected;
    if (sim::fault::ShouldFail("ObReferenceObjectByHandle", &injected)) {
        return injected;
    }
    auto object = ReferenceHandleAs<ThreadObject>(Handle, "Thread");
    if (object == nullptr) {
        // Threads are the only objects referenced through handles here.
        return ReferenceHandle(Handle, "Key") != nullptr ? STATUS_OBJECT_TYPE_MISMATCH
                                                         : STATUS_INVALID_HANDLE;
    }
    if (AccessMode == UserMode && (GrantedAccess(Handle) & DesiredAccess) != DesiredAccess) {
        return STATUS_ACCESS_DENIED;
    }
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = GrantedAccess(Handle);
    }
    std::lock_guard<std::mutex> guard(g_threads.lock);
    auto& entry = g_threads.threads[&object->thread];
    ++entry.references;
    entry.hold = object;
    *Object = &object->thread;
    return STATUS_SUCCESS;
}

LONG_PTR ObfReferenceObject(PVOID Object) {
    std::lock_guard<std::mutex> guard(g_threads.lock);
    auto it = g_threads.threads.find(static_cast<PKTHREAD>(Object));
    if (it == g_threads.threads.end() || it->second.references == 0) {
        sim::VerifierStop(sim::rule::kInvalidHandle, "ObfReferenceObject",
                          "object %p is not referenced", Object);
    }
    return ++it->second.references;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "ObfDereferenceObject");
    sim::race::Point(kThreadReferenceDropped, Object);
    std::lock_guard<std::mutex> guard(g_threads.lock);
    auto it = g_threads.threads.find(static_cast<PKTHREAD>(Object));
    if (it == g_threads.threads.end() || it->second.references == 0) {
        sim::VerifierStop(sim::rule::kInvalidHandle, "ObfDereferenceObject",
                          "object %p has no reference left to drop (dropped twice, or never "
                          "taken)",
                          Object);
    }
    LONG_PTR left = --it->second.references;
    if (left == 0) {
        it->second.hold.reset(); // the object may go here
        Prune();
    }
    return left;
}

} // extern "C"
