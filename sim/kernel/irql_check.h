// The IRQL limit of a service: beyond it the verifier stops the program.
#pragma once

#include "ntddk.h"
#include "sim/core/verifier.h"

namespace sim::kernel {

inline void RequireIrqlAtMost(KIRQL most, const char* api) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > most) {
        VerifierStop(rule::kIrqlTooHigh, api, "called at IRQL %u; allowed up to %u", irql, most);
    }
}

} // namespace sim::kernel
