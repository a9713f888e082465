// Property: whatever file a container path names, reading its trailer stays
// inside its buffers (the sanitizers watch that), and what the trailer
// reports is what the file holds: its size, the length field in its last four
// bytes, and texts that are the file's own bytes at the body length, line ends
// left out, or empty where there is nothing to read. A trailer laid out as
// trailer.h draws it reads back whole and accounts for the file's size. No
// marker line is taken for both a file and a folder marker.
//
// ReadTrailer takes a path, so each input goes into one private file that
// the process keeps for its whole run.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "crypto/trailer.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kLengthFieldBytes = 4;
// Lines up to this long are surely kept whole: twice the fingerprint, room
// for a marker with a few characters added by hand.
constexpr std::size_t kPlainLineBytes = 64;

class InputFile {
 public:
  InputFile() {
    std::string pattern = platform::TempFolder() + "tresolin-fuzz-trailer-XXXXXX";
    fd_ = mkstemp(pattern.data());
    if (fd_ < 0) {
      std::perror("mkstemp");
      std::abort();
    }
    path_ = pattern;
  }
  ~InputFile() {
    close(fd_);
    unlink(path_.c_str());
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  const std::string& Hold(const std::uint8_t* data, std::size_t size) {
    if (ftruncate(fd_, 0) != 0) std::abort();
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) std::abort();
      done += static_cast<std::size_t>(n);
    }
    return path_;
  }

 private:
  int fd_ = -1;
  std::string path_;
};

bool HasLineEnd(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

// Where the line after the one that ended at `end` starts: past CR LF, a lone
// CR or a lone LF. Returns npos when the line ended some other way (cut short
// or at a byte the reader stops at), so its end is not known here.
std::size_t NextLineStart(std::string_view file, std::size_t end) {
  if (end >= file.size()) return file.size();
  if (file[end] == '\n') return end + 1;
  if (file[end] != '\r') return std::string_view::npos;
  return end + 1 < file.size() && file[end + 1] == '\n' ? end + 2 : end + 1;
}

// A line as the writer makes them: short, without line-end or NUL bytes.
bool IsPlainLine(std::string_view text) {
  return text.size() <= kPlainLineBytes &&
         text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

// Checks that a tail of the form "marker CR LF fingerprint CR LF", followed
// only by the length field, reads back as those two lines.
void CheckLaidOutTrailer(const crypto::Trailer& t, std::string_view lines) {
  const std::size_t markerEnd = lines.find("\r\n");
  if (markerEnd == std::string_view::npos || lines.size() < markerEnd + 4) return;
  if (lines.substr(lines.size() - 2) != "\r\n") return;
  const std::string_view marker = lines.substr(0, markerEnd);
  const std::string_view fingerprint =
      lines.substr(markerEnd + 2, lines.size() - 2 - (markerEnd + 2));
  if (!IsPlainLine(marker) || !IsPlainLine(fingerprint)) return;
  if (t.markerLine != marker || t.fingerprintLine != fingerprint) std::abort();
  if (!crypto::TrailerMatchesSize(t)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static InputFile input;
  const crypto::Trailer t = crypto::ReadTrailer(input.Hold(data, size));
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  const std::string_view marker = t.markerLine;
  const std::string_view fingerprint = t.fingerprintLine;

  if (!t.opened || t.fileSize != static_cast<std::int64_t>(size)) std::abort();
  if (HasLineEnd(marker) || HasLineEnd(fingerprint)) std::abort();
  if (crypto::MatchFileMarker(marker) >= 0 && crypto::MatchFolderMarker(marker) >= 0) {
    std::abort();
  }

  if (size < kLengthFieldBytes) {
    if (!marker.empty() || !fingerprint.empty()) std::abort();
    return 0;
  }
  const std::uint8_t* field = data + size - kLengthFieldBytes;
  const std::uint32_t raw =
      static_cast<std::uint32_t>(field[0]) | (static_cast<std::uint32_t>(field[1]) << 8) |
      (static_cast<std::uint32_t>(field[2]) << 16) | (static_cast<std::uint32_t>(field[3]) << 24);
  if (t.bodyLength != static_cast<std::int32_t>(raw)) std::abort();

  // Outside the file there is nothing to read.
  if (t.bodyLength < 0 || static_cast<std::size_t>(t.bodyLength) >= size) {
    if (!marker.empty() || !fingerprint.empty()) std::abort();
    return 0;
  }
  const std::size_t body = static_cast<std::size_t>(t.bodyLength);
  if (body + kLengthFieldBytes <= size) {
    CheckLaidOutTrailer(t, file.substr(body, size - kLengthFieldBytes - body));
  }
  if (file.substr(body, marker.size()) != marker) std::abort();
  if (fingerprint.empty()) return 0;
  const std::size_t next = NextLineStart(file, body + marker.size());
  if (next != std::string_view::npos) {
    if (file.substr(next, fingerprint.size()) != fingerprint) std::abort();
  } else if (file.find(fingerprint, body + marker.size() + 1) == std::string_view::npos) {
    std::abort();
  }
  return 0;
}
