// Code-page conversions through the system's own tables. Every conversion is
// exact or refused: no best-fit mapping, no default character, no malformed
// input passes.
#include "platform/platform.h"
#include "platform/win32_util.h"

namespace platform {
namespace {

constexpr UINT kWindows1252 = 1252;
constexpr UINT kCp850 = 850;

// Converts UTF-16 into the single-byte code page. Returns nullopt when a
// character has no code of its own there.
std::optional<std::string> WideToCodePage(const std::wstring& wide, UINT codePage) {
  if (wide.empty()) return std::string();
  const int size = static_cast<int>(wide.size());
  BOOL usedDefault = FALSE;
  const int n = ::WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), size, nullptr, 0,
                                      nullptr, &usedDefault);
  if (n <= 0 || usedDefault) return std::nullopt;
  std::string out(static_cast<std::size_t>(n), '\0');
  usedDefault = FALSE;
  if (::WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), size, out.data(), n,
                            nullptr, &usedDefault) != n ||
      usedDefault) {
    return std::nullopt;
  }
  return out;
}

std::optional<std::string> Utf8ToCodePage(std::string_view utf8, UINT codePage) {
  const auto wide = internal::Utf8ToWide(utf8);
  if (!wide) return std::nullopt;
  return WideToCodePage(*wide, codePage);
}

}  // namespace

std::string PasswordBytes(std::string_view utf8) {
  if (auto cp1252 = Utf8ToCodePage(utf8, kWindows1252)) return *cp1252;
  return std::string(utf8);
}

std::optional<std::string> Utf8ToCp850(std::string_view utf8) {
  return Utf8ToCodePage(utf8, kCp850);
}

std::string Cp850ToUtf8(std::string_view cp850) {
  if (cp850.empty()) return std::string();
  const int size = static_cast<int>(cp850.size());
  const int n = ::MultiByteToWideChar(kCp850, MB_ERR_INVALID_CHARS, cp850.data(), size, nullptr, 0);
  if (n <= 0) return std::string(cp850);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  if (::MultiByteToWideChar(kCp850, MB_ERR_INVALID_CHARS, cp850.data(), size, wide.data(), n) !=
      n) {
    return std::string(cp850);
  }
  return internal::WideToUtf8(wide);
}

}  // namespace platform
