// Child processes, the environment and the single-instance lock.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/platform.h"

extern char** environ;

namespace platform {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  if (argc <= 1) return {};
  return std::vector<std::string>(argv + 1, argv + argc);
}

std::optional<std::string> EnvironmentValue(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

void PrepareStandardStreams() {
  // Linux passes bytes as they are and terminals take UTF-8.
}

bool SetEnvironmentVariable(const std::string& name, const std::string& value) {
  return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

int StartProgram(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return static_cast<int>(pid);
}

bool KillProgram(int pid) {
  if (pid <= 0) return false;
  const bool killed = ::kill(static_cast<pid_t>(pid), SIGKILL) == 0;
  int status;
  while (::waitpid(static_cast<pid_t>(pid), &status, 0) < 0 && errno == EINTR) {
  }
  return killed;
}

bool IsProcessAlive(int pid) {
  if (pid <= 0) return false;
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return false;
  // A zombie still answers kill(0); its state in /proc tells.
  const auto stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat", 4096);
  if (!stat) return true;
  const std::string text(stat->begin(), stat->end());
  const std::size_t close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'Z';
}

int ParentProcessId() {
  return static_cast<int>(::getppid());
}

InstanceLock AcquireInstanceLock(const std::string& name) {
  std::string folder;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
      runtime && *runtime && IsFolder(runtime)) {
    folder = runtime;
  } else {
    folder = "/tmp/tresolin-" + std::to_string(::getuid());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return InstanceLock::kUnavailable;
    struct stat st;
    // Someone else's folder of that name must not hold our lock.
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
      return InstanceLock::kUnavailable;
    }
  }
  const std::string path = folder + "/" + name;
  // Kept open for the life of the process: the lock lives with the descriptor.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return InstanceLock::kUnavailable;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool held = errno == EWOULDBLOCK;
    ::close(fd);
    return held ? InstanceLock::kHeldElsewhere : InstanceLock::kUnavailable;
  }
  return InstanceLock::kAcquired;
}

}  // namespace platform
