// Entry names: how a relative path is stored, and how a stored name is turned
// back into a place below the target folder without ever leaving it.
#include <zlib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive.h"
#include "archive/internal.h"
#include "platform/platform.h"

namespace archive::internal {
namespace {

// Splits on "/", dropping empty and "." parts. Returns nullopt when a part is
// "..": such a name could climb out of the folder it is extracted into.
std::optional<std::vector<std::string>> SplitRelative(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (part == "..") return std::nullopt;
    if (!part.empty() && part != ".") parts.emplace_back(part);
    start = end + 1;
  }
  return parts;
}

bool HasNonAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  }
  return false;
}

// Returns true iff text is well-formed UTF-8 (shortest forms, no surrogates,
// nothing above U+10FFFF).
bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 1;
    unsigned code = lead;
    unsigned smallest = 0;
    if (lead >= 0x80) {
      if ((lead & 0xE0) == 0xC0) {
        length = 2;
        code = lead & 0x1F;
        smallest = 0x80;
      } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        code = lead & 0x0F;
        smallest = 0x800;
      } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        code = lead & 0x07;
        smallest = 0x10000;
      } else {
        return false;
      }
    }
    if (length > text.size() - i) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

std::uint32_t Crc32(std::string_view bytes) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

void PutLe(std::string& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i) & 0xff));
}

std::uint32_t GetLe(std::string_view in, std::size_t at, int bytes) {
  std::uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    value |= static_cast<std::uint32_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
  }
  return value;
}

// The Unicode Path field that gives utf8 as the name of an entry stored as
// stored.
std::string UnicodePathField(std::string_view stored, std::string_view utf8) {
  std::string field;
  PutLe(field, kUnicodePathTag, 2);
  PutLe(field, static_cast<std::uint32_t>(kUnicodePathHeaderBytes - 4 + utf8.size()), 2);
  PutLe(field, kUnicodePathVersion, 1);
  PutLe(field, Crc32(stored), 4);
  field += utf8;
  return field;
}

// Returns the name a Unicode Path field among extra gives an entry stored as
// stored, or nullopt when there is none, it is for another name (the
// name was changed after the field was written), or it is no UTF-8.
std::optional<std::string> UnicodePathIn(std::string_view extra, std::string_view stored) {
  constexpr std::size_t kFieldHeader = 4;  // tag, size
  std::size_t at = 0;
  while (extra.size() - at >= kFieldHeader) {
    const std::uint32_t tag = GetLe(extra, at, 2);
    const std::size_t size = GetLe(extra, at + 2, 2);
    if (size > extra.size() - at - kFieldHeader) return std::nullopt;
    if (tag == kUnicodePathTag && size >= kUnicodePathHeaderBytes - kFieldHeader) {
      const std::string_view body = extra.substr(at + kFieldHeader, size);
      const std::string_view name = body.substr(kUnicodePathHeaderBytes - kFieldHeader);
      if (GetLe(body, 0, 1) == kUnicodePathVersion && GetLe(body, 1, 4) == Crc32(stored) &&
          IsValidUtf8(name)) {
        return std::string(name);
      }
      return std::nullopt;
    }
    at += kFieldHeader + size;
  }
  return std::nullopt;
}

}  // namespace

std::optional<StoredName> EncodeEntryName(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
  // Bytes that are not UTF-8 have no CP850 form and would be refused, flag
  // or not, by strict readers: the user renames such a file.
  if (!IsValidUtf8(path)) return std::nullopt;
  // A leading "/" is dropped rather than stored: the reader refuses absolute
  // names, and an archive must read back whole.
  const auto parts = SplitRelative(path);
  if (!parts || parts->empty()) return std::nullopt;
  std::string name;
  for (const std::string& part : *parts) {
    if (!name.empty()) name.push_back('/');
    name += part;
  }
  StoredName stored;
  auto cp850 = platform::Utf8ToCp850(name);
  // CP850 bytes that also form UTF-8 ("ãé" is C6 82) pass for UTF-8 in an
  // unflagged name from a Unix host; from a DOS host they are CP850 for
  // every reader, but there "\" and ":" mean separator and drive.
  const bool passesForUtf8 = cp850 && HasNonAscii(*cp850) && IsValidUtf8(*cp850);
  const bool dosReadsOtherwise = name.find_first_of("\\:") != std::string::npos;
  if (cp850 && !(passesForUtf8 && dosReadsOtherwise)) {
    if (HasNonAscii(*cp850)) stored.extraField = UnicodePathField(*cp850, name);
    if (passesForUtf8) stored.host = kDosHost;
    stored.bytes = std::move(*cp850);
  } else {
    stored.bytes = std::move(name);
    stored.utf8 = true;
  }
  if (stored.bytes.size() >= kNameLimitBytes) return std::nullopt;
  return stored;
}

std::string DecodeName(const RawEntryName& raw) {
  if (raw.utf8) return std::string(raw.stored);
  if (auto unicode = UnicodePathIn(raw.extraField, raw.stored)) return std::move(*unicode);
  // Unix zip tools store the file system's bytes, UTF-8 today, without the
  // flag. CP850 names with accents are almost never valid UTF-8, and this
  // writer stores those that are from a DOS host, so its own names still
  // read as CP850.
  if (raw.madeOnUnix && IsValidUtf8(raw.stored)) return std::string(raw.stored);
  return platform::Cp850ToUtf8(raw.stored);
}

std::optional<EntryPath> ResolveEntryName(const RawEntryName& raw, bool keepPaths) {
  // A NUL would cut the name short at the system call: another file.
  if (raw.stored.find('\0') != std::string_view::npos) return std::nullopt;
  std::string name = DecodeName(raw);
  if (name.find('\0') != std::string::npos) return std::nullopt;
  if (!raw.madeOnUnix) {
    // Names from DOS and Windows hosts cannot hold "\" or ":" as characters:
    // there "\" separates, and "C:\" is a drive prefix that must not make the
    // path absolute.
    for (char& c : name) {
      if (c == '\\') c = '/';
    }
    const std::size_t drive = name.find(":/");
    if (drive != std::string::npos) name.erase(0, drive + 2);
  }
  if (name.empty() || name.front() == '/') return std::nullopt;
  const bool isFolder = name.back() == '/';
  auto parts = SplitRelative(name);
  if (!parts) return std::nullopt;
  EntryPath path;
  if (isFolder) {
    if (!keepPaths) return std::nullopt;
    path.folders = std::move(*parts);
    return path;
  }
  if (parts->empty()) return std::nullopt;
  path.file = std::move(parts->back());
  parts->pop_back();
  if (keepPaths) path.folders = std::move(*parts);
  return path;
}

}  // namespace archive::internal
