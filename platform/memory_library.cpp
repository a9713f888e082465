// Binding a shared library from bytes in memory.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/faults.h"
#include "platform/platform.h"

namespace platform {
namespace {

bool WriteAllTo(int fd, std::span<const std::uint8_t> data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data = data.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

MemoryLibrary::MemoryLibrary(MemoryLibrary&& other) noexcept
    : handle_(other.handle_),
      fd_(other.fd_),
      loadPath_(std::move(other.loadPath_)),
      tempFolder_(std::move(other.tempFolder_)) {
  other.handle_ = nullptr;
  other.fd_ = -1;
  other.tempFolder_.clear();
}

MemoryLibrary& MemoryLibrary::operator=(MemoryLibrary&& other) noexcept {
  if (this != &other) {
    Release();
    handle_ = other.handle_;
    fd_ = other.fd_;
    loadPath_ = std::move(other.loadPath_);
    tempFolder_ = std::move(other.tempFolder_);
    other.handle_ = nullptr;
    other.fd_ = -1;
    other.tempFolder_.clear();
  }
  return *this;
}

MemoryLibrary::~MemoryLibrary() {
  Release();
}

void MemoryLibrary::Release() {
  if (handle_ != nullptr) ::dlclose(handle_);
  handle_ = nullptr;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!tempFolder_.empty()) {
    ::unlink(loadPath_.c_str());
    ::rmdir(tempFolder_.c_str());
    tempFolder_.clear();
  }
  loadPath_.clear();
}

MemoryLibrary MemoryLibrary::Load(std::span<const std::uint8_t> image) {
  MemoryLibrary library;
  library.fd_ = internal::AnonymousFilesDisabled() ? -1 : ::memfd_create("cipherkern", MFD_CLOEXEC);
  if (library.fd_ >= 0) {
    if (!WriteAllTo(library.fd_, image)) return MemoryLibrary();
    library.loadPath_ = "/proc/self/fd/" + std::to_string(library.fd_);
  } else {
    // No anonymous files here: a folder only we may enter, gone afterwards.
    std::string pattern = TempFolder() + "tresolin-engine-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return MemoryLibrary();
    library.tempFolder_ = pattern;
    library.loadPath_ = pattern + "/libcipherkern.so";
    const int fd = ::open(library.loadPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0700);
    const bool written = fd >= 0 && WriteAllTo(fd, image);
    if (fd >= 0) ::close(fd);
    if (!written) return MemoryLibrary();  // Release() removes what was made
  }
  library.handle_ = ::dlopen(library.loadPath_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library.handle_ == nullptr) return MemoryLibrary();
  return library;
}

void* MemoryLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr || name == nullptr) return nullptr;
  return ::dlsym(handle_, name);
}

}  // namespace platform
