// Code-page conversions through iconv. Every conversion is exact or refused:
// a name or password is never stored with a replacement character.
#include <iconv.h>

#include <cerrno>

#include "platform/platform.h"

namespace platform {
namespace {

// Converts text from one encoding to another. Returns nullopt when a
// character has no code in the target or the input is malformed.
std::optional<std::string> Convert(std::string_view text, const char* from, const char* to) {
  iconv_t cd = ::iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(text.size() * 4 + 4, '\0');
  char* in = const_cast<char*>(text.data());
  std::size_t inLeft = text.size();
  char* outPtr = out.data();
  std::size_t outLeft = out.size();
  const std::size_t rc = ::iconv(cd, &in, &inLeft, &outPtr, &outLeft);
  ::iconv_close(cd);
  // iconv counts irreversible conversions in rc: those are lossy, refuse them.
  if (rc != 0 || inLeft != 0) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

}  // namespace

std::string PasswordBytes(std::string_view utf8) {
  if (auto cp1252 = Convert(utf8, "UTF-8", "WINDOWS-1252")) return *cp1252;
  // Windows gives the five bytes that Windows-1252 leaves unassigned (0x81,
  // 0x8D, 0x8F, 0x90, 0x9D) to the control characters of the same number;
  // iconv refuses them. A password holding one must hash as it does there.
  std::string bytes;
  std::size_t start = 0;
  for (std::size_t i = 0; i + 1 < utf8.size(); ++i) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const auto next = static_cast<unsigned char>(utf8[i + 1]);
    if (lead != 0xC2 || (next != 0x81 && next != 0x8D && next != 0x8F && next != 0x90 &&
                         next != 0x9D)) {
      continue;
    }
    const auto part = Convert(utf8.substr(start, i - start), "UTF-8", "WINDOWS-1252");
    if (!part) return std::string(utf8);
    bytes += *part;
    bytes.push_back(static_cast<char>(next));
    start = i + 2;
    ++i;
  }
  if (start == 0) return std::string(utf8);  // refused for another character
  const auto rest = Convert(utf8.substr(start), "UTF-8", "WINDOWS-1252");
  if (!rest) return std::string(utf8);
  return bytes + *rest;
}

std::optional<std::string> Utf8ToCp850(std::string_view utf8) {
  return Convert(utf8, "UTF-8", "CP850");
}

std::string Cp850ToUtf8(std::string_view cp850) {
  if (auto utf8 = Convert(cp850, "CP850", "UTF-8")) return *utf8;
  return std::string(cp850);
}

}  // namespace platform
