#include "crypto/trailer.h"

#include <vector>

#include "crypto/fingerprint.h"
#include "crypto/rc4.h"
#include "platform/platform.h"

namespace crypto {
namespace {

constexpr std::uint8_t kCr = 0x0d;
constexpr std::uint8_t kLf = 0x0a;
constexpr int kLengthFieldBytes = 4;

// Longest line kept when reading: the longest valid line is the 32-character
// fingerprint, but a hand-edited marker line may carry more after the marker.
// A file that is no container may hold anything after L, so the reader looks
// at no more than kMaxTailBytes past it.
constexpr std::size_t kMaxLineBytes = 4096;
constexpr std::int64_t kMaxTailBytes = 64 * 1024;

// The one primitive that writes text: its bytes, then always CR LF.
void PutLine(std::vector<std::uint8_t>& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(kCr);
  out.push_back(kLf);
}

int MatchPrefix(std::string_view line, const std::array<std::string_view, 4>& markers) {
  for (std::size_t i = 0; i < markers.size(); ++i) {
    if (line.substr(0, markers[i].size()) == markers[i]) return static_cast<int>(i);
  }
  return -1;
}

// Reads bytes from an in-memory tail of the file, the way the line reader
// walks the file: one byte at a time, with a step back after a lone CR.
class LineReader {
 public:
  explicit LineReader(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

  std::string ReadLine() {
    std::string line;
    while (pos_ < bytes_.size()) {
      const std::uint8_t c = bytes_[pos_++];
      if (c == kLf || c == 0) break;
      if (c == kCr) {
        if (pos_ < bytes_.size() && bytes_[pos_] == kLf) ++pos_;
        break;
      }
      if (line.size() < kMaxLineBytes) line.push_back(static_cast<char>(c));
    }
    return line;
  }

  std::size_t position() const { return pos_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

}  // namespace

std::string_view MarkerFor(const ContainerKind& kind) {
  const bool aes = kind.cipher == Cipher::kAes;
  if (kind.folder) {
    return aes ? (kind.packed ? "aesfoldye" : "aesfoldno")
               : (kind.packed ? "rc4foldye" : "rc4foldno");
  }
  return aes ? (kind.packed ? "aesye" : "aesno") : (kind.packed ? "rc4ye" : "rc4no");
}

int MatchFileMarker(std::string_view markerLine) {
  return MatchPrefix(markerLine, kFileMarkers);
}

int MatchFolderMarker(std::string_view markerLine) {
  return MatchPrefix(markerLine, kFolderMarkers);
}

ContainerKind FileKindAt(int index) {
  ContainerKind kind;
  kind.cipher = (index == 2 || index == 3) ? Cipher::kAes : Cipher::kRc4;
  kind.packed = index == 1 || index == 2;
  return kind;
}

ContainerKind FolderKindAt(int index) {
  ContainerKind kind;
  kind.folder = true;
  kind.cipher = index >= 2 ? Cipher::kAes : Cipher::kRc4;
  kind.packed = index == 1 || index == 3;
  return kind;
}

bool AppendTrailer(const std::string& enginePath, std::string_view marker,
                   std::string_view password) {
  // The engine's output, made by this run: never a link someone put there.
  platform::File file =
      platform::File::Open(enginePath, platform::OpenMode::kUpdate, /*noFollow=*/true);
  if (!file.ok()) return false;
  const std::int64_t size = file.Size();
  if (size < 0 || size > kMaxBodyBytes || !file.Seek(size)) return false;

  std::vector<std::uint8_t> trailer;
  PutLine(trailer, marker);
  PutLine(trailer, Fingerprint_Hex(password));
  const auto length = static_cast<std::uint32_t>(size);
  for (int i = 0; i < kLengthFieldBytes; ++i) {
    trailer.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
  }
  const bool written = file.Write(trailer);
  return file.Close() && written;
}

Trailer ReadTrailer(const std::string& path) {
  Trailer trailer;
  platform::File file = platform::File::Open(path, platform::OpenMode::kRead);
  if (!file.ok()) return trailer;
  trailer.opened = true;
  trailer.fileSize = file.Size();
  if (trailer.fileSize < kLengthFieldBytes) return trailer;

  std::uint8_t field[kLengthFieldBytes];
  if (!file.Seek(trailer.fileSize - kLengthFieldBytes) || file.Read(field) != kLengthFieldBytes) {
    return trailer;
  }
  const std::uint32_t raw =
      static_cast<std::uint32_t>(field[0]) | (static_cast<std::uint32_t>(field[1]) << 8) |
      (static_cast<std::uint32_t>(field[2]) << 16) | (static_cast<std::uint32_t>(field[3]) << 24);
  trailer.bodyLength = static_cast<std::int32_t>(raw);
  // A negative length or one at or past the end leaves both lines empty.
  if (trailer.bodyLength < 0 || trailer.bodyLength >= trailer.fileSize) return trailer;

  const std::int64_t available = trailer.fileSize - trailer.bodyLength;
  const std::int64_t want = available < kMaxTailBytes ? available : kMaxTailBytes;
  std::vector<std::uint8_t> tail(static_cast<std::size_t>(want));
  if (!file.Seek(trailer.bodyLength) || file.Read(tail) != want) return trailer;
  LineReader reader(std::move(tail));
  trailer.markerLine = reader.ReadLine();
  trailer.fingerprintLine = reader.ReadLine();
  return trailer;
}

bool TrailerMatchesSize(const Trailer& trailer) {
  if (!trailer.opened || trailer.bodyLength < 0) return false;
  const std::int64_t expected = static_cast<std::int64_t>(trailer.bodyLength) +
                                static_cast<std::int64_t>(trailer.markerLine.size()) + 2 +
                                static_cast<std::int64_t>(trailer.fingerprintLine.size()) + 2 +
                                kLengthFieldBytes;
  return expected == trailer.fileSize;
}

bool CheckPassword(std::string_view fingerprintLine, std::string_view password) {
  return Fingerprint_Hex(password) == fingerprintLine;
}

}  // namespace crypto
