// What a File is on both systems: its ownership of the open file and its
// last error. Opening, reading and writing are each system's own.
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

}  // namespace platform
