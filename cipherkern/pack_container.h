// Pack container: the plaintext inside every AES body. It holds at most one
// entry, the packed file; a container of an empty file holds no entry at all
// (0 bytes). Layout, numbers little-endian:
//
//   unpacked length   4 bytes   length of the file
//   stored length     4 bytes   length of the data that follows
//   data              stored length bytes: the file's bytes unchanged when
//                     both lengths are equal, otherwise a pack stream
//                     (pack_stream.h) that decodes to unpacked-length bytes
//
// The engine streams containers through files; these are the rules for the
// entry header and the padding, as pure functions on caller-owned bytes.
#ifndef TRESOLIN_CIPHERKERN_PACK_CONTAINER_H_
#define TRESOLIN_CIPHERKERN_PACK_CONTAINER_H_

#include <cstddef>
#include <cstdint>
#include <span>

namespace cipherkern {

inline constexpr std::size_t kEntryHeaderSize = 4 + 4;  // unpacked length, stored length
// Window the engine packs with: its packer's highest level.
inline constexpr std::uint32_t kPackWindow = 65536;
// Longest file an entry may hold. The engine never packs a file of 2 GiB or
// more, so a larger unpacked length only comes from damage.
inline constexpr std::uint32_t kMaxEntryLength = 0x7fffffff;
// Padding after the container inside a decrypted body: k bytes of value k,
// k = 0 to 15, so that the body is whole 16-byte blocks.
inline constexpr std::size_t kMaxPadding = 15;

enum class ContainerStatus {
  kOk,
  kTooLarge,    // unpacked length above kMaxEntryLength
  kTruncated,   // header or data runs past the end of the body
  kBadPadding,  // more bytes follow the entry than padding can be
};

struct EntryHeader {
  std::uint32_t unpackedLength = 0;
  std::uint32_t storedLength = 0;

  bool IsStored() const { return unpackedLength == storedLength; }
  // The container's length: the header and its data.
  std::uint64_t ContainerLength() const { return kEntryHeaderSize + std::uint64_t{storedLength}; }
};

void Container_WriteHeader(const EntryHeader& header,
                           std::span<std::uint8_t, kEntryHeaderSize> out);

// Reads the entry header at the start of a decrypted body of bodyLength
// bytes: the container and its padding. The entry ends where its stored
// length says, so data bytes that look like padding are never cut. Returns
// kOk iff the unpacked length is within kMaxEntryLength, the entry fits the
// body and no more than kMaxPadding bytes follow it; whether those are
// padding is Container_IsPadding's to say.
// Requires: bodyLength >= kEntryHeaderSize (a shorter body that is not empty
// is kTruncated; an empty one has no entry).
[[nodiscard]] ContainerStatus Container_ReadHeader(
    std::span<const std::uint8_t, kEntryHeaderSize> in, std::uint64_t bodyLength,
    EntryHeader* header);

// Returns true iff tail is the padding the cipher adds: k bytes of value k,
// k = 0 to kMaxPadding.
[[nodiscard]] bool Container_IsPadding(std::span<const std::uint8_t> tail);

}  // namespace cipherkern

#endif  // TRESOLIN_CIPHERKERN_PACK_CONTAINER_H_
