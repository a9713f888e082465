#include "crypto/rc4.h"

#include <array>
#include <vector>

#include "platform/platform.h"

namespace crypto {
namespace {

// Bytes per block of the file transform: large enough to keep the system
// calls cheap, small enough to keep memory flat.
constexpr std::size_t kBlockBytes = 1 << 20;

class Rc4Stream {
 public:
  explicit Rc4Stream(std::string_view password) {
    for (int n = 0; n < 256; ++n) s_[n] = static_cast<std::uint8_t>(n);
    std::array<std::uint8_t, 256> key{};
    if (!password.empty()) {
      for (std::size_t n = 0; n < 256; ++n) {
        key[n] = static_cast<std::uint8_t>(password[n % password.size()]);
      }
    }
    std::uint8_t j = 0;
    for (int n = 0; n < 256; ++n) {
      j = static_cast<std::uint8_t>(j + s_[n] + key[n]);
      std::swap(s_[n], s_[j]);
    }
    key.fill(0);
  }

  ~Rc4Stream() {
    volatile std::uint8_t* p = s_.data();
    for (std::size_t n = 0; n < s_.size(); ++n) p[n] = 0;
  }

  void Apply(std::span<std::uint8_t> data) {
    std::uint8_t i = i_;
    std::uint8_t j = j_;
    std::uint8_t* s = s_.data();
    std::uint8_t* p = data.data();
    const std::size_t n = data.size();
    for (std::size_t m = 0; m < n; ++m) {
      i = static_cast<std::uint8_t>(i + 1);
      const std::uint8_t si = s[i];
      j = static_cast<std::uint8_t>(j + si);
      const std::uint8_t sj = s[j];
      s[i] = sj;
      s[j] = si;
      p[m] ^= s[static_cast<std::uint8_t>(si + sj)];
    }
    i_ = i;
    j_ = j;
  }

 private:
  std::array<std::uint8_t, 256> s_{};
  std::uint8_t i_ = 0;
  std::uint8_t j_ = 0;
};

int TransformInPlace(const std::string& path, std::string_view password) {
  platform::File file = platform::File::Open(path, platform::OpenMode::kUpdate);
  if (!file.ok() || file.Size() < 0 || file.Size() > kMaxBodyBytes) return 0;
  Rc4Stream stream(password);
  std::vector<std::uint8_t> block(kBlockBytes);
  std::int64_t offset = 0;
  for (;;) {
    const std::int64_t n = file.Read(block);
    if (n < 0) return 0;
    if (n == 0) break;
    std::span<std::uint8_t> chunk(block.data(), static_cast<std::size_t>(n));
    stream.Apply(chunk);
    if (!file.Seek(offset) || !file.Write(chunk)) return 0;
    offset += n;
  }
  return file.Close() ? 1 : 0;
}

}  // namespace

void RC4_Crypt_Buffer(std::span<std::uint8_t> data, std::string_view password) {
  Rc4Stream stream(password);
  stream.Apply(data);
}

int RC4_Crypt_File(const std::string& inputPath, const std::string& outputPath,
                   std::string_view password) {
  if (platform::SameFile(inputPath, outputPath)) return TransformInPlace(inputPath, password);
  return Rc4TransformFile(inputPath, outputPath, password).ok() ? 1 : 0;
}

platform::Status Rc4TransformFile(const std::string& inputPath, const std::string& outputPath,
                                  std::string_view password, const ByteProgress& progress) {
  using platform::Cause;
  using platform::Status;
  platform::File input = platform::File::Open(inputPath, platform::OpenMode::kRead);
  if (!input.ok()) {
    const Status why = platform::ExamineFileToRead(inputPath);
    return why.ok() ? Status::Of(Cause::kNoAccess, inputPath, input.lastError()) : why;
  }
  const std::int64_t size = input.Size();
  if (size < 0) return Status::Of(Cause::kReadFailed, inputPath, input.lastError());
  if (size > kMaxBodyBytes) return Status::Of(Cause::kTooLarge, inputPath);

  platform::File output = platform::File::Open(outputPath, platform::OpenMode::kCreateNew);
  if (!output.ok()) return Status::Of(Cause::kWriteFailed, outputPath, output.lastError());

  Rc4Stream stream(password);
  std::vector<std::uint8_t> block(kBlockBytes);
  std::int64_t total = 0;
  Status status;
  for (;;) {
    const std::int64_t n = input.Read(block);
    if (n < 0) {
      status = Status::Of(Cause::kReadFailed, inputPath, input.lastError());
      break;
    }
    if (n == 0) break;
    total += n;
    std::span<std::uint8_t> chunk(block.data(), static_cast<std::size_t>(n));
    stream.Apply(chunk);
    // The file grew while it was read.
    if (total > kMaxBodyBytes) {
      status = Status::Of(Cause::kTooLarge, inputPath);
      break;
    }
    if (!output.Write(chunk)) {
      status = Status::Of(Cause::kWriteFailed, outputPath, output.lastError());
      break;
    }
    if (progress) progress(total, size);
  }
  if (!output.Close() && status.ok()) {
    status = Status::Of(Cause::kWriteFailed, outputPath, output.lastError());
  }
  if (!status.ok()) platform::DeleteFile(outputPath);
  return status;
}

}  // namespace crypto
