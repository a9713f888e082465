// Zero-filled heap buffers that wipe their bytes before they are freed, for
// everything the engine holds that an attacker must not find in freed memory:
// key bytes, round keys, plaintext files and pack containers.
//
// A SecureBuffer owns its bytes and is move-only. Allocation failure is a
// value (an empty buffer from Allocate), never an exception. Not thread-safe;
// each call of the engine owns its own buffers.
#ifndef TRESOLIN_CIPHERKERN_SECURE_BUFFER_H_
#define TRESOLIN_CIPHERKERN_SECURE_BUFFER_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <utility>

namespace cipherkern {

// Overwrites size bytes at data with zeros in a way the optimiser may not
// drop as a dead store.
#ifdef _WIN32
// SecureZeroMemory, in secure_wipe_win.cpp: <windows.h> stays out of here.
void SecureWipe(void* data, std::size_t size);
#else
inline void SecureWipe(void* data, std::size_t size) {
  if (data != nullptr && size > 0) explicit_bzero(data, size);
}
#endif

class SecureBuffer {
 public:
  SecureBuffer() = default;
  SecureBuffer(const SecureBuffer&) = delete;
  SecureBuffer& operator=(const SecureBuffer&) = delete;
  SecureBuffer(SecureBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  SecureBuffer& operator=(SecureBuffer&& other) noexcept {
    if (this != &other) {
      Release();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~SecureBuffer() { Release(); }

  // Returns true iff size zero-filled bytes could be allocated (a size of 0
  // always succeeds and holds nothing). On failure *this is left empty.
  [[nodiscard]] bool Allocate(std::size_t size) {
    Release();
    if (size == 0) return true;
    data_ = static_cast<std::uint8_t*>(std::calloc(size, 1));
    if (data_ == nullptr) return false;
    size_ = capacity_ = size;
    return true;
  }

  // Shortens the visible part; the cut-off bytes are wiped at once.
  // Requires: size <= this->size().
  void Shrink(std::size_t size) {
    if (size >= size_) return;
    SecureWipe(data_ + size, size_ - size);
    size_ = size;
  }

  // Wipes and frees the bytes; the buffer is empty afterwards.
  void Release() {
    SecureWipe(data_, capacity_);
    std::free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
  }

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::span<std::uint8_t> span() { return {data_, size_}; }
  std::span<const std::uint8_t> span() const { return {data_, size_}; }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace cipherkern

#endif  // TRESOLIN_CIPHERKERN_SECURE_BUFFER_H_
