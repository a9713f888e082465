// Asking for a secret on the controlling terminal, with echo off.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/platform.h"
#include "platform/terminal_state.h"

namespace platform {
namespace {

class TerminalFd {
 public:
  TerminalFd() : fd_(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY)) {}
  ~TerminalFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

// The settings of an open prompt, for RestoreTerminal.
std::mutex g_promptMutex;
int g_promptFd = -1;
struct termios g_promptSaved;

void RememberPrompt(int fd, const struct termios& saved) {
  std::lock_guard lock(g_promptMutex);
  g_promptFd = fd;
  g_promptSaved = saved;
}

void ForgetPrompt() {
  std::lock_guard lock(g_promptMutex);
  g_promptFd = -1;
}

}  // namespace

namespace internal {

void RestoreTerminal() {
  std::lock_guard lock(g_promptMutex);
  if (g_promptFd >= 0) ::tcsetattr(g_promptFd, TCSAFLUSH, &g_promptSaved);
}

}  // namespace internal

bool HasTerminal() {
  TerminalFd tty;
  return tty.get() >= 0;
}

std::optional<std::string> ReadSecretFromTerminal(std::string_view prompt) {
  TerminalFd tty;
  if (tty.get() < 0) return std::nullopt;
  struct termios saved;
  const bool isTty = ::tcgetattr(tty.get(), &saved) == 0;
  if (isTty) {
    struct termios quiet = saved;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    quiet.c_lflag |= ECHONL;
    RememberPrompt(tty.get(), saved);
    ::tcsetattr(tty.get(), TCSAFLUSH, &quiet);
  }
  WriteAll(tty.get(), prompt);
  std::string line;
  bool ok = true;
  for (;;) {
    char c;
    const ssize_t n = ::read(tty.get(), &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = !line.empty();
      break;
    }
    if (c == '\n') break;
    line.push_back(c);
  }
  if (isTty) {
    ::tcsetattr(tty.get(), TCSAFLUSH, &saved);
    ForgetPrompt();
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!ok) return std::nullopt;
  return line;
}

bool StandardOutputIsTerminal() {
  return ::isatty(STDOUT_FILENO) == 1;
}

bool StandardErrorIsTerminal() {
  return ::isatty(STDERR_FILENO) == 1;
}

}  // namespace platform
