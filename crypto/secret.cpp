#include "crypto/secret.h"

#include <algorithm>
#include <utility>

namespace crypto {

void WipeBytes(void* data, std::size_t size) {
  // Stores through a volatile pointer: the compiler keeps them although
  // nothing reads the bytes again.
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = 0;
}

Secret::Secret(Secret&& other) noexcept
    : bytes_(std::move(other.bytes_)), size_(std::exchange(other.size_, 0)) {}

Secret& Secret::operator=(Secret&& other) noexcept {
  if (this != &other) {
    Clear();
    bytes_ = std::move(other.bytes_);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

Secret& Secret::operator=(std::string&& bytes) {
  Assign(bytes);
  // The string's whole buffer: a short string keeps its bytes inside the
  // object, a long one on the heap, and either may hold more than size().
  WipeBytes(bytes.data(), bytes.capacity());
  bytes.clear();
  return *this;
}

void Secret::Assign(std::string_view bytes) {
  Clear();
  if (bytes.empty()) return;
  // Value-initialised: the byte after the last is the zero c_str() needs.
  bytes_ = std::make_unique<char[]>(bytes.size() + 1);
  std::copy(bytes.begin(), bytes.end(), bytes_.get());
  size_ = bytes.size();
}

void Secret::Clear() {
  WipeBytes(bytes_.get(), size_);  // the zero after them needs none
  bytes_.reset();
  size_ = 0;
}

}  // namespace crypto
