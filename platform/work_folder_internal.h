// Internal: what the working folders of both systems share. The owner
// record's format, the registry of live working folders that the interrupt
// clean-up walks, and the WorkFolder members that only touch the registry
// live in work_folder_shared.cpp; creating, removing and the clean-up's
// trigger are each system's own.
#ifndef TRESOLIN_PLATFORM_WORK_FOLDER_INTERNAL_H_
#define TRESOLIN_PLATFORM_WORK_FOLDER_INTERNAL_H_

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::internal {

// The owner record: a file of that name in every working folder.
inline constexpr std::string_view kOwnerRecord = "owner";
inline constexpr std::size_t kRecordLimitBytes = 1024;

struct OwnerRecord {
  std::string host, boot, pid, start;
};

std::string FormatRecord(const OwnerRecord& record);
// Returns true iff text is a complete record; *record then holds it.
bool ParseRecord(const std::string& text, OwnerRecord* record);

// What a run made outside its working folder, so that it can be undone.
enum class Made { kFile, kFolder, kTree };

struct Slot {
  bool used = false;
  std::string path;
  std::vector<std::pair<std::string, Made>> created;
};

// Guards Slots(). The interrupt clean-up takes it and never gives it back.
std::mutex& RegistryMutex();
std::vector<Slot>& Slots();

// Records path as a live working folder; returns its slot. RegistryMutex()
// must be held.
int RegisterLocked(std::string path);

// Each system's own: removes path with everything in it, never following a
// link; undoes what slot recorded as made outside, newest first.
bool RemoveTree(const std::string& path);
void UndoCreatedLocked(Slot& slot);

// The interrupt clean-up's work, the same on both systems: stops every
// thread from creating anything, takes the registry for good, restores the
// terminal and removes every live working folder with what it made outside.
// The caller then tells the user and ends the process.
void RemoveEverythingForInterrupt();

}  // namespace platform::internal

#endif  // TRESOLIN_PLATFORM_WORK_FOLDER_INTERNAL_H_
