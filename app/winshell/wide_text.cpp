// Conversions between the program's UTF-8 and Win32's UTF-16.
#include "app/winshell/wide_text.h"

#include "app/winshell/win32.h"

#include <algorithm>

namespace winshell {

std::wstring Wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int size = static_cast<int>(utf8.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), length);
  return wide;
}

std::string Utf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int size = static_cast<int>(wide.size());
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), length, nullptr, nullptr);
  return utf8;
}

std::wstring NativePath(std::string_view path) {
  std::wstring native = Wide(path);
  std::replace(native.begin(), native.end(), L'/', L'\\');
  return native;
}

std::string PortablePath(std::wstring_view native) {
  std::string path = Utf8(native);
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

std::wstring FilterList(std::string_view filter) {
  std::wstring list;
  std::size_t parts = 0;
  std::size_t keptLength = 0;  // the list up to the last complete pair
  while (true) {
    const std::size_t bar = filter.find('|');
    list += Wide(filter.substr(0, bar));
    list += L'\0';
    if (++parts % 2 == 0) keptLength = list.size();
    if (bar == std::string_view::npos) break;
    filter.remove_prefix(bar + 1);
  }
  list.resize(keptLength);
  list += L'\0';
  return list;
}

DialogStart SplitDefaultPath(std::string_view defaultPath) {
  const std::size_t slash = defaultPath.rfind('/');
  if (slash == std::string_view::npos) return {L"", NativePath(defaultPath)};
  return {NativePath(defaultPath.substr(0, slash + 1)), NativePath(defaultPath.substr(slash + 1))};
}

std::string FolderResult(std::wstring_view chosen) {
  if (chosen.empty()) return "";
  std::string folder = PortablePath(chosen);
  if (folder.back() != '/') folder += '/';
  return folder;
}

int UserCharacters(std::wstring_view text) {
  // The second half of a pair is not a character of its own.
  return static_cast<int>(std::count_if(text.begin(), text.end(),
                                        [](wchar_t c) { return !(c >= 0xDC00 && c <= 0xDFFF); }));
}

}  // namespace winshell
