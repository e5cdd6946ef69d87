// SIGINT and SIGTERM end a run as its normal end does: the handler only
// marks the request, and every mode polls it between steps, so the sticks
// are unplugged and every output is closed whole before the process exits.
#pragma once

#include <chrono>

namespace stop_signal {

// Installs the handlers for SIGINT and SIGTERM (once; later calls do nothing).
void Install();
// Whether a stop was asked for, and by which signal (0 for none).
bool Requested();
int Signal();
// For tests and for modes that end on their own: asks for a stop as a
// signal would.
void Request(int signal);

// Sleeps until 'deadline', waking early on a stop; false when it woke for a stop.
bool SleepUntil(std::chrono::steady_clock::time_point deadline);

} // namespace stop_signal
