// Who is running, for verifier messages and race points: the calling
// thread's name and IRQL. The kernel (sim/kernel) keeps both in its thread
// records and, sitting above core, installs the reader here when the program
// loads; until then every thread is "thread" at IRQL 0.
#pragma once

namespace sim {

struct ThreadIdentity {
    const char* name;
    unsigned irql;
};

using ThreadIdentityReader = ThreadIdentity (*)();

void InstallThreadIdentityReader(ThreadIdentityReader reader);
ThreadIdentity CurrentThreadIdentity();

} // namespace sim
