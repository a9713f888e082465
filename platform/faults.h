// Internal: the counters behind FaultPlan, and the process's end after an
// interrupt, shared by the platform sources.
#ifndef TRESOLIN_PLATFORM_FAULTS_H_
#define TRESOLIN_PLATFORM_FAULTS_H_

#include <cstdint>

namespace platform::internal {

enum class Fault { kOpenForWrite, kOpenForRead, kWrite, kRename, kDelete };

// Returns true iff the plan says that this occurrence of fault must fail.
bool ShouldFail(Fault fault);

// Returns true iff the plan overrides free space; *megabytes is then set.
bool FreeSpaceOverride(std::int32_t* megabytes);

// Returns true iff the plan pretends that anonymous in-memory files are
// unavailable.
bool AnonymousFilesDisabled();

// After an interrupt the clean-up removes the working folders while the
// other threads still run. From then on a thread that is about to create
// something (a file, folder, link or name) or to end the process stops where
// it is until the clean-up ends the process: a flow can neither put back
// what was removed nor exit with a code of its own first.
void BeginStopping();
void WaitIfStopping();

}  // namespace platform::internal

#endif  // TRESOLIN_PLATFORM_FAULTS_H_
