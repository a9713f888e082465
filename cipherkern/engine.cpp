#include "cipherkern/engine.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include "cipherkern/file_io_win.h"
#endif

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <utility>

#include "cipherkern/pack_container.h"
#include "cipherkern/pack_stream.h"
#include "cipherkern/pack_stream_io.h"
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

#ifndef _WIN32
void RemoveFile(const char* path) {
  ::unlink(path);
}
#endif

// Removes a file this call created unless the call got to the point where
// the file is its result.
class RemoveUnlessKept {
 public:
  explicit RemoveUnlessKept(std::string path) : path_(std::move(path)) {}
  RemoveUnlessKept(const RemoveUnlessKept&) = delete;
  RemoveUnlessKept& operator=(const RemoveUnlessKept&) = delete;
  ~RemoveUnlessKept() {
    if (!kept_) RemoveFile(path_.c_str());
  }
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  bool kept_ = false;
};

#ifndef _WIN32
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
#endif  // !_WIN32

// The outcome of one call beyond its status: the error number of the read or
// write that failed, and the progress reports.
class CallReport {
 public:
  explicit CallReport(const EngineRequest& request) : request_(request) {}

  // Notes errno as the cause of the failure being returned, once.
  void NoteSystemError() {
    if (systemError_ == 0) systemError_ = errno;
  }
  void NoteSystemError(int error) {
    if (systemError_ == 0) systemError_ = error;
  }
  int systemError() const { return systemError_; }

  void SetTotal(std::uint64_t total) { total_ = total; }
  // Reports done of the total when it moved on by a step since the last
  // report, or reached the end: a few hundred reports for any file.
  void Report(std::uint64_t done) {
    if (request_.progress == nullptr) return;
    constexpr std::uint64_t kSteps = 256;
    const std::uint64_t step = std::max<std::uint64_t>(total_ / kSteps, 1);
    if (done < reported_ + step && !(done == total_ && reported_ != total_)) return;
    reported_ = done;
    request_.progress(request_.progressContext, done, total_);
  }

 private:
  const EngineRequest& request_;
  int systemError_ = 0;
  std::uint64_t total_ = 0;
  std::uint64_t reported_ = 0;
};

#ifndef _WIN32
// Reads and writes set errno on failure; a short read, which the file's size
// said would not come, is reported as EIO.
[[nodiscard]] bool ReadAt(int fd, std::uint8_t* data, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    const ssize_t got = ::pread(fd, data, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) errno = EIO;
    if (got <= 0) return false;
    data += got;
    size -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

[[nodiscard]] bool WriteAt(int fd, const std::uint8_t* data, std::size_t size,
                           std::uint64_t offset) {
  while (size > 0) {
    const ssize_t put = ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put == 0) errno = ENOSPC;
    if (put <= 0) return false;
    data += put;
    size -= static_cast<std::size_t>(put);
    offset += static_cast<std::uint64_t>(put);
  }
  return true;
}

[[nodiscard]] bool TruncateTo(int fd, std::uint64_t length) {
  return ::ftruncate(fd, static_cast<off_t>(length)) == 0;
}

bool SameFile(const struct stat& a, const char* path) {
  struct stat b {};
  return ::stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Returns true iff path names the file open as fd.
bool SameFile(int fd, const char* path) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && SameFile(st, path);
}

// Returns true iff fd is a regular file, with its size in *size; else false
// with the cause in *error.
[[nodiscard]] bool RegularFileSize(int fd, std::uint64_t* size, int* error) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  *size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

// Returns true iff the input names the same file as one of the paths the
// call would write: writing would destroy what is being read.
bool InputIsWrittenTo(const char* input, const char* written, const std::string& intermediate) {
  struct stat inputStat {};
  return ::stat(input, &inputStat) == 0 &&
         (SameFile(inputStat, written) || SameFile(inputStat, intermediate.c_str()));
}
#endif  // !_WIN32

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

EngineStatus OpenInput(const char* path, Input* input, CallReport* report) {
  input->fd.Reset(OpenForReading(path));
  if (!input->fd.valid()) {
    report->NoteSystemError();
    return EngineStatus::kCannotOpenInput;
  }
  std::uint64_t size = 0;
  int error = 0;
  if (!RegularFileSize(input->fd.get(), &size, &error)) {
    report->NoteSystemError(error);
    return EngineStatus::kCannotReadInput;
  }
  if (size >= static_cast<std::uint64_t>(kMaxInputLength)) return EngineStatus::kInputTooLarge;
  input->size = size;
  return EngineStatus::kOk;
}

// Data moves through the cipher in pieces of the caller's chunk size, or of
// this size when that is larger: ECB makes the pieces invisible in the
// output, and a caller's chunk size must not decide how much memory a call
// takes.
constexpr std::size_t kLargestPiece = std::size_t{1} << 20;

std::size_t PieceSize(std::uint64_t chunkSize, std::uint64_t dataLength) {
  const std::uint64_t padded = (dataLength + kAesBlockSize - 1) / kAesBlockSize * kAesBlockSize;
  return static_cast<std::size_t>(std::max<std::uint64_t>(
      std::min({chunkSize, padded, std::uint64_t{kLargestPiece}}), kAesBlockSize));
}

// Encryption's chunk loop: the container's size bytes go through the cipher
// a piece at a time; the last pass pads with k bytes of value k to whole
// blocks (k = 0 when it already is, never 16). progressFrom is where the
// cipher's share of the progress starts.
EngineStatus EncryptChunks(const AesKeySchedule& schedule, AesPath path, int inFd,
                           std::uint64_t size, int outFd, std::uint64_t chunkSize,
                           CallReport* report, std::uint64_t progressFrom,
                           std::uint64_t progressShare) {
  const std::size_t piece = PieceSize(chunkSize, size);
  SecureBuffer in;
  SecureBuffer out;
  if (!in.Allocate(piece) || !out.Allocate(piece)) return EngineStatus::kOutOfMemory;

  const std::uint64_t fullPieces = size / piece;
  for (std::uint64_t i = 0; i <= fullPieces; ++i) {
    std::size_t n = static_cast<std::size_t>(i < fullPieces ? piece : size - fullPieces * piece);
    if (!ReadAt(inFd, in.data(), n, i * piece)) {
      report->NoteSystemError();
      return EngineStatus::kCannotReadInput;
    }
    if (i == fullPieces) {
      const std::size_t k = (kAesBlockSize - n % kAesBlockSize) % kAesBlockSize;
      std::memset(in.data() + n, static_cast<int>(k), k);
      n += k;
    }
    Aes_EncryptBlocks(schedule, path, {in.data(), n}, {out.data(), n});
    if (!WriteAt(outFd, out.data(), n, i * piece)) {
      report->NoteSystemError();
      return EngineStatus::kWriteFailed;
    }
    if (size > 0) report->Report(progressFrom + (i * piece + n) * progressShare / (size + 15));
  }
  report->Report(progressFrom + progressShare);
  return EngineStatus::kOk;
}

// The file being packed, read where the encoder asks; it may ask from two
// threads.
class PackInput final : public pack::EncodeInput {
 public:
  PackInput(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, std::uint8_t* data, std::size_t n) override {
    if (offset > size_ || n > size_ - offset) {
      error_.store(EIO);
      return false;
    }
    if (cipherkern::ReadAt(fd_, data, n, offset)) return true;
    error_.store(errno);
    return false;
  }
  int error() const { return error_.load(); }

 private:
  int fd_;
  std::uint64_t size_;
  std::atomic<int> error_{0};
};

// Appends to a file from a given offset on.
class FileSink final : public pack::ByteSink {
 public:
  FileSink(int fd, std::uint64_t offset) : fd_(fd), offset_(offset) {}
  bool Write(const std::uint8_t* data, std::size_t n) override {
    if (!WriteAt(fd_, data, n, offset_)) {
      error_ = errno;
      return false;
    }
    offset_ += n;
    return true;
  }
  int error() const { return error_; }
  // The offset the next byte goes to.
  std::uint64_t offset() const { return offset_; }

 private:
  int fd_;
  std::uint64_t offset_;
  int error_ = 0;
};

// Copies size bytes of from, from its start, to the offset `at` of to.
EngineStatus CopyFile(int from, std::uint64_t size, int to, std::uint64_t at, CallReport* report) {
  SecureBuffer buffer;
  if (!buffer.Allocate(static_cast<std::size_t>(
          std::min<std::uint64_t>(std::max<std::uint64_t>(size, 1), kLargestPiece)))) {
    return EngineStatus::kOutOfMemory;
  }
  for (std::uint64_t done = 0; done < size;) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - done));
    if (!ReadAt(from, buffer.data(), n, done)) {
      report->NoteSystemError();
      return EngineStatus::kCannotReadInput;
    }
    if (!WriteAt(to, buffer.data(), n, at + done)) {
      report->NoteSystemError();
      return EngineStatus::kWriteFailed;
    }
    done += n;
  }
  return EngineStatus::kOk;
}

// Writes the pack container of the input (size bytes) into pack: no entry
// for an empty file; otherwise one entry, packed when the pack stream is
// shorter than the file, else stored. The stream goes to the file as the
// encoder makes it; the fields known only at its end (the stored length,
// the stream's checksum) are written in place afterwards. Whether the entry
// is stored is known only at the end too: then the input is read a second
// time into the entry. Sets *containerLength.
EngineStatus PackInto(int inputFd, std::uint64_t size, int pack, CallReport* report,
                      std::uint64_t* containerLength) {
  *containerLength = 0;
  if (size == 0) return EngineStatus::kOk;
  const std::uint32_t length = static_cast<std::uint32_t>(size);
  EntryHeader header{length, length};

  PackInput input(inputFd, size);
  FileSink sink(pack, kEntryHeaderSize);
  pack::StreamEncodeOptions options;
  options.window = kPackWindow;
  options.withChecksum = true;
  // A stream longer than the file is worth less than storing it.
  options.growthLimit = size;
  options.progress = {
      [](void* context, std::uint64_t done) { static_cast<CallReport*>(context)->Report(done); },
      report};
  const pack::StreamEncodeResult packed = pack::EncodeStream(input, sink, options);
  switch (packed.status) {
    case pack::EncodeStatus::kInputFailed:
      report->NoteSystemError(input.error());
      return EngineStatus::kCannotReadInput;
    case pack::EncodeStatus::kOutputFailed:
      report->NoteSystemError(sink.error());
      return EngineStatus::kWriteFailed;
    default:
      break;
  }
  if (packed.ok() && packed.size < size) {
    header.storedLength = static_cast<std::uint32_t>(packed.size);
    std::uint8_t checksum[4];
    for (int i = 0; i < 4; ++i) checksum[i] = static_cast<std::uint8_t>(packed.checksum >> (8 * i));
    if (!WriteAt(pack, checksum, sizeof checksum, kEntryHeaderSize + pack::kChecksumOffset)) {
      report->NoteSystemError();
      return EngineStatus::kWriteFailed;
    }
  } else {
    // Stored: the stream grew past the file, or the encoder could not get
    // its work memory. The stream written so far goes.
    if (!TruncateTo(pack, kEntryHeaderSize)) {
      report->NoteSystemError();
      return EngineStatus::kWriteFailed;
    }
    if (const EngineStatus s = CopyFile(inputFd, size, pack, kEntryHeaderSize, report);
        s != EngineStatus::kOk) {
      return s;
    }
  }
  std::uint8_t bytes[kEntryHeaderSize];
  Container_WriteHeader(header, bytes);
  if (!WriteAt(pack, bytes, sizeof bytes, 0)) {
    report->NoteSystemError();
    return EngineStatus::kWriteFailed;
  }
  report->Report(size);
  *containerLength = header.ContainerLength();
  return EngineStatus::kOk;
}

EngineStatus Encrypt(const EngineRequest& request, const AesKeySchedule& schedule,
                     CallReport* report) {
  const std::string packPath = std::string(request.inputPath) + kPackSuffix;
  if (InputIsWrittenTo(request.inputPath, request.outputPath, packPath)) {
    return EngineStatus::kPathsOverlap;
  }

  Input input;
  if (const EngineStatus s = OpenInput(request.inputPath, &input, report); s != EngineStatus::kOk) {
    return s;
  }
  report->SetTotal(2 * input.size);

  // The pack container on disk is the cipher's input, read back through the
  // same descriptor so that nothing can swap it in between.
  FileDescriptor pack(CreateFile(packPath, kPlaintextFileMode, /*readBack=*/true));
  if (!pack.valid()) {
    report->NoteSystemError();
    return EngineStatus::kCannotCreatePack;
  }
  RemoveUnlessKept packGuard(packPath);
  std::uint64_t containerLength = 0;
  if (const EngineStatus s =
          PackInto(input.fd.get(), input.size, pack.get(), report, &containerLength);
      s != EngineStatus::kOk) {
    return s;
  }
  (void)input.fd.Close();
  if (!Engine_BodyFits(containerLength)) return EngineStatus::kInputTooLarge;

  if (SameFile(pack.get(), request.outputPath)) {
    return EngineStatus::kPathsOverlap;
  }
  FileDescriptor output(CreateFile(request.outputPath, kCiphertextFileMode, /*readBack=*/false));
  if (!output.valid()) {
    report->NoteSystemError();
    return EngineStatus::kCannotCreateOutput;
  }
  RemoveUnlessKept outputGuard(request.outputPath);
  if (const EngineStatus s = EncryptChunks(
          schedule, request.path, pack.get(), containerLength, output.get(),
          static_cast<std::uint64_t>(request.chunkSize), report, input.size, input.size);
      s != EngineStatus::kOk) {
    return s;
  }
  if (!output.Close() || !pack.Close()) {
    report->NoteSystemError();
    return EngineStatus::kWriteFailed;
  }
  outputGuard.Keep();
  packGuard.Keep();  // the caller deletes it
  return EngineStatus::kOk;
}

// The decrypted body, read front to back: each piece of ciphertext is
// decrypted, written to the output (the decrypted container) and then
// handed out. Failures are kept as the engine's status.
class BodyReader final : public pack::StreamInput {
 public:
  BodyReader(const AesKeySchedule& schedule, AesPath path, int inFd, std::uint64_t size, int outFd,
             std::size_t piece, CallReport* report)
      : schedule_(schedule), path_(path), inFd_(inFd), size_(size), outFd_(outFd), report_(report) {
    if (!cipher_.Allocate(piece) || !plain_.Allocate(piece)) status_ = EngineStatus::kOutOfMemory;
  }

  EngineStatus status() const { return status_; }
  std::uint64_t consumed() const { return consumed_; }

  std::int64_t Read(std::uint8_t* data, std::size_t n) override {
    if (status_ != EngineStatus::kOk) return -1;
    if (next_ == filled_ && !Fill()) return status_ == EngineStatus::kOk ? 0 : -1;
    const std::size_t k = std::min(n, filled_ - next_);
    std::memcpy(data, plain_.data() + next_, k);
    next_ += k;
    consumed_ += k;
    return static_cast<std::int64_t>(k);
  }

  // Reads exactly n bytes. Returns false at the end of the body or on failure.
  [[nodiscard]] bool ReadExactly(std::uint8_t* data, std::size_t n) {
    while (n > 0) {
      const std::int64_t got = Read(data, n);
      if (got <= 0) return false;
      data += got;
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }

 private:
  // Decrypts the next piece. Returns false at the end of the body or on
  // failure.
  bool Fill() {
    if (decrypted_ == size_) return false;
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(cipher_.size(), size_ - decrypted_));
    if (!ReadAt(inFd_, cipher_.data(), n, decrypted_)) {
      report_->NoteSystemError();
      status_ = EngineStatus::kCannotReadInput;
      return false;
    }
    Aes_DecryptBlocks(schedule_, path_, {cipher_.data(), n}, {plain_.data(), n});
    if (!WriteAt(outFd_, plain_.data(), n, decrypted_)) {
      report_->NoteSystemError();
      status_ = EngineStatus::kWriteFailed;
      return false;
    }
    decrypted_ += n;
    report_->Report(decrypted_);
    next_ = 0;
    filled_ = n;
    return true;
  }

  const AesKeySchedule& schedule_;
  AesPath path_;
  int inFd_;
  std::uint64_t size_;
  int outFd_;
  CallReport* report_;
  SecureBuffer cipher_;
  SecureBuffer plain_;
  std::size_t next_ = 0;
  std::size_t filled_ = 0;
  std::uint64_t decrypted_ = 0;
  std::uint64_t consumed_ = 0;
  EngineStatus status_ = EngineStatus::kOk;
};

// The status of a body that ended or failed where the container said more
// was to come: its own failure, or else damage.
EngineStatus FailureOf(const BodyReader& body) {
  return body.status() != EngineStatus::kOk ? body.status() : EngineStatus::kDamagedContainer;
}

// The entry's data inside the body: the stream header read ahead for its
// checks, then the rest, up to the stored length.
class EntryStream final : public pack::StreamInput {
 public:
  EntryStream(BodyReader* body, std::uint64_t length) : body_(body), left_(length) {}

  // Reads the stream header ahead. Returns true iff the stream carries the
  // signature and the given unpacked length.
  [[nodiscard]] bool HeaderSays(std::uint32_t unpackedLength) {
    if (left_ < kPackHeaderSize || !body_->ReadExactly(head_, kPackHeaderSize)) return false;
    left_ -= kPackHeaderSize;
    headLeft_ = kPackHeaderSize;
    return Pack_UnpackedLength(head_) == unpackedLength;
  }

  // Reads past what the decoder left of the entry: bytes after the end code
  // belong to the entry but mean nothing. Returns false when the body ends
  // or fails first.
  [[nodiscard]] bool SkipRest() {
    std::uint8_t scratch[4096];
    while (left_ > 0) {
      const std::int64_t got = Read(scratch, sizeof scratch);
      if (got <= 0) return false;
    }
    return true;
  }

  std::int64_t Read(std::uint8_t* data, std::size_t n) override {
    if (headLeft_ > 0) {
      const std::size_t k = std::min(n, headLeft_);
      std::memcpy(data, head_ + kPackHeaderSize - headLeft_, k);
      headLeft_ -= k;
      return static_cast<std::int64_t>(k);
    }
    if (left_ == 0) return 0;
    const std::int64_t got =
        body_->Read(data, static_cast<std::size_t>(std::min<std::uint64_t>(n, left_)));
    // The body ends before the entry: its header said otherwise.
    if (got == 0) return -1;
    if (got > 0) left_ -= static_cast<std::uint64_t>(got);
    return got;
  }

 private:
  BodyReader* body_;
  std::uint64_t left_;
  std::uint8_t head_[kPackHeaderSize] = {};
  std::size_t headLeft_ = 0;
};

// The restored file, written front to back and read back where the decoder
// reaches further than it holds.
class RestoredFile final : public pack::DecodeOutput {
 public:
  explicit RestoredFile(int fd) : fd_(fd), sink_(fd, 0) {}
  bool Write(const std::uint8_t* data, std::size_t n) override { return sink_.Write(data, n); }
  bool ReadBack(std::uint64_t offset, std::uint8_t* data, std::size_t n) override {
    const std::uint64_t written = sink_.offset();
    if (offset > written || n > written - offset) {
      readError_ = EIO;
      return false;
    }
    if (ReadAt(fd_, data, n, offset)) return true;
    readError_ = errno;
    return false;
  }
  int error() const { return sink_.error() != 0 ? sink_.error() : readError_; }

 private:
  int fd_;
  FileSink sink_;
  int readError_ = 0;
};

// Copies a stored entry's length bytes from the body into the restored file.
EngineStatus CopyStored(BodyReader* body, std::uint64_t length, RestoredFile* restored,
                        CallReport* report) {
  std::uint8_t buffer[65536];
  for (std::uint64_t done = 0; done < length;) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, length - done));
    if (!body->ReadExactly(buffer, n)) {
      SecureWipe(buffer, sizeof buffer);
      return FailureOf(*body);
    }
    if (!restored->Write(buffer, n)) {
      SecureWipe(buffer, sizeof buffer);
      report->NoteSystemError(restored->error());
      return EngineStatus::kWriteFailed;
    }
    done += n;
  }
  SecureWipe(buffer, sizeof buffer);
  return EngineStatus::kOk;
}

// Decodes a packed entry from the body into the restored file.
EngineStatus DecodeEntry(BodyReader* body, const EntryHeader& header, RestoredFile* restored,
                         CallReport* report) {
  EntryStream stream(body, header.storedLength);
  // The stream's own header must agree with the entry's, or the decoder
  // would fill a file of another length.
  if (header.unpackedLength == 0 || !stream.HeaderSays(header.unpackedLength)) {
    return FailureOf(*body);
  }
  const pack::DecodeResult decoded = pack::DecodeStream(stream, *restored);
  if (decoded.ok()) {
    return stream.SkipRest() ? EngineStatus::kOk : FailureOf(*body);
  }
  if (body->status() != EngineStatus::kOk) return body->status();
  if (decoded.status == pack::DecodeStatus::kNoMemory) return EngineStatus::kOutOfMemory;
  if (decoded.status == pack::DecodeStatus::kOutputFailed) {
    report->NoteSystemError(restored->error());
    return EngineStatus::kWriteFailed;
  }
  return EngineStatus::kDamagedContainer;
}

EngineStatus Decrypt(const EngineRequest& request, const AesKeySchedule& schedule,
                     CallReport* report) {
  const std::string restoredPath = std::string(request.outputPath) + kRestoredSuffix;
  if (InputIsWrittenTo(request.inputPath, request.outputPath, restoredPath)) {
    return EngineStatus::kPathsOverlap;
  }
  // A ".dec" file left from an earlier call would pass for this call's
  // result, since the caller looks only at which files exist.
  RemoveFile(restoredPath.c_str());

  Input input;
  if (const EngineStatus s = OpenInput(request.inputPath, &input, report); s != EngineStatus::kOk) {
    return s;
  }
  if (input.size % kAesBlockSize != 0) return EngineStatus::kNotBlockAligned;
  report->SetTotal(input.size);

  FileDescriptor output(CreateFile(request.outputPath, kPlaintextFileMode, /*readBack=*/false));
  if (!output.valid()) {
    report->NoteSystemError();
    return EngineStatus::kCannotCreateOutput;
  }
  RemoveUnlessKept outputGuard(request.outputPath);

  // One pass: the body is decrypted into the output and, in the same piece,
  // read on into the restored file.
  BodyReader body(schedule, request.path, input.fd.get(), input.size, output.get(),
                  PieceSize(static_cast<std::uint64_t>(request.chunkSize), input.size), report);
  if (body.status() != EngineStatus::kOk) return body.status();
  EntryHeader header;
  bool hasEntry = false;
  if (input.size > 0) {
    std::uint8_t bytes[kEntryHeaderSize];
    if (!body.ReadExactly(bytes, sizeof bytes)) return FailureOf(body);
    if (Container_ReadHeader(bytes, input.size, &header) != ContainerStatus::kOk) {
      return EngineStatus::kDamagedContainer;
    }
    hasEntry = true;
  }

  FileDescriptor dec(CreateFile(restoredPath, kPlaintextFileMode, /*readBack=*/true));
  if (!dec.valid()) {
    report->NoteSystemError();
    return EngineStatus::kCannotCreateRestored;
  }
  RemoveUnlessKept decGuard(restoredPath);
  RestoredFile restored(dec.get());
  if (hasEntry) {
    const EngineStatus s = header.IsStored()
                               ? CopyStored(&body, header.storedLength, &restored, report)
                               : DecodeEntry(&body, header, &restored, report);
    if (s != EngineStatus::kOk) return s;
    // What follows the entry must be the padding the cipher added.
    std::uint8_t tail[kMaxPadding + 1];
    const std::size_t tailLength = static_cast<std::size_t>(input.size - header.ContainerLength());
    if (!body.ReadExactly(tail, tailLength)) return FailureOf(body);
    if (!Container_IsPadding({tail, tailLength})) return EngineStatus::kDamagedContainer;
  }
  // Leave the decrypted container as it was packed, without the padding.
  const std::uint64_t containerLength = hasEntry ? header.ContainerLength() : 0;
  if (!TruncateTo(output.get(), containerLength) || !output.Close() || !dec.Close()) {
    report->NoteSystemError();
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
  CallReport report(request);
  const EngineStatus status = request.mode == EngineMode::kEncrypt
                                  ? Encrypt(request, schedule, &report)
                                  : Decrypt(request, schedule, &report);
  if (request.systemError != nullptr) {
    const bool systemCause =
        status == EngineStatus::kCannotOpenInput || status == EngineStatus::kCannotReadInput ||
        status == EngineStatus::kCannotCreatePack || status == EngineStatus::kCannotCreateOutput ||
        status == EngineStatus::kCannotCreateRestored || status == EngineStatus::kWriteFailed;
    *request.systemError = systemCause ? report.systemError() : 0;
  }
  return status;
}

}  // namespace cipherkern
