#include "cipherkern/pack_container.h"

#include <cstring>

#include "cipherkern/pack_stream.h"

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

ContainerStatus Container_Pack(std::span<const std::uint8_t> file, SecureBuffer* container) {
  container->Release();
  if (file.empty()) return ContainerStatus::kOk;
  if (file.size() > kMaxEntryLength) return ContainerStatus::kTooLarge;
  if (!container->Allocate(kEntryHeaderSize + file.size())) return ContainerStatus::kOutOfMemory;

  // The stream goes straight to its place after the header; it only stays
  // there when it is strictly shorter, since equal lengths mean "stored".
  std::uint8_t* const data = container->data() + kEntryHeaderSize;
  const std::size_t packed =
      Pack_Compress(file, std::span<std::uint8_t>(data, file.size()), kPackWindow, true);
  std::size_t stored = packed;
  if (packed == 0 || packed >= file.size()) {
    std::memcpy(data, file.data(), file.size());
    stored = file.size();
  }
  StoreLittleEndian32(container->data(), static_cast<std::uint32_t>(file.size()));
  StoreLittleEndian32(container->data() + 4, static_cast<std::uint32_t>(stored));
  container->Shrink(kEntryHeaderSize + stored);
  return ContainerStatus::kOk;
}

ContainerStatus Container_FindEntry(std::span<const std::uint8_t> body, ContainerEntry* entry,
                                    bool* hasEntry, std::size_t* containerLength) {
  *hasEntry = false;
  *containerLength = 0;
  if (body.empty()) return ContainerStatus::kOk;
  if (body.size() < kEntryHeaderSize) return ContainerStatus::kTruncated;

  const std::uint32_t unpacked = LoadLittleEndian32(body.data());
  const std::uint32_t stored = LoadLittleEndian32(body.data() + 4);
  if (unpacked > kMaxEntryLength) return ContainerStatus::kTooLarge;
  const std::uint64_t end = std::uint64_t{kEntryHeaderSize} + stored;
  if (end > body.size()) return ContainerStatus::kTruncated;

  // What follows the entry must be the padding the cipher added: k bytes of
  // value k. A longer tail or other values mean a wrong key or damage.
  const std::size_t padding = body.size() - static_cast<std::size_t>(end);
  if (padding > kMaxPadding) return ContainerStatus::kBadPadding;
  for (std::size_t i = static_cast<std::size_t>(end); i < body.size(); ++i) {
    if (body[i] != padding) return ContainerStatus::kBadPadding;
  }

  entry->unpackedLength = unpacked;
  entry->storedLength = stored;
  entry->data = body.subspan(kEntryHeaderSize, stored);
  *hasEntry = true;
  *containerLength = static_cast<std::size_t>(end);
  return ContainerStatus::kOk;
}

ContainerStatus Container_Decode(const ContainerEntry& entry, SecureBuffer* file) {
  file->Release();
  if (entry.unpackedLength > kMaxEntryLength) return ContainerStatus::kTooLarge;
  // The stream's own header must agree with the entry's, or the decoder
  // would be told to fill a buffer of another size.
  if (entry.unpackedLength == 0 || Pack_UnpackedLength(entry.data) != entry.unpackedLength) {
    return ContainerStatus::kBadStream;
  }
  if (!file->Allocate(entry.unpackedLength)) return ContainerStatus::kOutOfMemory;
  if (Pack_Decompress(entry.data, file->span()) != entry.unpackedLength) {
    file->Release();
    return ContainerStatus::kBadStream;
  }
  return ContainerStatus::kOk;
}

}  // namespace cipherkern
