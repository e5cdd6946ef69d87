// IRQL tracking and thread identity.
#include "sim/kernel/thread_state.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <vector>

#include "sim/core/thread_identity.h"
#include "sim/core/verifier.h"

namespace sim::kernel {
namespace {

// A thread that ends while it owns a kernel mutex leaves the mutex naming its
// record: the record is kept for good, so waiters can still name the owner and
// no later thread is handed its address, and with it the mutex.
void Retire(std::unique_ptr<_KTHREAD> thread) {
    static std::mutex lock;
    static auto* retired = new std::vector<std::unique_ptr<_KTHREAD>>();
    std::lock_guard<std::mutex> guard(lock);
    retired->push_back(std::move(thread));
}

struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    std::unique_ptr<_KTHREAD> owned; // for host threads that are no system thread
    _KTHREAD* thread = nullptr;

    ~ThreadState() {
        // Only the thread itself changes its list of owned mutexes.
        if (owned && !owned->OwnedMutexes.empty()) {
            Retire(std::move(owned));
        }
    }
};

thread_local ThreadState t_state;

_KTHREAD* EnsureThread() {
    if (t_state.thread == nullptr) {
        t_state.owned = std::make_unique<_KTHREAD>();
        t_state.owned->Magic = kThreadMagic;
        t_state.owned->Priority = 8;
        t_state.owned->Name = "thread";
        t_state.thread = t_state.owned.get();
    }
    return t_state.thread;
}

ThreadIdentity ReadThreadIdentity() {
    return ThreadIdentity{EnsureThread()->Name.c_str(), static_cast<unsigned>(t_state.irql)};
}

// The verifier and the race points (sim/core) name threads through this.
const struct IdentityInstaller {
    IdentityInstaller() { InstallThreadIdentityReader(ReadThreadIdentity); }
} g_identityInstaller;

} // namespace

PKTHREAD CurrentThread() {
    return EnsureThread();
}
const char* CurrentThreadName() {
    return EnsureThread()->Name.c_str();
}
void AdoptThread(PKTHREAD thread) {
    t_state.thread = thread;
}
void SetCurrentThreadName(const char* name) {
    EnsureThread()->Name = name;
    // Also the host's name, so profilers and top tell the threads apart; the
    // main thread keeps the program's name.
    if (getpid() != static_cast<pid_t>(syscall(SYS_gettid))) {
        char host[16];
        snprintf(host, sizeof(host), "%s", name);
        pthread_setname_np(pthread_self(), host);
    }
}
void AllowUnboundedWaits() {
    EnsureThread()->UnboundedWaits = true;
}
KIRQL CurrentIrql() {
    return t_state.irql;
}

ScopedIrql::ScopedIrql(KIRQL irql) {
    KeRaiseIrql(irql, &old_);
}
ScopedIrql::~ScopedIrql() {
    KeLowerIrql(old_);
}

} // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

KIRQL KeGetCurrentIrql(void) {
    return t_state.irql;
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    if (NewIrql < t_state.irql) {
        sim::VerifierStop(sim::rule::kIrqlTransition, "KeRaiseIrql",
                          "raising to IRQL %u from the higher IRQL %u", NewIrql, t_state.irql);
    }
    *OldIrql = t_state.irql;
    t_state.irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > t_state.irql) {
        sim::VerifierStop(sim::rule::kIrqlTransition, "KeLowerIrql",
                          "lowering to IRQL %u from the lower IRQL %u", NewIrql, t_state.irql);
    }
    t_state.irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(void) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

PKTHREAD KeGetCurrentThread(void) {
    return EnsureThread();
}

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    if (t_state.irql > DISPATCH_LEVEL) {
        sim::VerifierStop(sim::rule::kIrqlTooHigh, "KeSetPriorityThread", "called at IRQL %u",
                          t_state.irql);
    }
    if (Thread == nullptr || Thread->Magic != kThreadMagic || Priority < 0 ||
        Priority > HIGH_PRIORITY) {
        sim::VerifierStop(sim::rule::kInvalidHandle, "KeSetPriorityThread",
                          "thread %p or priority %ld is not valid", static_cast<void*>(Thread),
                          static_cast<long>(Priority));
    }
    KPRIORITY old = Thread->Priority;
    Thread->Priority = Priority;
    return old;
}

VOID SimCheckPagedCode(PCSTR File, ULONG Line, PCSTR Function) {
    if (t_state.irql > APC_LEVEL) {
        char where[512];
        snprintf(where, sizeof(where), "%s (%s:%u)", Function, File, Line);
        sim::VerifierStop(sim::rule::kPagedCodeAtRaisedIrql, where,
                          "PAGED_CODE() reached at IRQL %u; pageable code runs at or below "
                          "APC_LEVEL",
                          t_state.irql);
    }
}

} // extern "C"
