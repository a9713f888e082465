// The progress program's start and end.
#include "app/shell/progress_launch.h"

#include <utility>

#include "platform/platform.h"

namespace shell {

ProgressLauncher::ProgressLauncher(std::string programFolder)
    : programFolder_(std::move(programFolder)) {}

ProgressLauncher::~ProgressLauncher() {
  Stop();
}

std::string ProgressLauncher::programPath() const {
  return programFolder_ + std::string(kProgressProgram);
}

void ProgressLauncher::Start(std::string_view caption, const std::string& windowText) {
  Stop();
  // Set anew for every start: the child reads the caption of its own phase.
  platform::SetEnvironmentVariable(std::string(kCaptionVariable), std::string(caption));
  pid_ = platform::StartProgram(programPath(), {windowText});
}

void ProgressLauncher::Stop() {
  // pid_ <= 0 would make kill() address a process group or every process.
  if (pid_ <= 0) return;
  platform::KillProgram(pid_);
  pid_ = -1;
}

}  // namespace shell
