#include "platform/faults.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/platform.h"

namespace platform {
namespace {

std::mutex g_mutex;
bool g_active = false;
FaultPlan g_plan;
int g_opens = 0;
int g_writes = 0;
int g_renames = 0;
int g_readOpens = 0;
int g_deletes = 0;
std::atomic<bool> g_anyPlan{false};
std::atomic<bool> g_stopping{false};

}  // namespace

void SetFaultPlan(const FaultPlan& plan) {
  std::lock_guard lock(g_mutex);
  g_plan = plan;
  g_active = true;
  g_opens = g_writes = g_renames = g_readOpens = g_deletes = 0;
  g_anyPlan = true;
}

void ClearFaultPlan() {
  std::lock_guard lock(g_mutex);
  g_active = false;
  g_plan = FaultPlan{};
  g_anyPlan = false;
}

namespace internal {

void BeginStopping() {
  g_stopping = true;
}

void WaitIfStopping() {
  // Signals are blocked in every thread; the clean-up's _exit ends this.
  while (g_stopping.load()) std::this_thread::sleep_for(std::chrono::seconds(1));
}

bool ShouldFail(Fault fault) {
  if (!g_anyPlan.load(std::memory_order_relaxed)) return false;
  std::lock_guard lock(g_mutex);
  if (!g_active) return false;
  switch (fault) {
    case Fault::kOpenForWrite:
      return ++g_opens == g_plan.failOpenForWriteAt;
    case Fault::kWrite:
      return ++g_writes == g_plan.failWriteAt;
    case Fault::kRename:
      return ++g_renames == g_plan.failRenameAt;
    case Fault::kOpenForRead:
      return ++g_readOpens == g_plan.failOpenForReadAt;
    case Fault::kDelete:
      return ++g_deletes == g_plan.failDeleteAt;
  }
  return false;
}

bool FreeSpaceOverride(std::int32_t* megabytes) {
  if (!g_anyPlan.load(std::memory_order_relaxed)) return false;
  std::lock_guard lock(g_mutex);
  if (!g_active || g_plan.freeMegabytes < -1) return false;
  *megabytes = g_plan.freeMegabytes;
  return true;
}

bool AnonymousFilesDisabled() {
  if (!g_anyPlan.load(std::memory_order_relaxed)) return false;
  std::lock_guard lock(g_mutex);
  return g_active && g_plan.noAnonymousFiles;
}

}  // namespace internal
}  // namespace platform
