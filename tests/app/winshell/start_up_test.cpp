// tresolin.exe as started by a user: one copy at a time, a second start
// hands its file to the first and ends, the close box ends the first.
#include <filesystem>
#include <memory>
#include <string>

#include "app/winshell/start_up.h"
#include "tests/app/winshell/window_fixture.h"
#include "tests/support/temp_folder.h"

namespace winshell_test {
namespace {

namespace g = flows::gadget;

std::filesystem::path ProgramPath() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return std::filesystem::path(self).parent_path().parent_path() / "bin" / "tresolin.exe";
}

// Starts tresolin.exe with argument; returns its process handle.
HANDLE Start(const std::wstring& argument) {
  std::wstring line = L"\"" + ProgramPath().wstring() + L"\"";
  if (!argument.empty()) line += L" \"" + argument + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    return nullptr;
  CloseHandle(process.hThread);
  return process.hProcess;
}

struct Search {
  int number;
  HWND found = nullptr;
};

// CALLBACK: 32-bit Windows calls it as stdcall, which no lambda converts to.
BOOL CALLBACK Visit(HWND child, LPARAM data) {
  auto* search = reinterpret_cast<Search*>(data);
  if (GetDlgCtrlID(child) != search->number) return TRUE;
  search->found = child;
  return FALSE;
}

HWND FindGadget(HWND window, int number) {
  Search search{number};
  EnumChildWindows(window, Visit, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::wstring TextAcross(HWND control) {
  wchar_t text[512] = {};
  SendMessageW(control, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
  return text;
}

TEST(StartUp, SecondStartHandsItsFileToTheFirstAndTheCloseBoxEndsIt) {
  testing_support::TempFolder folder;
  const std::wstring first = std::filesystem::path(folder / "erste.txt").wstring();
  const std::wstring second = std::filesystem::path(folder / "zweite.txt").wstring();
  testing_support::WriteFile(folder / "erste.txt", std::string("1"));
  testing_support::WriteFile(folder / "zweite.txt", std::string("2"));

  ASSERT_EQ(FindWindowW(winshell::kMainWindowClass, nullptr), nullptr)
      << "another tresolin.exe runs";
  HANDLE running = Start(first);
  ASSERT_NE(running, nullptr);
  // A copy left running would keep ctest's pipes open: it goes in any case.
  const std::unique_ptr<void, void (*)(HANDLE)> ending(running, [](HANDLE process) {
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) TerminateProcess(process, 99);
    CloseHandle(process);
  });
  HWND window = nullptr;
  ASSERT_TRUE(PumpUntil([&] {
    window = FindWindowW(winshell::kMainWindowClass, nullptr);
    return window != nullptr && FindGadget(window, g::kSourceFileField) != nullptr &&
           !TextAcross(FindGadget(window, g::kSourceFileField)).empty();
  }));
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  EXPECT_EQ(owner, GetProcessId(running));
  EXPECT_NE(TextAcross(FindGadget(window, g::kSourceFileField)).find(L"erste.txt"),
            std::wstring::npos);

  HANDLE handingOver = Start(second);
  ASSERT_NE(handingOver, nullptr);
  ASSERT_EQ(WaitForSingleObject(handingOver, 20000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(handingOver, &code);
  EXPECT_EQ(code, 0u);
  CloseHandle(handingOver);
  EXPECT_TRUE(PumpUntil([&] {
    return TextAcross(FindGadget(window, g::kSourceFileField)).find(L"zweite.txt") !=
           std::wstring::npos;
  }));

  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitForSingleObject(running, 20000), WAIT_OBJECT_0);
  GetExitCodeProcess(running, &code);
  EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace winshell_test
