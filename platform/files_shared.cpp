// What a File is on both systems: its ownership of the open file and its
// last error, and reading a small file whole. Opening, reading and writing
// are each system's own.
#include "platform/platform.h"

namespace platform {

File::File(File&& other) noexcept : fd_(other.fd_), error_(other.error_) {
  other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    error_ = other.error_;
    other.fd_ = -1;
  }
  return *this;
}

File File::Failed(int error) {
  File file;
  file.error_ = error;
  return file;
}

File::~File() {
  Close();
}

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path,
                                                       std::int64_t limit) {
  File file = File::Open(path, OpenMode::kRead);
  if (!file.ok()) return std::nullopt;
  const std::int64_t size = file.Size();
  if (size < 0 || size > limit) return std::nullopt;
  std::vector<std::uint8_t> data(static_cast<std::size_t>(size));
  if (file.Read(data) != size) return std::nullopt;
  return data;
}

}  // namespace platform
