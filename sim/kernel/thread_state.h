// Per-thread kernel state: every host thread that enters the simulated kernel
// gets a KTHREAD and an IRQL of its own.
#pragma once

#include <atomic>
#include <string>

#include "ntddk.h"

struct _KTHREAD {
    // Waitable like any dispatcher object: signalled once the thread has ended.
    DISPATCHER_HEADER Header;
    ULONG Magic;
    KPRIORITY Priority;
    std::string Name;
};

namespace sim::kernel {

inline constexpr ULONG kThreadMagic = 0x64726854; // "Thrd"

PKTHREAD CurrentThread();
const char* CurrentThreadName();
// Names the calling thread in verifier messages ("pnp", "stick", ...).
void SetCurrentThreadName(const char* name);
KIRQL CurrentIrql();

// Raises the calling thread to 'irql' for its lifetime (for tests and peers
// that model a caller at DISPATCH_LEVEL).
class ScopedIrql {
  public:
    explicit ScopedIrql(KIRQL irql);
    ~ScopedIrql();
    ScopedIrql(const ScopedIrql&) = delete;
    ScopedIrql& operator=(const ScopedIrql&) = delete;

  private:
    KIRQL old_;
};

} // namespace sim::kernel
