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
  return std::string(utf8);
}

std::optional<std::string> Utf8ToCp850(std::string_view utf8) {
  return Convert(utf8, "UTF-8", "CP850");
}

std::string Cp850ToUtf8(std::string_view cp850) {
  if (auto utf8 = Convert(cp850, "CP850", "UTF-8")) return *utf8;
  return std::string(cp850);
}

}  // namespace platform
