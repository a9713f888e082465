// Container trailer: what follows the ciphertext body of every container.
//
//   offset L       marker text (5 chars for a file, 9 for a folder) + CR LF
//   offset L+m+2   password fingerprint, 32 lower-case hex chars + CR LF
//   offset L+m+36  L as a signed 32-bit little-endian number (last 4 bytes)
//
// The trailer alone says what a container holds; its name plays no part.
// Readers compare only the first 5 (file) or 9 (folder) characters of the
// marker line, so neither kind is ever taken for the other. Functions here
// own no state and are thread-safe.
#ifndef TRESOLIN_CRYPTO_TRAILER_H_
#define TRESOLIN_CRYPTO_TRAILER_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace crypto {

// Trailer sizes: marker line, fingerprint line, body length field.
inline constexpr int kFileTrailerBytes = (5 + 2) + (32 + 2) + 4;    // 45
inline constexpr int kFolderTrailerBytes = (9 + 2) + (32 + 2) + 4;  // 49

enum class Cipher { kAes, kRc4 };

// What a marker says about a container.
struct ContainerKind {
  Cipher cipher = Cipher::kRc4;
  bool packed = false;  // file: packed before encryption; folder: entries deflated
  bool folder = false;
};

// The eight markers. Each reader tests its four in the order listed here.
inline constexpr std::array<std::string_view, 4> kFileMarkers = {"rc4no", "rc4ye", "aesye",
                                                                 "aesno"};
inline constexpr std::array<std::string_view, 4> kFolderMarkers = {"rc4foldno", "rc4foldye",
                                                                   "aesfoldno", "aesfoldye"};

// Returns the marker that records kind.
std::string_view MarkerFor(const ContainerKind& kind);

// Returns the index into kFileMarkers of the first file marker that the
// marker line starts with, or -1 for none. This index is the file panel's
// `kind` (0 rc4no, 1 rc4ye, 2 aesye, 3 aesno).
int MatchFileMarker(std::string_view markerLine);

// The same for folder markers (0 rc4foldno, 1 rc4foldye, 2 aesfoldno,
// 3 aesfoldye).
int MatchFolderMarker(std::string_view markerLine);

// Returns the kind recorded by the file marker or folder marker with this
// index.
ContainerKind FileKindAt(int index);
ContainerKind FolderKindAt(int index);

// Appends the trailer for marker and password (bytes) to the existing file at
// enginePath. Returns true iff the whole trailer was written. Refuses a
// missing file, a link and a body of 2 GiB or more (its length would not read
// back).
[[nodiscard]] bool AppendTrailer(const std::string& enginePath, std::string_view marker,
                                 std::string_view password);

// A trailer as read. Texts have their line ends removed; reading past the end
// of the file gives empty texts, which match no marker.
struct Trailer {
  bool opened = false;  // false: the file could not be opened
  std::int64_t fileSize = -1;
  std::int32_t bodyLength = 0;
  std::string markerLine;
  std::string fingerprintLine;
};

// Reads the trailer of the file at path.
Trailer ReadTrailer(const std::string& path);

// Returns true iff the trailer accounts for every byte of the file: the
// body, the marker line as read, the fingerprint line and the length field.
bool TrailerMatchesSize(const Trailer& trailer);

// Returns true iff the fingerprint of password equals fingerprintLine exactly
// (case-sensitive).
bool CheckPassword(std::string_view fingerprintLine, std::string_view password);

}  // namespace crypto

#endif  // TRESOLIN_CRYPTO_TRAILER_H_
