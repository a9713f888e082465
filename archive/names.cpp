// Entry names: how a relative path is stored, and how a stored name is turned
// back into a place below the target folder without ever leaving it.
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

}  // namespace

std::optional<StoredName> EncodeEntryName(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
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
  // CP850 bytes that happen to form UTF-8 would be read as UTF-8 names from a
  // Unix tool (see DecodeName); those go in as flagged UTF-8 instead.
  if (cp850 && !(HasNonAscii(*cp850) && IsValidUtf8(*cp850))) {
    stored.bytes = std::move(*cp850);
  } else {
    // Not representable in CP850 (or not UTF-8 at all): the bytes go in
    // unchanged, flagged as UTF-8, so they come back exactly.
    stored.bytes = std::move(name);
    stored.utf8 = true;
  }
  if (stored.bytes.size() >= kNameLimitBytes) return std::nullopt;
  return stored;
}

std::string DecodeName(std::string_view stored, bool utf8, bool madeOnUnix) {
  if (utf8) return std::string(stored);
  // Unix zip tools store the file system's bytes, UTF-8 today, without the
  // flag. CP850 names with accents are almost never valid UTF-8, and this
  // writer never stores one that is, so its own names still read as CP850.
  if (madeOnUnix && IsValidUtf8(stored)) return std::string(stored);
  return platform::Cp850ToUtf8(stored);
}

std::optional<EntryPath> ResolveEntryName(std::string_view stored, bool utf8, bool madeOnUnix,
                                          bool keepPaths) {
  // A NUL would cut the name short at the system call: another file.
  if (stored.find('\0') != std::string_view::npos) return std::nullopt;
  std::string name = DecodeName(stored, utf8, madeOnUnix);
  if (!madeOnUnix) {
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
