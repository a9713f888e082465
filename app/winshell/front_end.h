// The flows' front end in the window program: message boxes, the common
// file and folder dialogs, the main window's gadgets, and the progress
// program.
//
// Every modal question goes through here. A test hands in DialogAnswers and
// then nothing modal is shown: the questions are answered from the script
// and the messages are recorded. GUI thread only.
#ifndef TRESOLIN_APP_WINSHELL_FRONT_END_H_
#define TRESOLIN_APP_WINSHELL_FRONT_END_H_

#include "app/winshell/win32.h"

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "app/flows/flows.h"

namespace winshell {

// Answers to the modal dialogs, given in advance.
using flows::DialogAnswers;

// text shortened in its middle to "head...tail" so that measure(result) is
// at most width; text itself when it fits. Keeps at least "...".
std::wstring ElideMiddle(std::wstring_view text, int width,
                         const std::function<int(std::wstring_view)>& measure);

class WindowFrontEnd : public flows::FrontEnd {
 public:
  // window is the main window: the owner of every dialog and message, and
  // what the progress program watches. gadgetOf finds a gadget's control by
  // number. programFolder ends in "/" and holds data/hourspin.exe.
  WindowFrontEnd(HWND window, std::function<HWND(int)> gadgetOf, std::string programFolder);
  ~WindowFrontEnd() override;

  void MessageBox(std::string_view title, std::string_view text, int style) override;
  std::string FileOpenDialog(std::string_view title, std::string_view defaultPath,
                             std::string_view filter, int filterIndex) override;
  std::string FileSaveDialog(std::string_view title, std::string_view proposedPath,
                             std::string_view filter, int filterIndex) override;
  std::string FolderDialog(std::string_view title, std::string_view startFolder) override;

  // Returns true iff the option button or check box with this number is on.
  bool IsChecked(int gadgetNumber);

  // A path field shows a long path shortened in its middle, the whole path
  // in its tooltip; GadgetText gives the whole path back, or what the user
  // or a test put into the field since.
  std::string GadgetText(int gadgetNumber) override;
  void SetGadgetText(int gadgetNumber, std::string_view text) override;

  // Writes mainWindowText, minimizes the main window, sets "titel" and
  // starts the progress program with the window's handle.
  void StartProgress(std::string_view caption) override;
  void StopProgress() override;
  void RestoreMainWindow() override;

  // From now on answers come from answers (nullptr: real dialogs again).
  void AnswerFrom(DialogAnswers* answers) { answers_ = answers; }

  // The main window's handle in decimal as last passed to the progress
  // program ("" before the first start), and that program's process id.
  const std::string& mainWindowText() const { return mainWindowText_; }
  int progressProcess() const { return progressPid_; }

  // The tooltip control of the path fields (nullptr before the first path).
  HWND tooltip() const { return tooltip_; }

 private:
  void ShowPath(HWND field, std::string_view path);

  HWND window_;
  std::function<HWND(int)> gadgetOf_;
  std::string programFolder_;
  std::string mainWindowText_;
  int progressPid_ = -1;
  DialogAnswers* answers_ = nullptr;
  HWND tooltip_ = nullptr;
  struct ShownPath {
    std::string whole;
    std::wstring shown;
  };
  std::map<HWND, ShownPath> paths_;
};

}  // namespace winshell

#endif  // TRESOLIN_APP_WINSHELL_FRONT_END_H_
