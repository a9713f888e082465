// Internal: the counters behind FaultPlan, shared by the platform sources.
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

}  // namespace platform::internal

#endif  // TRESOLIN_PLATFORM_FAULTS_H_
