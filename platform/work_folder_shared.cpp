// The parts of the working folders that do not depend on the system: the
// owner record's format, the registry the interrupt clean-up walks, and the
// WorkFolder members that only touch the registry.
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/faults.h"
#include "platform/platform.h"
#include "platform/terminal_state.h"
#include "platform/work_folder_internal.h"

namespace platform {
namespace internal {

std::string FormatRecord(const OwnerRecord& record) {
  return "host " + record.host + "\nboot " + record.boot + "\npid " + record.pid + "\nstart " +
         record.start + "\n";
}

bool ParseRecord(const std::string& text, OwnerRecord* record) {
  std::size_t pos = 0;
  int seen = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) return false;
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    const std::size_t space = line.find(' ');
    if (space == std::string::npos) return false;
    const std::string key = line.substr(0, space);
    const std::string value = line.substr(space + 1);
    if (key == "host") record->host = value, seen |= 1;
    if (key == "boot") record->boot = value, seen |= 2;
    if (key == "pid") record->pid = value, seen |= 4;
    if (key == "start") record->start = value, seen |= 8;
  }
  return seen == 15 && !record->host.empty() && !record->pid.empty();
}

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<Slot>& Slots() {
  static std::vector<Slot> slots;
  return slots;
}

int RegisterLocked(std::string path) {
  std::vector<Slot>& slots = Slots();
  std::size_t index = 0;
  while (index < slots.size() && slots[index].used) ++index;
  if (index == slots.size()) slots.emplace_back();
  slots[index] = Slot{true, std::move(path), {}};
  return static_cast<int>(index);
}

void RemoveEverythingForInterrupt() {
  // Held until the process ends: no working folder is made and no result
  // is moved into place after this point, and the other threads, which
  // run on, create nothing more.
  BeginStopping();
  RegistryMutex().lock();
  RestoreTerminal();
  for (Slot& slot : Slots()) {
    if (!slot.used) continue;
    UndoCreatedLocked(slot);
    RemoveTree(slot.path);
  }
  // A creation that had passed its check when the clean-up began may land
  // after the first removal.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (Slot& slot : Slots()) {
    if (slot.used) RemoveTree(slot.path);
  }
}

}  // namespace internal

using internal::Made;
using internal::RegistryMutex;
using internal::Slots;

WorkFolder::WorkFolder(WorkFolder&& other) noexcept
    : path_(std::move(other.path_)), slot_(other.slot_) {
  other.path_.clear();
  other.slot_ = -1;
}

WorkFolder& WorkFolder::operator=(WorkFolder&& other) noexcept {
  if (this != &other) {
    Remove();
    path_ = std::move(other.path_);
    slot_ = other.slot_;
    other.path_.clear();
    other.slot_ = -1;
  }
  return *this;
}

WorkFolder::~WorkFolder() {
  Remove();
}

WorkFolder WorkFolder::CreateForScratch(const std::string& parent) {
  WorkFolder folder = Create(parent);
  if (!folder.ok() && errno != ENOSPC) folder = Create(TempFolder());
  return folder;
}

bool WorkFolder::MoveOut(const std::string& from, const std::string& to, bool replace) {
  if (!ok()) return false;
  std::lock_guard lock(RegistryMutex());
  const bool existed = KindOfPath(to) != PathKind::kMissing;
  if (existed && !replace) return false;
  const bool folder = KindOfPath(from) == PathKind::kFolder;
  const bool moved = replace ? ReplaceFile(from, to) : RenameFile(from, to);
  if (moved && !existed) {
    Slots()[static_cast<std::size_t>(slot_)].created.emplace_back(
        to, folder ? Made::kTree : Made::kFile);
  }
  return moved;
}

void WorkFolder::UndoCreated() {
  if (!ok()) return;
  std::lock_guard lock(RegistryMutex());
  internal::UndoCreatedLocked(Slots()[static_cast<std::size_t>(slot_)]);
}

void WorkFolder::Commit() {
  if (!ok()) return;
  std::lock_guard lock(RegistryMutex());
  Slots()[static_cast<std::size_t>(slot_)].created.clear();
}

bool WorkFolder::Remove() {
  if (!ok()) return true;
  std::lock_guard lock(RegistryMutex());
  const bool gone = internal::RemoveTree(path_);
  Slots()[static_cast<std::size_t>(slot_)] = internal::Slot{};
  path_.clear();
  slot_ = -1;
  return gone;
}

}  // namespace platform
