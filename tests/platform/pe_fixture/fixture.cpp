// A small library for the loader tests. It carries what a loader must get
// right: a static constructor, a table of function pointers (relocations in
// the data section), thread-local storage with a TLS callback, imports from
// system libraries and one export. FixtureCheck() returns kFixtureGood only
// when all of them worked.
//
// Built twice for x86-64: in full, and with PE_FIXTURE_LEAN (no thread_local,
// no exceptions, no import of msimg32.dll, -fno-exceptions) for the leak
// test. The C++ runtime linked into the full library keeps memory for the
// life of the process by design (the exception emergency pool, each thread's
// thread_local block, freed only at thread exit), so every load of it costs
// memory whichever loader loads it.
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

int Add(int a, int b) {
  return a + b;
}
int Multiply(int a, int b) {
  return a * b;
}
int Subtract(int a, int b) {
  return a - b;
}

// Pointers to code inside the image: each is a relocation site.
int (*const volatile kOperations[])(int, int) = {Add, Multiply, Subtract};
const char* const volatile kWords[] = {"alpha", "beta", "gamma"};

struct Constructed {
  Constructed() : value(static_cast<int>(std::strlen(kWords[1])) * 10) {}  // 40
  int value;
};
Constructed constructed;

#ifdef PE_FIXTURE_LEAN
int perThread = 7;
#else
thread_local int perThread = 7;
#endif
long tlsAttachCalls = 0;
long processAttachCalls = 0;

void NTAPI OnTls(PVOID, DWORD reason, PVOID) {
  if (reason == DLL_PROCESS_ATTACH) ++tlsAttachCalls;
}

}  // namespace

// The loader finds TLS callbacks through the CRT's list between .CRT$XLA
// and .CRT$XLZ.
extern "C" __attribute__((section(".CRT$XLB"), used)) const PIMAGE_TLS_CALLBACK fixtureTlsCallback =
    OnTls;

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) ++processAttachCalls;
  return TRUE;
}

extern "C" __declspec(dllexport) int FixtureCheck() {
  constexpr int kGood = 12345;
  int sum = 0;
  for (auto* operation : kOperations) sum += operation(6, 3);  // 9 + 18 + 3 = 30
  if (sum != 30 || constructed.value != 40 || std::strcmp(kWords[2], "gamma") != 0) return 1;
  static int calls = 0;
  if (perThread != 7 + calls) return 2;  // starts at its initial value, then keeps ours
  ++perThread;
  ++calls;
  if (tlsAttachCalls != 1 || processAttachCalls != 1) return 3;
  // Imports from system libraries: the heap and the C runtime.
  void* block = std::malloc(100);
  HANDLE heap = GetProcessHeap();
  void* more = HeapAlloc(heap, 0, 64);
  const bool allocated = block != nullptr && more != nullptr;
  std::free(block);
  if (more != nullptr) HeapFree(heap, 0, more);
#ifndef PE_FIXTURE_LEAN
  // A library the test program itself does not load, nor any system library
  // it loads: the loader must load it for the image and free it again on
  // release. Called with nothing to draw on, it only answers false.
  TRIVERTEX corners[2] = {};
  GRADIENT_RECT rect = {0, 1};
  if (GradientFill(nullptr, corners, 2, &rect, 1, GRADIENT_FILL_RECT_H)) return 6;
#endif
  return allocated ? kGood : 4;
}

#ifndef PE_FIXTURE_LEAN
// An exception thrown and caught inside the library: on x86-64 this works
// only when the loader registered the image's unwind table.
extern "C" __declspec(dllexport) int FixtureThrowAndCatch(int value) {
  try {
    if (value > 0) throw value;
  } catch (int caught) {
    return caught + 1;
  }
  return 0;
}
#endif  // PE_FIXTURE_LEAN
