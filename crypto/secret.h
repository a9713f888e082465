// A password's bytes, held so that they do not outlive their use: the one
// buffer is wiped before it is freed or refilled, the object is never copied,
// and readers borrow the bytes as a std::string_view for the time of a call.
//
// What it cannot reach stays the caller's: a std::string the bytes came from
// is wiped when it is handed over by move (operator=), a string_view's source
// is not.
#ifndef TRESOLIN_CRYPTO_SECRET_H_
#define TRESOLIN_CRYPTO_SECRET_H_

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace crypto {

class Secret {
 public:
  Secret() = default;
  explicit Secret(std::string_view bytes) { Assign(bytes); }
  Secret(Secret&& other) noexcept;
  Secret& operator=(Secret&& other) noexcept;
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  ~Secret() { Clear(); }

  // Takes the bytes of a string that is going anyway, and wipes them there.
  Secret& operator=(std::string&& bytes);

  // Replaces the held bytes with a copy of bytes.
  void Assign(std::string_view bytes);
  // Wipes and frees the bytes; empty afterwards.
  void Clear();

  std::string_view view() const { return {bytes_.get(), size_}; }
  // The bytes followed by a zero, for C interfaces: "" when empty.
  const char* c_str() const { return bytes_ ? bytes_.get() : ""; }
  operator std::string_view() const { return view(); }  // NOLINT: borrowed like a string
  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_ = 0;
};

// Overwrites size bytes at data with zeros in a way the compiler keeps.
void WipeBytes(void* data, std::size_t size);

}  // namespace crypto

#endif  // TRESOLIN_CRYPTO_SECRET_H_
