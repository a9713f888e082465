#include "cipherkern/engine.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "cipherkern/pack_container.h"
#include "cipherkern/secure_buffer.h"

namespace cipherkern {
namespace {

// Files holding plaintext (the pack container, the decrypted container, the
// restored file) are private to the user; the ciphertext gets the usual mode.
constexpr mode_t kPlaintextFileMode = 0600;
constexpr mode_t kCiphertextFileMode = 0666;  // less the umask

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { (void)Close(); }

  void Reset(int fd) {
    (void)Close();
    fd_ = fd;
  }
  bool valid() const { return fd_ >= 0; }
  int get() const { return fd_; }

  // Returns true iff the descriptor was closed without error; a failing
  // close can be the first report of a write that did not reach the disk.
  [[nodiscard]] bool Close() {
    if (fd_ < 0) return true;
    const int result = ::close(std::exchange(fd_, -1));
    return result == 0 || errno == EINTR;
  }

 private:
  int fd_;
};

// Removes a file this call created unless the call got to the point where
// the file is its result.
class RemoveUnlessKept {
 public:
  explicit RemoveUnlessKept(std::string path) : path_(std::move(path)) {}
  RemoveUnlessKept(const RemoveUnlessKept&) = delete;
  RemoveUnlessKept& operator=(const RemoveUnlessKept&) = delete;
  ~RemoveUnlessKept() {
    if (!kept_) ::unlink(path_.c_str());
  }
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  bool kept_ = false;
};

int OpenForReading(const char* path) {
  return ::open(path, O_RDONLY | O_CLOEXEC);
}

// Creates path, or truncates an existing file there. An existing file keeps
// its owner but takes the requested permissions when they are narrower, so
// that plaintext never lands in a file others may read.
int CreateFile(const std::string& path, mode_t mode, bool readBack) {
  const int fd =
      ::open(path.c_str(), (readBack ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd >= 0 && mode == kPlaintextFileMode) (void)::fchmod(fd, mode);
  return fd;
}

[[nodiscard]] bool ReadAt(int fd, std::uint8_t* data, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    const ssize_t got = ::pread(fd, data, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    size -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

[[nodiscard]] bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t put = ::write(fd, data, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

bool SameFile(const struct stat& a, const char* path) {
  struct stat b {};
  return ::stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Returns true iff the input names the same file as one of the paths the
// call would write: writing would destroy what is being read.
bool InputIsWrittenTo(const char* input, const char* written, const std::string& intermediate) {
  struct stat inputStat {};
  return ::stat(input, &inputStat) == 0 &&
         (SameFile(inputStat, written) || SameFile(inputStat, intermediate.c_str()));
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The input of either mode: an open regular file below kMaxInputLength.
struct Input {
  FileDescriptor fd;
  std::uint64_t size = 0;
};

EngineStatus OpenInput(const char* path, Input* input) {
  input->fd.Reset(OpenForReading(path));
  if (!input->fd.valid()) return EngineStatus::kCannotOpenInput;
  struct stat st {};
  if (::fstat(input->fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return EngineStatus::kCannotReadInput;
  }
  if (st.st_size >= kMaxInputLength) return EngineStatus::kInputTooLarge;
  input->size = static_cast<std::uint64_t>(st.st_size);
  return EngineStatus::kOk;
}

// The chunk loop: the input's size bytes go through the cipher chunkSize
// bytes at a time, F = size / chunkSize full chunks and one last pass for the
// remainder, which may be empty. Encryption pads the last pass with k bytes of
// value k to whole blocks (k = 0 when it already is, never 16). Decryption
// writes every block as it is; the pack container's own lengths say where the
// data ends (Container_FindEntry), so no data byte is ever taken for padding.
// Requires: decrypting, size is a multiple of 16.
EngineStatus CryptChunks(EngineMode mode, const AesKeySchedule& schedule, AesPath path, int inFd,
                         std::uint64_t size, int outFd, std::uint64_t chunkSize) {
  // ECB makes the chunking invisible in the output, so a chunk size beyond
  // the padded input needs no buffer of its full size.
  const std::uint64_t padded = (size + kAesBlockSize - 1) / kAesBlockSize * kAesBlockSize;
  const std::size_t bufferSize =
      static_cast<std::size_t>(std::max<std::uint64_t>(std::min(chunkSize, padded), kAesBlockSize));
  SecureBuffer in;
  SecureBuffer out;
  if (!in.Allocate(bufferSize) || !out.Allocate(bufferSize)) return EngineStatus::kOutOfMemory;

  const std::uint64_t fullChunks = size / chunkSize;
  for (std::uint64_t i = 0; i <= fullChunks; ++i) {
    std::size_t n =
        static_cast<std::size_t>(i < fullChunks ? chunkSize : size - fullChunks * chunkSize);
    if (!ReadAt(inFd, in.data(), n, i * chunkSize)) return EngineStatus::kCannotReadInput;
    if (mode == EngineMode::kEncrypt && i == fullChunks) {
      const std::size_t k = (kAesBlockSize - n % kAesBlockSize) % kAesBlockSize;
      std::memset(in.data() + n, static_cast<int>(k), k);
      n += k;
    }
    if (mode == EngineMode::kEncrypt) {
      Aes_EncryptBlocks(schedule, path, {in.data(), n}, {out.data(), n});
    } else {
      Aes_DecryptBlocks(schedule, path, {in.data(), n}, {out.data(), n});
    }
    if (!WriteAll(outFd, out.data(), n)) return EngineStatus::kWriteFailed;
  }
  return EngineStatus::kOk;
}

EngineStatus Encrypt(const EngineRequest& request, const AesKeySchedule& schedule) {
  const std::string packPath = std::string(request.inputPath) + kPackSuffix;
  if (InputIsWrittenTo(request.inputPath, request.outputPath, packPath)) {
    return EngineStatus::kPathsOverlap;
  }

  // Packing holds the whole file and then its container in memory.
  Input input;
  if (const EngineStatus s = OpenInput(request.inputPath, &input); s != EngineStatus::kOk) return s;
  SecureBuffer container;
  {
    SecureBuffer file;
    if (!file.Allocate(static_cast<std::size_t>(input.size))) return EngineStatus::kOutOfMemory;
    if (!ReadAt(input.fd.get(), file.data(), file.size(), 0)) return EngineStatus::kCannotReadInput;
    (void)input.fd.Close();
    switch (Container_Pack(file.span(), &container)) {
      case ContainerStatus::kOk:
        break;
      case ContainerStatus::kOutOfMemory:
        return EngineStatus::kOutOfMemory;
      default:
        return EngineStatus::kInputTooLarge;
    }
  }
  if (!Engine_BodyFits(container.size())) return EngineStatus::kInputTooLarge;

  // The pack container on disk is the cipher's input, read back through the
  // same descriptor so that nothing can swap it in between.
  FileDescriptor pack(CreateFile(packPath, kPlaintextFileMode, /*readBack=*/true));
  if (!pack.valid()) return EngineStatus::kCannotCreatePack;
  RemoveUnlessKept packGuard(packPath);
  if (!WriteAll(pack.get(), container.data(), container.size())) return EngineStatus::kWriteFailed;
  const std::uint64_t containerLength = container.size();
  container.Release();

  struct stat packStat {};
  if (::fstat(pack.get(), &packStat) != 0 || SameFile(packStat, request.outputPath)) {
    return EngineStatus::kPathsOverlap;
  }
  FileDescriptor output(CreateFile(request.outputPath, kCiphertextFileMode, /*readBack=*/false));
  if (!output.valid()) return EngineStatus::kCannotCreateOutput;
  RemoveUnlessKept outputGuard(request.outputPath);
  if (const EngineStatus s =
          CryptChunks(EngineMode::kEncrypt, schedule, request.path, pack.get(), containerLength,
                      output.get(), static_cast<std::uint64_t>(request.chunkSize));
      s != EngineStatus::kOk) {
    return s;
  }
  if (!output.Close() || !pack.Close()) return EngineStatus::kWriteFailed;
  outputGuard.Keep();
  packGuard.Keep();  // the caller deletes it
  return EngineStatus::kOk;
}

EngineStatus Decrypt(const EngineRequest& request, const AesKeySchedule& schedule) {
  const std::string restoredPath = std::string(request.outputPath) + kRestoredSuffix;
  if (InputIsWrittenTo(request.inputPath, request.outputPath, restoredPath)) {
    return EngineStatus::kPathsOverlap;
  }
  // A ".dec" file left from an earlier call would pass for this call's
  // result, since the caller looks only at which files exist.
  ::unlink(restoredPath.c_str());

  Input input;
  if (const EngineStatus s = OpenInput(request.inputPath, &input); s != EngineStatus::kOk) return s;
  if (input.size % kAesBlockSize != 0) return EngineStatus::kNotBlockAligned;

  FileDescriptor output(CreateFile(request.outputPath, kPlaintextFileMode, /*readBack=*/true));
  if (!output.valid()) return EngineStatus::kCannotCreateOutput;
  RemoveUnlessKept outputGuard(request.outputPath);
  if (const EngineStatus s =
          CryptChunks(EngineMode::kDecrypt, schedule, request.path, input.fd.get(), input.size,
                      output.get(), static_cast<std::uint64_t>(request.chunkSize));
      s != EngineStatus::kOk) {
    return s;
  }
  (void)input.fd.Close();

  // Unpacking holds the decrypted container and the restored file in memory.
  SecureBuffer body;
  if (!body.Allocate(static_cast<std::size_t>(input.size))) return EngineStatus::kOutOfMemory;
  if (!ReadAt(output.get(), body.data(), body.size(), 0)) return EngineStatus::kCannotReadInput;
  ContainerEntry entry;
  bool hasEntry = false;
  std::size_t containerLength = 0;
  switch (Container_FindEntry(body.span(), &entry, &hasEntry, &containerLength)) {
    case ContainerStatus::kOk:
      break;
    case ContainerStatus::kOutOfMemory:
      return EngineStatus::kOutOfMemory;
    default:
      return EngineStatus::kDamagedContainer;
  }
  // Leave the decrypted container as it was packed, without the padding.
  if (::ftruncate(output.get(), static_cast<off_t>(containerLength)) != 0 || !output.Close()) {
    return EngineStatus::kWriteFailed;
  }

  SecureBuffer decoded;
  std::span<const std::uint8_t> restored;
  if (hasEntry) {
    if (entry.IsStored()) {
      restored = entry.data;
    } else {
      switch (Container_Decode(entry, &decoded)) {
        case ContainerStatus::kOk:
          break;
        case ContainerStatus::kOutOfMemory:
          return EngineStatus::kOutOfMemory;
        default:
          return EngineStatus::kDamagedContainer;
      }
      body.Release();
      restored = decoded.span();
    }
  }

  FileDescriptor dec(CreateFile(restoredPath, kPlaintextFileMode, /*readBack=*/false));
  if (!dec.valid()) return EngineStatus::kCannotCreateRestored;
  RemoveUnlessKept decGuard(restoredPath);
  if (!WriteAll(dec.get(), restored.data(), restored.size()) || !dec.Close()) {
    return EngineStatus::kWriteFailed;
  }
  decGuard.Keep();
  outputGuard.Keep();  // the caller deletes it
  return EngineStatus::kOk;
}

bool ValidArguments(const EngineRequest& request) {
  const bool modeOk = request.mode == EngineMode::kEncrypt || request.mode == EngineMode::kDecrypt;
  const bool pathsOk = request.inputPath != nullptr && request.inputPath[0] != '\0' &&
                       request.outputPath != nullptr && request.outputPath[0] != '\0';
  const bool chunkOk = request.chunkSize > 0 && request.chunkSize % 16 == 0;
  return modeOk && pathsOk && chunkOk;
}

}  // namespace

bool Engine_KeyFromText(const char* keyText, std::span<std::uint8_t, kKeyLength> key) {
  std::fill(key.begin(), key.end(), std::uint8_t{0});
  if (keyText == nullptr || ::strnlen(keyText, kKeyTextLength + 1) != kKeyTextLength) return false;
  for (std::size_t i = 0; i < kKeyTextLength; ++i) {
    if (HexDigit(keyText[i]) < 0) return false;
  }
  // The text written twice, each pair of digits one byte, high digit first.
  for (std::size_t i = 0; i < kKeyLength; ++i) {
    const std::size_t digit = (2 * i) % kKeyTextLength;
    key[i] =
        static_cast<std::uint8_t>(HexDigit(keyText[digit]) << 4 | HexDigit(keyText[digit + 1]));
  }
  return true;
}

bool Engine_BodyFits(std::uint64_t containerLength) {
  const std::uint64_t padded =
      (containerLength + kAesBlockSize - 1) / kAesBlockSize * kAesBlockSize;
  return padded <= static_cast<std::uint64_t>(kMaxBodyLength);
}

EngineStatus Engine_CryptFile(const EngineRequest& request) {
  if (!ValidArguments(request)) return EngineStatus::kBadArguments;
  std::uint8_t keyBytes[kKeyLength];
  const bool keyOk = Engine_KeyFromText(request.keyText, keyBytes);
  AesKeySchedule schedule;
  const bool scheduleOk = keyOk && Aes_ExpandKey(keyBytes, &schedule);
  SecureWipe(keyBytes, sizeof keyBytes);
  if (!scheduleOk) return EngineStatus::kBadArguments;
  return request.mode == EngineMode::kEncrypt ? Encrypt(request, schedule)
                                              : Decrypt(request, schedule);
}

}  // namespace cipherkern
