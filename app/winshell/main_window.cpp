// The main window's procedure, its event dispatch and the password dialogs'
// life around it.
#include "app/winshell/main_window.h"

#include <commctrl.h>

#include <utility>

#include "app/flows/texts.h"
#include "app/layout/layout.h"
#include "app/winshell/pictures.h"
#include "app/winshell/wide_text.h"
#include "crypto/secret.h"
#include "crypto/trailer.h"
#include "platform/platform.h"

namespace winshell {
namespace {

namespace text = flows::text;
namespace g = flows::gadget;

constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr UINT kDisposeDialogs = WM_APP + 3;
constexpr UINT kHandedOver = WM_APP + 4;  // lParam: a new std::string with the path

// The password dialogs by number, as the tables count them.
constexpr int kEncryptFileDialog = 1, kDecryptFileDialog = 2, kEncryptFolderDialog = 3,
              kDecryptFolderDialog = 4;

// A choice handler's dialog answered in advance with the path the program
// was given; everything else goes to the window as usual.
class GivenPath : public GuiThreadFrontEnd {
 public:
  GivenPath(flows::FrontEnd& window, HWND handle, std::string path)
      : GuiThreadFrontEnd(window, handle), path_(std::move(path)) {}

  std::string FileOpenDialog(std::string_view, std::string_view, std::string_view, int) override {
    return path_;
  }
  std::string FolderDialog(std::string_view, std::string_view) override { return path_; }

 private:
  std::string path_;
};

}  // namespace

MainWindow::MainWindow(std::string tempFolder, std::string programFolder)
    : programFolder_(std::move(programFolder)), font_(CreateGadgetFont()) {
  state_.tempFolder = std::move(tempFolder);
  static const bool registered = [] {
    WNDCLASSEXW main{};
    main.cbSize = sizeof main;
    main.lpfnWndProc = Proc;
    main.hInstance = GetModuleHandleW(nullptr);
    main.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    main.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    main.lpszClassName = kMainWindowClass;
    return RegisterClassExW(&main) != 0;
  }();
  (void)registered;
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TAB_CLASSES | ICC_BAR_CLASSES |
                                                     ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);

  RECT frame{0, 0, layout::kClientWidth, layout::kClientHeight};
  AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  window_ = CreateWindowExW(0, kMainWindowClass, Wide(layout::kMainWindowTitle).c_str(), kStyle,
                            (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                            (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height, nullptr,
                            nullptr, GetModuleHandleW(nullptr), this);
  BuildGadgets(window_, font_, gadgets_);
  ui_ = std::make_unique<WindowFrontEnd>(
      window_, [this](int number) { return gadgets_.Find(number); }, programFolder_);
  onGuiThread_ = std::make_unique<GuiThreadFrontEnd>(*ui_, window_);
  flowThread_ = std::make_unique<FlowThread>(window_);
}

MainWindow::~MainWindow() {
  // The flow may be waiting for this window to answer it.
  flowThread_->WaitForEnd();
  ClosePasswordDialog();
  closing_.clear();
  ui_.reset();
  if (window_ != nullptr) {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
  FreeGadgetPictures(gadgets_);
  DeleteObject(font_);
}

void MainWindow::Show() {
  ShowWindow(window_, SW_SHOW);
  UpdateWindow(window_);
  SetForegroundWindow(window_);
}

// Gadget events, by number: the choose buttons, the encrypt and decrypt
// buttons that open a password dialog, and the dialogs' OK buttons that
// start a flow. Every number not listed does nothing.
void MainWindow::Dispatch(int gadgetNumber) {
  if (flowRunning()) return;
  switch (gadgetNumber) {
    case g::kChooseSourceFile:  // 6: choose the file to encrypt
      flows::ChooseFileToEncrypt(state_, *ui_);
      break;
    case g::kChooseSourceFolder:  // 29: choose the folder to encrypt
      flows::ChooseFolderToEncrypt(state_, *ui_);
      break;
    case g::kEncryptFile:  // 11: dialog 1 with its meter
      if (FieldEmpty(g::kSourceFileField)) {
        ui_->MessageBox(text::kError, text::kNoFileChosen, flows::kStyleInformation);
      } else {
        OpenPasswordDialog(kEncryptFileDialog);
      }
      break;
    case g::kEncryptFolder:  // 34: dialog 3 with its meter
      if (FieldEmpty(g::kSourceFolderField)) {
        ui_->MessageBox(text::kError, text::kNoFolderChosen, flows::kStyleInformation);
      } else {
        OpenPasswordDialog(kEncryptFolderDialog);
      }
      break;
    case g::kOkEncryptFile:  // 57: OK of dialog 1, file encryption
      if (TakePassword(kEncryptFileDialog)) {
        const flows::EncryptionOptions options = FileOptions();
        RunFlow([this, options] { flows::EncryptFile(state_, *onGuiThread_, options); });
      }
      break;
    case g::kOkEncryptFolder:  // 75: OK of dialog 3, folder encryption
      if (TakePassword(kEncryptFolderDialog)) {
        const flows::EncryptionOptions options = FolderOptions();
        RunFlow([this, options] { flows::EncryptFolder(state_, *onGuiThread_, options); });
      }
      break;
    case g::kChooseFileContainer:  // 46: choose a file container
      flows::ChooseFileContainer(state_, *ui_);
      break;
    case g::kDecryptFile:  // 42: dialog 2
      if (FieldEmpty(g::kFileContainerField)) {
        ui_->MessageBox(text::kError, text::kNoFileChosen, flows::kStyleInformation);
      } else {
        OpenPasswordDialog(kDecryptFileDialog);
      }
      break;
    case g::kOkDecryptFile:  // 67: OK of dialog 2, file decryption
      if (TakePassword(kDecryptFileDialog))
        RunFlow([this] { flows::DecryptFile(state_, *onGuiThread_); });
      break;
    case g::kChooseFolderContainer:  // 51: choose a folder container
      flows::ChooseFolderContainer(state_, *ui_);
      break;
    case g::kDecryptFolder:  // 43: dialog 4 (two blanks in its answer)
      if (FieldEmpty(g::kFolderContainerField)) {
        ui_->MessageBox(text::kError, text::kNoFolderChosenDecrypt, flows::kStyleInformation);
      } else {
        OpenPasswordDialog(kDecryptFolderDialog);
      }
      break;
    case g::kOkDecryptFolder:  // 83: OK of dialog 4, folder decryption
      if (TakePassword(kDecryptFolderDialog))
        RunFlow([this] { flows::DecryptFolder(state_, *onGuiThread_); });
      break;
    default:  // 0, 5, 8, 15, 16 and all others: nothing
      break;
  }
}

void MainWindow::CloseRequest(int windowNumber) {
  if (windowNumber == 0) {
    SendMessageW(window_, WM_CLOSE, 0, 0);
    return;
  }
  if (dialog_ == nullptr || dialog_->number() != windowNumber) return;
  ClosePasswordDialog();
  ActivateAgain();
  TakePendingPath();
}

void MainWindow::OpenPath(const std::string& path) {
  pendingPath_ = path;
  TakePendingPath();
}

void MainWindow::Present() {
  if (dialog_ != nullptr) {
    if (IsIconic(dialog_->hwnd())) ShowWindow(dialog_->hwnd(), SW_RESTORE);
    SetForegroundWindow(dialog_->hwnd());
    return;
  }
  if (IsIconic(window_) && !flowRunning()) ShowWindow(window_, SW_RESTORE);
  SetForegroundWindow(window_);
}

void MainWindow::WaitForFlow() {
  flowThread_->WaitForEnd();
  FlowEnded();
}

HWND MainWindow::Gadget(int number) const {
  if (HWND gadget = gadgets_.Find(number)) return gadget;
  return dialog_ != nullptr ? dialog_->Gadget(number) : nullptr;
}

bool MainWindow::DropInput(const MSG& message) const {
  if (!flowRunning()) return false;
  const bool input = (message.message >= WM_KEYFIRST && message.message <= WM_KEYLAST) ||
                     (message.message >= WM_MOUSEFIRST && message.message <= WM_MOUSELAST);
  return input && (message.hwnd == window_ || IsChild(window_, message.hwnd));
}

void MainWindow::RunFlow(std::function<void()> flow) {
  flowThread_->Start(std::move(flow));
}

void MainWindow::FlowEnded() {
  flowThread_->Join();
  TakePendingPath();
}

// One choice at a time: a path handed over while the user answers a
// password dialog or a flow works waits for the window to be idle.
void MainWindow::TakePendingPath() {
  if (!pendingPath_ || flowRunning() || dialog_ != nullptr) return;
  const std::string path = std::move(*pendingPath_);
  pendingPath_.reset();
  ChoosePath(path);
}

void MainWindow::ChoosePath(const std::string& path) {
  if (platform::IsFolder(path)) {
    GivenPath folder(*ui_, window_, path.back() == '/' ? path : path + "/");
    flows::ChooseFolderToEncrypt(state_, folder);
    ShowTab(gadgets_, layout::kEncryptTab);
    return;
  }
  GivenPath file(*ui_, window_, path);
  const crypto::Trailer trailer = crypto::ReadTrailer(path);
  if (crypto::MatchFileMarker(trailer.markerLine) >= 0) {
    flows::ChooseFileContainer(state_, file);
    ShowTab(gadgets_, layout::kDecryptTab);
  } else if (crypto::MatchFolderMarker(trailer.markerLine) >= 0) {
    flows::ChooseFolderContainer(state_, file);
    ShowTab(gadgets_, layout::kDecryptTab);
  } else {
    flows::ChooseFileToEncrypt(state_, file);
    ShowTab(gadgets_, layout::kEncryptTab);
  }
}

void MainWindow::OpenPasswordDialog(int number) {
  // One dialog at a time: the main window is disabled while one is open.
  if (dialog_ != nullptr) return;
  EnableWindow(window_, FALSE);
  dialog_ = PasswordDialog::Create(number, window_, font_,
                                   {[this](int okNumber) { Dispatch(okNumber); },
                                    [this](int windowNumber) { CloseRequest(windowNumber); }});
  if (dialog_ == nullptr) {
    // Nothing to type into: leave the user a working main window.
    ActivateAgain();
    return;
  }
  ShowWindow(dialog_->hwnd(), SW_SHOW);
  SetForegroundWindow(dialog_->hwnd());
  dialog_->StartMeter();
}

// The first steps of every OK handler, in their order: take the password,
// stop the meter, close the dialog, enable the main window and make it the
// active window. Returns false when that dialog is not the open one.
bool MainWindow::TakePassword(int number) {
  if (dialog_ == nullptr || dialog_->number() != number) return false;
  std::wstring typed = dialog_->Password();
  std::string bytes = Utf8(typed);
  state_.password = platform::PasswordBytes(bytes);
  crypto::WipeBytes(bytes.data(), bytes.capacity());
  crypto::WipeBytes(typed.data(), typed.capacity() * sizeof(wchar_t));
  ClosePasswordDialog();
  ActivateAgain();
  return true;
}

void MainWindow::ClosePasswordDialog() {
  if (dialog_ == nullptr) return;
  dialog_->StopMeter();
  // Enabled before the dialog goes, or the system would activate some
  // other program's window.
  EnableWindow(window_, TRUE);
  ShowWindow(dialog_->hwnd(), SW_HIDE);
  // The OK button or key that got us here may still be on the call stack.
  closing_.push_back(std::move(dialog_));
  PostMessageW(window_, kDisposeDialogs, 0, 0);
}

void MainWindow::ActivateAgain() {
  EnableWindow(window_, TRUE);
  SetForegroundWindow(window_);
  SetActiveWindow(window_);
}

bool MainWindow::FieldEmpty(int gadgetNumber) {
  return ui_->GadgetText(gadgetNumber).empty();
}

flows::EncryptionOptions MainWindow::FileOptions() {
  flows::EncryptionOptions options;
  options.cipher = ui_->IsChecked(g::kFileRc4) ? crypto::Cipher::kRc4 : crypto::Cipher::kAes;
  options.packed = ui_->IsChecked(g::kFilePackYes);
  options.replaceOriginal = ui_->IsChecked(g::kReplaceOriginal);
  return options;
}

flows::EncryptionOptions MainWindow::FolderOptions() {
  flows::EncryptionOptions options;
  options.cipher = ui_->IsChecked(g::kFolderRc4) ? crypto::Cipher::kRc4 : crypto::Cipher::kAes;
  options.packed = ui_->IsChecked(g::kFolderPackYes);
  return options;  // the output folder comes from the folder dialog
}

// A click on a button of the window. An option button turns the other one
// of its group off, as the tables group them.
void MainWindow::Clicked(int number) {
  const layout::GadgetRow* row = layout::FindGadgetRow(number);
  if (row != nullptr && row->kind == layout::Kind::kOption && !flowRunning()) {
    for (const layout::GadgetRow& member : layout::MainWindowGadgets()) {
      if (member.group != row->group) continue;
      SendMessageW(gadgets_.Find(member.number), BM_SETCHECK,
                   member.number == number ? BST_CHECKED : BST_UNCHECKED, 0);
    }
  }
  Dispatch(number);
}

LRESULT CALLBACK MainWindow::Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr || self->window_ != window)
    return DefWindowProcW(window, message, wParam, lParam);
  return self->Handle(message, wParam, lParam);
}

LRESULT MainWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      // Clicks of the controls only; menus and accelerators carry no control.
      if (HIWORD(wParam) == BN_CLICKED && lParam != 0) Clicked(LOWORD(wParam));
      return 0;
    case WM_NOTIFY: {
      const auto* note = reinterpret_cast<const NMHDR*>(lParam);
      if (note->hwndFrom == gadgets_.tabs && note->code == TCN_SELCHANGE)
        ShowTab(gadgets_, static_cast<int>(SendMessageW(gadgets_.tabs, TCM_GETCURSEL, 0, 0)));
      return 0;
    }
    case kRunOnGuiThread:
      return RunCarriedCall(lParam);
    case kFlowEnded:
      FlowEnded();
      return 0;
    case kDisposeDialogs:
      closing_.clear();
      return 0;
    case WM_COPYDATA: {
      const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
      if (data->dwData != kHandOverTag) return FALSE;
      // Taken on the next turn: the sender waits for this answer, and a
      // choice may show a message box.
      auto* path = new std::string(static_cast<const char*>(data->lpData), data->cbData);
      PostMessageW(window_, kHandedOver, 0, reinterpret_cast<LPARAM>(path));
      return TRUE;
    }
    case kHandedOver: {
      const std::unique_ptr<std::string> path(reinterpret_cast<std::string*>(lParam));
      if (!path->empty()) OpenPath(*path);
      Present();
      return 0;
    }
    case WM_CLOSE:
      // A flow ends first: half a container or half a restored tree is no
      // way to leave.
      if (flowRunning()) return 0;
      ClosePasswordDialog();
      ui_->StopProgress();
      DestroyWindow(window_);
      return 0;
    case WM_QUERYENDSESSION:
      return flowRunning() ? FALSE : TRUE;
    case WM_DESTROY:
      window_ = nullptr;
      if (quitWhenDestroyed_) PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window_, message, wParam, lParam);
  }
}

}  // namespace winshell
