// Starting and ending the progress program around one phase of a flow. It
// sits in data/ below the program folder in the build tree, and in
// ../libexec/tresolin/ beside an installed program's bin/.
//
// The caption travels in the environment variable "titel", set in our own
// environment just before the start so that the child inherits it; the only
// argument is the main window's native handle in decimal. The child runs in
// our current folder. Nothing comes back from it. One indicator at a time;
// not thread-safe (the flows run on the GUI thread).
#ifndef TRESOLIN_APP_SHELL_PROGRESS_LAUNCH_H_
#define TRESOLIN_APP_SHELL_PROGRESS_LAUNCH_H_

#include <string>
#include <string_view>

#include "app/layout/layout.h"

namespace shell {

// The progress program's path below the program folder: in the build tree,
// and where it is installed (bin/ and libexec/ share their parent).
using layout::kProgressProgram;
inline constexpr std::string_view kInstalledProgressProgram = "../libexec/tresolin/hourspin";

// The environment variable that carries the caption.
using layout::kCaptionVariable;

class ProgressLauncher {
 public:
  // programFolder ends in "/": the folder of the running program.
  explicit ProgressLauncher(std::string programFolder);
  ~ProgressLauncher();  // ends an indicator still running
  ProgressLauncher(const ProgressLauncher&) = delete;
  ProgressLauncher& operator=(const ProgressLauncher&) = delete;

  // Sets "titel" to caption and starts the program with windowText as its
  // only argument. An indicator still running is ended first, so none is
  // ever left behind. A failed start is not reported: the flow goes on
  // without a progress window.
  void Start(std::string_view caption, const std::string& windowText);

  // Kills the running indicator (SIGKILL) and reaps it, so no zombie stays.
  // Does nothing when none was started or the start failed.
  void Stop();

  // Returns the process id of the running indicator, or -1.
  int pid() const { return pid_; }

  // Returns the full path of the program that Start runs: data/hourspin
  // below the program folder when there is something of that name, else
  // the installed one when there is, else data/hourspin all the same (its
  // start then fails quietly).
  std::string programPath() const;

 private:
  std::string programFolder_;
  int pid_ = -1;
};

}  // namespace shell

#endif  // TRESOLIN_APP_SHELL_PROGRESS_LAUNCH_H_
