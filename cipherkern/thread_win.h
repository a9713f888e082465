// Plain Win32 threads and waits for the pack stream encoder's helper thread
// on Windows. The engine DLL may be bound from memory, where it gets no
// thread notifications: so its threads come from CreateThread, not from a
// threads library that keeps per-thread state, and its waits are a slim
// reader/writer lock with a condition variable. Without <windows.h>, so that
// its macros stay out of the encoder. Internal to the engine.
#ifndef TRESOLIN_CIPHERKERN_THREAD_WIN_H_
#define TRESOLIN_CIPHERKERN_THREAD_WIN_H_

namespace cipherkern::win {

// A lock and a condition variable; zeros are their initial state.
class WaitPoint {
 public:
  void Lock();
  void Unlock();
  // Requires: locked. Releases the lock while asleep, holds it again after.
  void Sleep();
  void WakeAll();

 private:
  void* lock_ = nullptr;
  void* condition_ = nullptr;
};

// Runs run(context) on a new thread. Returns its handle, or null when no
// thread could be started.
void* StartThread(void (*run)(void*), void* context);
// Waits for the thread to end and releases its handle.
void JoinThread(void* thread);

}  // namespace cipherkern::win

#endif  // TRESOLIN_CIPHERKERN_THREAD_WIN_H_
