// The flows' front end on the common dialogs and the main window's gadgets.
#include "app/winshell/front_end.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shobjidl.h>

#include <cstdint>
#include <utility>

#include "app/layout/layout.h"
#include "app/winshell/wide_text.h"
#include "platform/platform.h"

namespace winshell {
namespace {

// Room for a long path in the file dialogs' answer.
constexpr std::size_t kPathBuffer = 32768;

std::wstring WindowText(HWND control) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(
      GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
  return text;
}

bool IsPathField(int gadgetNumber) {
  const layout::GadgetRow* row = layout::FindGadgetRow(gadgetNumber);
  return row != nullptr && row->kind == layout::Kind::kField;
}

// Runs GetOpenFileNameW or GetSaveFileNameW with the flows' arguments.
std::string AskForFile(HWND owner, std::string_view title, std::string_view defaultPath,
                       std::string_view filter, int filterIndex, DWORD flags, bool save) {
  const std::wstring wideTitle = Wide(title);
  const std::wstring filters = FilterList(filter);
  const DialogStart start = SplitDefaultPath(defaultPath);
  // The proposed name, cut to the buffer the dialog writes its answer into.
  std::wstring file = start.name.substr(0, kPathBuffer - 1);
  file.resize(kPathBuffer, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = owner;
  dialog.lpstrFilter = filters.size() > 1 ? filters.c_str() : nullptr;
  dialog.nFilterIndex = static_cast<DWORD>(filterIndex + 1);  // counted from 1 there
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrInitialDir = start.folder.empty() ? nullptr : start.folder.c_str();
  dialog.lpstrTitle = wideTitle.c_str();
  dialog.Flags = flags | OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST | OFN_EXPLORER;
  const BOOL chosen = save ? GetSaveFileNameW(&dialog) : GetOpenFileNameW(&dialog);
  if (!chosen) return "";
  return PortablePath(file.c_str());
}

}  // namespace

std::wstring ElideMiddle(std::wstring_view text, int width,
                         const std::function<int(std::wstring_view)>& measure) {
  if (measure(text) <= width) return std::wstring(text);
  // Take characters from both ends alternately while the result still fits.
  std::size_t head = 0, tail = 0;
  std::wstring best = L"...";
  while (head + tail < text.size()) {
    const bool fromHead = head <= tail;
    const std::size_t nextHead = head + (fromHead ? 1 : 0);
    const std::size_t nextTail = tail + (fromHead ? 0 : 1);
    std::wstring candidate = std::wstring(text.substr(0, nextHead)) + L"..." +
                             std::wstring(text.substr(text.size() - nextTail));
    if (measure(candidate) > width) break;
    head = nextHead;
    tail = nextTail;
    best = std::move(candidate);
  }
  return best;
}

WindowFrontEnd::WindowFrontEnd(HWND window, std::function<HWND(int)> gadgetOf,
                               std::string programFolder)
    : window_(window), gadgetOf_(std::move(gadgetOf)), programFolder_(std::move(programFolder)) {}

WindowFrontEnd::~WindowFrontEnd() {
  StopProgress();
  if (tooltip_ != nullptr) DestroyWindow(tooltip_);
}

void WindowFrontEnd::MessageBox(std::string_view title, std::string_view text, int style) {
  if (answers_ != nullptr) {
    answers_->Record(title, text, style);
    return;
  }
  MessageBoxW(window_, Wide(text).c_str(), Wide(title).c_str(), MB_OK | static_cast<UINT>(style));
}

std::string WindowFrontEnd::FileOpenDialog(std::string_view title, std::string_view defaultPath,
                                           std::string_view filter, int filterIndex) {
  if (answers_ != nullptr) return answers_->Answer(answers_->fileOpen, title);
  return AskForFile(window_, title, defaultPath, filter, filterIndex, 0, false);
}

std::string WindowFrontEnd::FileSaveDialog(std::string_view title, std::string_view proposedPath,
                                           std::string_view filter, int filterIndex) {
  if (answers_ != nullptr) return answers_->Answer(answers_->fileSave, title);
  // The dialog's own question is the user's agreement to replace a file.
  return AskForFile(window_, title, proposedPath, filter, filterIndex, OFN_OVERWRITEPROMPT, true);
}

std::string WindowFrontEnd::FolderDialog(std::string_view title, std::string_view startFolder) {
  if (answers_ != nullptr) return answers_->Answer(answers_->folder, title);
  // COM for this thread for the dialog's time; a thread that has it already
  // keeps it.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  std::string chosen;
  IFileOpenDialog* dialog = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IFileOpenDialog, reinterpret_cast<void**>(&dialog)))) {
    DWORD options = 0;
    dialog->GetOptions(&options);
    dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST);
    dialog->SetTitle(Wide(title).c_str());
    if (!startFolder.empty()) {
      IShellItem* start = nullptr;
      if (SUCCEEDED(SHCreateItemFromParsingName(NativePath(startFolder).c_str(), nullptr,
                                                IID_IShellItem,
                                                reinterpret_cast<void**>(&start)))) {
        dialog->SetFolder(start);
        start->Release();
      }
    }
    IShellItem* result = nullptr;
    if (SUCCEEDED(dialog->Show(window_)) && SUCCEEDED(dialog->GetResult(&result))) {
      PWSTR path = nullptr;
      if (SUCCEEDED(result->GetDisplayName(SIGDN_FILESYSPATH, &path))) {
        chosen = FolderResult(path);
        CoTaskMemFree(path);
      }
      result->Release();
    }
    dialog->Release();
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return chosen;
}

bool WindowFrontEnd::IsChecked(int gadgetNumber) {
  HWND button = gadgetOf_(gadgetNumber);
  return button != nullptr && SendMessageW(button, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

std::string WindowFrontEnd::GadgetText(int gadgetNumber) {
  HWND control = gadgetOf_(gadgetNumber);
  if (control == nullptr) return "";
  const std::wstring text = WindowText(control);
  if (!IsPathField(gadgetNumber)) return Utf8(text);
  const auto shown = paths_.find(control);
  if (shown != paths_.end() && shown->second.shown == text) return shown->second.whole;
  return PortablePath(text);
}

void WindowFrontEnd::SetGadgetText(int gadgetNumber, std::string_view text) {
  HWND control = gadgetOf_(gadgetNumber);
  if (control == nullptr) return;
  if (IsPathField(gadgetNumber)) {
    ShowPath(control, text);
  } else {
    SetWindowTextW(control, Wide(text).c_str());
  }
}

void WindowFrontEnd::ShowPath(HWND field, std::string_view path) {
  const std::wstring whole = NativePath(path);
  RECT client;
  GetClientRect(field, &client);
  const LRESULT margins = SendMessageW(field, EM_GETMARGINS, 0, 0);
  const int width = client.right - client.left - LOWORD(margins) - HIWORD(margins) - 2;
  HDC dc = GetDC(field);
  const HGDIOBJ oldFont =
      SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(field, WM_GETFONT, 0, 0)));
  const auto measure = [dc](std::wstring_view text) {
    SIZE size{};
    GetTextExtentPoint32W(dc, text.data(), static_cast<int>(text.size()), &size);
    return static_cast<int>(size.cx);
  };
  const std::wstring shown = ElideMiddle(whole, width, measure);
  SelectObject(dc, oldFont);
  ReleaseDC(field, dc);
  const bool known = paths_.count(field) != 0;
  paths_[field] = {std::string(path), shown};
  SetWindowTextW(field, shown.c_str());

  if (tooltip_ == nullptr) {
    tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                               WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    // Long paths wrap instead of running off the screen.
    SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, 600);
  }
  std::wstring tip = whole;
  TTTOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = GetParent(field);
  tool.uId = reinterpret_cast<UINT_PTR>(field);
  tool.lpszText = tip.data();
  SendMessageW(tooltip_, known ? TTM_UPDATETIPTEXTW : TTM_ADDTOOLW, 0,
               reinterpret_cast<LPARAM>(&tool));
}

void WindowFrontEnd::StartProgress(std::string_view caption) {
  StopProgress();
  mainWindowText_ = std::to_string(reinterpret_cast<std::intptr_t>(window_));
  ShowWindow(window_, SW_MINIMIZE);
  // Set anew for every start: the child reads the caption of its own phase.
  platform::SetEnvironmentVariable(std::string(layout::kCaptionVariable), std::string(caption));
  progressPid_ = platform::StartProgram(programFolder_ + std::string(layout::kProgressProgram),
                                        {mainWindowText_});
}

void WindowFrontEnd::StopProgress() {
  if (progressPid_ <= 0) return;
  platform::KillProgram(progressPid_);
  progressPid_ = -1;
}

void WindowFrontEnd::RestoreMainWindow() {
  ShowWindow(window_, SW_RESTORE);
  SetForegroundWindow(window_);
}

}  // namespace winshell
