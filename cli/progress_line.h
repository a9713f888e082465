// The progress line of tresolin-cli. Internal to cli/.
#ifndef TRESOLIN_CLI_PROGRESS_LINE_H_
#define TRESOLIN_CLI_PROGRESS_LINE_H_

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <string_view>

#include "cli/messages.h"

namespace cli::internal {

// One line on a terminal that shows how far a long step has come; nothing
// at all when err is no terminal, with --quiet, or for a short step.
class ProgressLine {
 public:
  ProgressLine(std::ostream& err, bool enabled, int delayMs)
      : err_(err), enabled_(enabled), delay_(delayMs) {}

  void Report(std::string_view step, std::int64_t done, std::int64_t total) {
    if (!enabled_) return;
    const Clock::time_point now = Clock::now();
    if (step != step_) {
      Clear();
      step_ = std::string(step);
      started_ = now;
      lastDrawn_ = {};
    }
    if (now - started_ < delay_ || now - lastDrawn_ < kRedrawEvery || total <= 0) return;
    lastDrawn_ = now;
    const double seconds = std::chrono::duration<double>(now - started_).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    const int percent = static_cast<int>(100 * done / total);
    char figures[96];
    const long left = rate > 0 ? static_cast<long>(static_cast<double>(total - done) / rate) : 0;
    std::snprintf(figures, sizeof figures, "%3d %%, %.1f MB/s, noch %ld:%02ld", percent, rate / 1e6,
                  left / 60, left % 60);
    std::string line = figures;
    // German writes a decimal comma.
    if (const auto dot = line.find('.'); dot != std::string::npos) line[dot] = ',';
    err_ << '\r' << kPrefix << step_ << ": " << line << "\x1b[K" << std::flush;
    shown_ = true;
  }

  // Erases a shown line, so that the next message starts on a clean one.
  void Clear() {
    if (shown_) err_ << "\r\x1b[K" << std::flush;
    shown_ = false;
    step_.clear();
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kRedrawEvery{200};
  std::ostream& err_;
  bool enabled_;
  std::chrono::milliseconds delay_;
  std::string step_;
  Clock::time_point started_;
  Clock::time_point lastDrawn_;
  bool shown_ = false;
};

}  // namespace cli::internal

#endif  // TRESOLIN_CLI_PROGRESS_LINE_H_
