#include "cipherkern/thread_win.h"

#include <windows.h>

#include <new>

namespace cipherkern::win {
namespace {

static_assert(sizeof(SRWLOCK) == sizeof(void*) && sizeof(CONDITION_VARIABLE) == sizeof(void*));

struct Start {
  void (*run)(void*);
  void* context;
};

DWORD WINAPI Trampoline(void* parameter) {
  const Start start = *static_cast<Start*>(parameter);
  delete static_cast<Start*>(parameter);
  start.run(start.context);
  return 0;
}

}  // namespace

void WaitPoint::Lock() {
  AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&lock_));
}
void WaitPoint::Unlock() {
  ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&lock_));
}
void WaitPoint::Sleep() {
  SleepConditionVariableSRW(reinterpret_cast<PCONDITION_VARIABLE>(&condition_),
                            reinterpret_cast<PSRWLOCK>(&lock_), INFINITE, 0);
}
void WaitPoint::WakeAll() {
  WakeAllConditionVariable(reinterpret_cast<PCONDITION_VARIABLE>(&condition_));
}

void* StartThread(void (*run)(void*), void* context) {
  Start* start = new (std::nothrow) Start{run, context};
  if (start == nullptr) return nullptr;
  const HANDLE thread = CreateThread(nullptr, 0, Trampoline, start, 0, nullptr);
  if (thread == nullptr) delete start;
  return thread;
}

void JoinThread(void* thread) {
  WaitForSingleObject(static_cast<HANDLE>(thread), INFINITE);
  CloseHandle(static_cast<HANDLE>(thread));
}

}  // namespace cipherkern::win
