#include "cipherkern/pack_container.h"

namespace cipherkern {
namespace {

void StoreLittleEndian32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t LoadLittleEndian32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}

}  // namespace

void Container_WriteHeader(const EntryHeader& header,
                           std::span<std::uint8_t, kEntryHeaderSize> out) {
  StoreLittleEndian32(out.data(), header.unpackedLength);
  StoreLittleEndian32(out.data() + 4, header.storedLength);
}

ContainerStatus Container_ReadHeader(std::span<const std::uint8_t, kEntryHeaderSize> in,
                                     std::uint64_t bodyLength, EntryHeader* header) {
  if (bodyLength < kEntryHeaderSize) return ContainerStatus::kTruncated;
  const EntryHeader read{LoadLittleEndian32(in.data()), LoadLittleEndian32(in.data() + 4)};
  if (read.unpackedLength > kMaxEntryLength) return ContainerStatus::kTooLarge;
  if (read.ContainerLength() > bodyLength) return ContainerStatus::kTruncated;
  // A longer tail than padding can be means a wrong key or damage.
  if (bodyLength - read.ContainerLength() > kMaxPadding) return ContainerStatus::kBadPadding;
  *header = read;
  return ContainerStatus::kOk;
}

bool Container_IsPadding(std::span<const std::uint8_t> tail) {
  if (tail.size() > kMaxPadding) return false;
  for (const std::uint8_t b : tail) {
    if (b != tail.size()) return false;
  }
  return true;
}

}  // namespace cipherkern
