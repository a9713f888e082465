// The flows' front end in the window program: message boxes, the file and
// folder dialogs, the gadgets of the main window, and the progress program.
//
// Every modal question goes through here. A test hands in DialogAnswers and
// then nothing modal is shown: the questions are answered from the script
// and the messages are recorded. GUI thread only.
#ifndef TRESOLIN_APP_SHELL_WINDOW_FRONT_END_H_
#define TRESOLIN_APP_SHELL_WINDOW_FRONT_END_H_

#include <QString>
#include <QStringList>
#include <QWidget>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/flows/flows.h"
#include "app/shell/progress_launch.h"

namespace shell {

// Answers to the modal dialogs, given in advance.
using flows::DialogAnswers;

// The patterns of a filter "display|pattern;pattern[|display|pattern...]"
// as Qt name filters: "Alle Dateien|*.*" gives "Alle Dateien (*)", since
// "*.*" means every file. A pattern already written into the display text
// is replaced by the list that Qt reads.
QStringList NameFilters(std::string_view filter);

// The folder and the proposed file name of a default path: the path split
// at its last "/". "/home/anna/Daten" opens in "/home/anna/" proposing
// "Daten"; a path ending in "/" proposes nothing.
struct DialogStart {
  QString folder;
  QString name;
};
DialogStart SplitDefaultPath(std::string_view defaultPath);

// A folder chosen in the folder dialog as the flows take it: ending in "/",
// or "" after a cancel.
std::string FolderResult(const QString& chosen);

class WindowFrontEnd : public flows::FrontEnd {
 public:
  // window is the main window: the parent of every dialog, the owner of the
  // gadgets, and what the progress program watches. programFolder ends in
  // "/" and holds data/hourspin.
  WindowFrontEnd(QWidget& window, std::string programFolder);

  void MessageBox(std::string_view title, std::string_view text, int style) override;
  std::string FileOpenDialog(std::string_view title, std::string_view defaultPath,
                             std::string_view filter, int filterIndex) override;
  std::string FileSaveDialog(std::string_view title, std::string_view proposedPath,
                             std::string_view filter, int filterIndex) override;
  std::string FolderDialog(std::string_view title, std::string_view startFolder) override;
  // Returns true iff the option button or check box with this number is on.
  bool IsChecked(int gadgetNumber);
  std::string GadgetText(int gadgetNumber) override;
  void SetGadgetText(int gadgetNumber, std::string_view text) override;

  // Writes mainWindowText, minimizes the main window and starts the
  // progress program with the caption.
  void StartProgress(std::string_view caption) override;
  void StopProgress() override;
  void RestoreMainWindow() override;

  // From now on answers come from answers (nullptr: real dialogs again).
  // answers must outlive its use here.
  void AnswerFrom(DialogAnswers* answers) { answers_ = answers; }

  // The main window's native handle in decimal, as last passed to the
  // progress program ("" before the first start).
  const std::string& mainWindowText() const { return mainWindowText_; }

  const ProgressLauncher& progress() const { return progress_; }

 private:
  QWidget& window_;
  ProgressLauncher progress_;
  std::string mainWindowText_;
  DialogAnswers* answers_ = nullptr;
};

}  // namespace shell

#endif  // TRESOLIN_APP_SHELL_WINDOW_FRONT_END_H_
