// Binding a library from bytes in memory on Windows: our own loader maps the
// image into private memory; the library is never written to disk.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/pe_image.h"
#include "platform/platform.h"

namespace platform {
namespace {

// What one bound image holds; MemoryLibrary::Image is this, named privately.
struct Mapped {
  std::uint8_t* base = nullptr;
  pe::Layout layout;
  std::vector<HMODULE> modules;  // loaded for the imports, in load order
  std::vector<std::uint32_t> tlsCallbacks;
  std::vector<DWORD> tlsSlots;  // TlsAlloc'd by the image and not yet freed
  bool functionTableAdded = false;
  bool attached = false;

  std::span<std::uint8_t> bytes() const { return {base, layout.sizeOfImage}; }
};

}  // namespace

struct MemoryLibrary::Image : Mapped {};

namespace {

using EntryPoint = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);

// Page protection for a section's execute, read and write characteristics.
// Private memory cannot be copy-on-write, so writeable means read-write.
DWORD Protection(std::uint32_t characteristics) {
  const bool execute = (characteristics & pe::kSectionExecute) != 0;
  const bool read = (characteristics & pe::kSectionRead) != 0;
  const bool write = (characteristics & pe::kSectionWrite) != 0;
  if (execute) return write ? PAGE_EXECUTE_READWRITE : read ? PAGE_EXECUTE_READ : PAGE_EXECUTE;
  return write ? PAGE_READWRITE : read ? PAGE_READONLY : PAGE_NOACCESS;
}

// Gives every page the protection of the sections on it (sections sharing a
// page get the union of their rights); pages of no section hold headers or
// padding and become read-only.
bool ProtectSections(const Mapped& image) {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  const std::size_t page = system.dwPageSize;
  const std::size_t pages = (image.layout.sizeOfImage + page - 1) / page;
  std::vector<std::uint32_t> rights(pages, pe::kSectionRead);
  std::vector<bool> covered(pages, false);
  for (const pe::Section& s : image.layout.sections) {
    if (s.virtualSize == 0) continue;
    const std::size_t first = s.virtualAddress / page;
    const std::size_t last = (std::size_t{s.virtualAddress} + s.virtualSize - 1) / page;
    const std::uint32_t want =
        s.characteristics & (pe::kSectionExecute | pe::kSectionRead | pe::kSectionWrite);
    for (std::size_t p = first; p <= last && p < pages; ++p) {
      rights[p] = covered[p] ? (rights[p] | want) : want;
      covered[p] = true;
    }
  }
  for (std::size_t p = 0; p < pages;) {
    std::size_t end = p + 1;
    while (end < pages && rights[end] == rights[p]) ++end;
    DWORD old = 0;
    if (!VirtualProtect(image.base + p * page, (end - p) * page, Protection(rights[p]), &old)) {
      return false;
    }
    p = end;
  }
  return FlushInstructionCache(GetCurrentProcess(), image.base, image.layout.sizeOfImage) != 0;
}

void RunTlsCallbacks(const Mapped& image, DWORD reason) {
  for (const std::uint32_t rva : image.tlsCallbacks) {
    const auto callback = reinterpret_cast<PIMAGE_TLS_CALLBACK>(image.base + rva);
    callback(image.base, reason, nullptr);
  }
}

bool CallEntry(const Mapped& image, DWORD reason) {
  if (image.layout.entryPoint == 0) return true;
  const auto entry = reinterpret_cast<EntryPoint>(image.base + image.layout.entryPoint);
  return entry(reinterpret_cast<HINSTANCE>(image.base), reason, nullptr) != FALSE;
}

// Registers the image's unwind table so that exceptions thrown inside it
// unwind (x86-64 only; 32-bit code does not need it).
bool AddFunctionTable(Mapped& image) {
#if defined(_WIN64)
  constexpr std::size_t kExceptionDirectory = 3;
  const pe::DataDirectory dir = image.layout.dirs[kExceptionDirectory];
  if (dir.size < sizeof(RUNTIME_FUNCTION)) return true;
  auto* table = reinterpret_cast<PRUNTIME_FUNCTION>(image.base + dir.rva);
  const auto count = static_cast<DWORD>(dir.size / sizeof(RUNTIME_FUNCTION));
  image.functionTableAdded =
      RtlAddFunctionTable(table, count, reinterpret_cast<DWORD64>(image.base)) != FALSE;
  return image.functionTableAdded;
#else
  (void)image;
  return true;
#endif
}

void RemoveFunctionTable(Mapped& image) {
#if defined(_WIN64)
  if (!image.functionTableAdded) return;
  constexpr std::size_t kExceptionDirectory = 3;
  RtlDeleteFunctionTable(
      reinterpret_cast<PRUNTIME_FUNCTION>(image.base + image.layout.dirs[kExceptionDirectory].rva));
  image.functionTableAdded = false;
#else
  (void)image;
#endif
}

// Thread-local slots that a bound image takes die with it. A runtime inside
// the image that allocates a slot and never frees it would otherwise use up
// the process's slots (about a thousand) after as many bindings. The image's
// TlsAlloc and TlsFree imports are bound to these, which find the calling
// image by the return address.
SRWLOCK boundLock = SRWLOCK_INIT;
std::vector<Mapped*> bound;  // guarded by boundLock

Mapped* BoundImageAt(const void* address) {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  for (Mapped* image : bound) {
    const auto base = reinterpret_cast<std::uintptr_t>(image->base);
    if (at >= base && at - base < image->layout.sizeOfImage) return image;
  }
  return nullptr;
}

DWORD WINAPI TrackedTlsAlloc() {
  const DWORD slot = TlsAlloc();
  if (slot == TLS_OUT_OF_INDEXES) return slot;
  AcquireSRWLockExclusive(&boundLock);
  if (Mapped* image = BoundImageAt(__builtin_return_address(0))) image->tlsSlots.push_back(slot);
  ReleaseSRWLockExclusive(&boundLock);
  return slot;
}

BOOL WINAPI TrackedTlsFree(DWORD slot) {
  AcquireSRWLockExclusive(&boundLock);
  if (Mapped* image = BoundImageAt(__builtin_return_address(0))) {
    std::erase(image->tlsSlots, slot);
  }
  ReleaseSRWLockExclusive(&boundLock);
  return TlsFree(slot);
}

void Track(Mapped* image) {
  AcquireSRWLockExclusive(&boundLock);
  bound.push_back(image);
  ReleaseSRWLockExclusive(&boundLock);
}

void Untrack(Mapped* image) {
  AcquireSRWLockExclusive(&boundLock);
  std::erase(bound, image);
  ReleaseSRWLockExclusive(&boundLock);
  for (const DWORD slot : image->tlsSlots) TlsFree(slot);
  image->tlsSlots.clear();
}

// The address an import is bound to: our trackers for the slot calls,
// otherwise what the system library exports; 0 when there is none.
std::uintptr_t Bind(HMODULE module, const pe::Import& import) {
  if (import.name != nullptr && lstrcmpiA(import.module, "kernel32.dll") == 0) {
    if (std::strcmp(import.name, "TlsAlloc") == 0) {
      return reinterpret_cast<std::uintptr_t>(&TrackedTlsAlloc);
    }
    if (std::strcmp(import.name, "TlsFree") == 0) {
      return reinterpret_cast<std::uintptr_t>(&TrackedTlsFree);
    }
  }
  return reinterpret_cast<std::uintptr_t>(GetProcAddress(
      module, import.name != nullptr ? import.name : MAKEINTRESOURCEA(import.ordinal)));
}

}  // namespace

MemoryLibrary::MemoryLibrary(MemoryLibrary&& other) noexcept
    : handle_(other.handle_), image_(other.image_) {
  other.handle_ = nullptr;
  other.image_ = nullptr;
}

MemoryLibrary& MemoryLibrary::operator=(MemoryLibrary&& other) noexcept {
  if (this != &other) {
    Release();
    handle_ = other.handle_;
    image_ = other.image_;
    other.handle_ = nullptr;
    other.image_ = nullptr;
  }
  return *this;
}

MemoryLibrary::~MemoryLibrary() {
  Release();
}

void MemoryLibrary::Release() {
  handle_ = nullptr;
  if (image_ == nullptr) return;
  Image& image = *image_;
  if (image.attached) {
    (void)CallEntry(image, DLL_PROCESS_DETACH);
    RunTlsCallbacks(image, DLL_PROCESS_DETACH);
    image.attached = false;
  }
  Untrack(&image);
  RemoveFunctionTable(image);
  for (auto it = image.modules.rbegin(); it != image.modules.rend(); ++it) FreeLibrary(*it);
  if (image.base != nullptr) VirtualFree(image.base, 0, MEM_RELEASE);
  delete image_;
  image_ = nullptr;
}

MemoryLibrary MemoryLibrary::Load(std::span<const std::uint8_t> bytes) {
  pe::Layout layout;
  if (!pe::ParseHeaders(bytes, pe::HostMachine(), &layout).ok()) return MemoryLibrary();

  MemoryLibrary library;
  library.image_ = new Image;
  Image& image = *library.image_;
  image.layout = std::move(layout);
  const pe::Layout& l = image.layout;

  // At the preferred base if it is free, anywhere otherwise.
  void* base = nullptr;
  if (l.imageBase <= UINTPTR_MAX) {
    base = VirtualAlloc(reinterpret_cast<void*>(static_cast<std::uintptr_t>(l.imageBase)),
                        l.sizeOfImage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  }
  if (base == nullptr) {
    base = VirtualAlloc(nullptr, l.sizeOfImage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  }
  if (base == nullptr) return MemoryLibrary();
  image.base = static_cast<std::uint8_t*>(base);
  Track(&image);

  const std::uint64_t actual = reinterpret_cast<std::uintptr_t>(base);
  std::size_t relocated = 0;
  if (!pe::MapImage(bytes, l, image.bytes()).ok() ||
      !pe::ApplyRelocations(image.bytes(), l, actual - l.imageBase, &relocated).ok()) {
    return MemoryLibrary();
  }
  pe::SetImageBase(image.bytes(), l, actual);

  HMODULE current = nullptr;
  const auto resolve = [&image, &current](const pe::Import& import, std::uint64_t* address) {
    if (import.firstOfModule) {
      current = LoadLibraryA(import.module);
      if (current == nullptr) return false;
      image.modules.push_back(current);
    }
    *address = Bind(current, import);
    return *address != 0;
  };
  if (!pe::ResolveImports(image.bytes(), l, resolve).ok()) return MemoryLibrary();

  pe::TlsInfo tls;
  if (!pe::ReadTls(image.bytes(), l, actual, &tls).ok()) return MemoryLibrary();
  image.tlsCallbacks = std::move(tls.callbackRvas);
  if (!AddFunctionTable(image) || !ProtectSections(image)) return MemoryLibrary();

  RunTlsCallbacks(image, DLL_PROCESS_ATTACH);
  if (!CallEntry(image, DLL_PROCESS_ATTACH)) return MemoryLibrary();
  image.attached = true;
  library.handle_ = base;
  return library;
}

void* MemoryLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr || image_ == nullptr || name == nullptr) return nullptr;
  std::uint32_t rva = 0;
  if (!pe::FindExport(image_->bytes(), image_->layout, name, &rva).ok()) return nullptr;
  return image_->base + rva;
}

}  // namespace platform
