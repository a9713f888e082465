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
// Pure functions on caller-owned bytes; no state, safe from several threads.
#ifndef TRESOLIN_CIPHERKERN_PACK_CONTAINER_H_
#define TRESOLIN_CIPHERKERN_PACK_CONTAINER_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "cipherkern/secure_buffer.h"

namespace cipherkern {

inline constexpr std::size_t kEntryHeaderSize = 4 + 4;  // unpacked length, stored length
// Window the engine packs with: its packer's highest level.
inline constexpr std::uint32_t kPackWindow = 65536;
// Longest file an entry may hold. The engine never packs a file of 2 GiB or
// more, so a larger unpacked length only comes from damage, and refusing it
// keeps a damaged header from asking for up to 4 GiB of memory.
inline constexpr std::uint32_t kMaxEntryLength = 0x7fffffff;
// Padding after the container inside a decrypted body: k bytes of value k,
// k = 0 to 15, so that the body is whole 16-byte blocks.
inline constexpr std::size_t kMaxPadding = 15;

enum class ContainerStatus {
  kOk,
  kOutOfMemory,
  kTooLarge,    // file or unpacked length above kMaxEntryLength
  kTruncated,   // header or data runs past the end of the body
  kBadPadding,  // the bytes after the entry are not padding
  kBadStream,   // the pack stream does not decode to the unpacked length
};

struct ContainerEntry {
  std::uint32_t unpackedLength = 0;
  std::uint32_t storedLength = 0;
  std::span<const std::uint8_t> data;  // stored-length bytes inside the body

  bool IsStored() const { return unpackedLength == storedLength; }
};

// Writes the container of file into *container: no entry for an empty file;
// otherwise one entry, packed when the pack stream (window kPackWindow, with
// checksum) is shorter than the file, stored unchanged when it is not.
// On failure *container is empty.
[[nodiscard]] ContainerStatus Container_Pack(std::span<const std::uint8_t> file,
                                             SecureBuffer* container);

// Finds the entry in a decrypted body: the container followed by its
// padding. The entry ends where its header's stored length says, so data
// bytes that look like padding are never cut. An empty body has no entry
// (*hasEntry false, *containerLength 0). Returns kOk iff the header fits,
// the unpacked length is within kMaxEntryLength and every byte after the
// entry is padding; then *entry views the data inside body and
// *containerLength = kEntryHeaderSize + stored length.
[[nodiscard]] ContainerStatus Container_FindEntry(std::span<const std::uint8_t> body,
                                                  ContainerEntry* entry, bool* hasEntry,
                                                  std::size_t* containerLength);

// Decodes a packed entry into *file (unpacked-length bytes). Returns kOk iff
// the stream carries the entry's unpacked length, decodes to exactly that
// many bytes and passes its checksum. On failure *file is empty.
// Requires: !entry.IsStored().
[[nodiscard]] ContainerStatus Container_Decode(const ContainerEntry& entry, SecureBuffer* file);

}  // namespace cipherkern

#endif  // TRESOLIN_CIPHERKERN_PACK_CONTAINER_H_
