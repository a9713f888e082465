// The progress program's start and end.
#include "app/shell/progress_launch.h"

#include <filesystem>
#include <utility>

#include "platform/platform.h"

namespace shell {

ProgressLauncher::ProgressLauncher(std::string programFolder)
    : programFolder_(std::move(programFolder)) {}

ProgressLauncher::~ProgressLauncher() {
  Stop();
}

std::string ProgressLauncher::programPath() const {
  std::string beside = programFolder_ + std::string(kProgressProgram);
  if (platform::KindOfPath(beside) != platform::PathKind::kMissing) return beside;
  const std::string installed =
      std::filesystem::path(programFolder_ + std::string(kInstalledProgressProgram))
          .lexically_normal()
          .string();
  if (platform::KindOfPath(installed) != platform::PathKind::kMissing) return installed;
  return beside;
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
