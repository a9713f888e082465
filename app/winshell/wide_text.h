// Text at the border between the program and Win32: the program speaks
// UTF-8 with "/" between path parts, Win32 speaks UTF-16 with "\". These
// pure functions convert at that border and shape the texts that the
// common dialogs and the password field want. Thread-safe.
#ifndef TRESOLIN_APP_WINSHELL_WIDE_TEXT_H_
#define TRESOLIN_APP_WINSHELL_WIDE_TEXT_H_

#include <string>
#include <string_view>

namespace winshell {

// UTF-8 to UTF-16 and back; invalid sequences become U+FFFD.
std::wstring Wide(std::string_view utf8);
std::string Utf8(std::wstring_view wide);

// A program path as Win32 takes it ("/" becomes "\"), and back.
std::wstring NativePath(std::string_view path);
std::string PortablePath(std::wstring_view native);

// A filter "display|pattern[|display|pattern...]" as the common file
// dialogs take it: each part followed by a NUL, the list by another NUL.
// An odd last part (a display without patterns) is dropped.
std::wstring FilterList(std::string_view filter);

// Where a file dialog opens: the default path split at its last "/" into
// the folder (native, with its trailing "\") and the proposed name.
struct DialogStart {
  std::wstring folder;
  std::wstring name;
};
DialogStart SplitDefaultPath(std::string_view defaultPath);

// A folder from the folder dialog as the flows take it: portable and
// ending in "/"; "" stays "" (a cancel).
std::string FolderResult(std::wstring_view chosen);

// The number of characters the user sees in text: a surrogate pair (a
// character outside the Basic Multilingual Plane) counts once.
int UserCharacters(std::wstring_view text);

}  // namespace winshell

#endif  // TRESOLIN_APP_WINSHELL_WIDE_TEXT_H_
