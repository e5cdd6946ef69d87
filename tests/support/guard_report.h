// What a death test sees when code touches guard bytes: the verifier's stop,
// or under AddressSanitizer (which has the guard bytes poisoned) the
// sanitizer's own report of the stray access, which comes first.
#pragma once

#include "sim/core/asan.h"

#ifdef QUILLEX_UNDER_ASAN
#define GUARD_OVERRUN_REPORT(verifierMessage) "AddressSanitizer: use-after-poison"
#else
#define GUARD_OVERRUN_REPORT(verifierMessage) verifierMessage
#endif
