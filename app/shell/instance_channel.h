// The hand-over from a second start to the copy that runs: a local socket
// beside the single-instance lock, named after it. The second start sends
// one message, the path it was given (or none), and leaves; the running
// copy comes to the front and takes the path.
//
// Message: kGreeting, then the path's bytes (possibly none); the sender's
// closing the connection ends it. Only this user can reach the socket: it
// lies in the user's own runtime folder (or /tmp/tresolin-<uid>, 0700).
// InstanceServer is for the GUI thread; SendToRunningCopy blocks.
#ifndef TRESOLIN_APP_SHELL_INSTANCE_CHANNEL_H_
#define TRESOLIN_APP_SHELL_INSTANCE_CHANNEL_H_

#include <QLocalServer>
#include <QObject>
#include <chrono>
#include <string>
#include <string_view>

namespace shell {

inline constexpr std::string_view kGreeting = "tresolin-open\n";
// Longer messages are dropped: no path is this long.
inline constexpr int kMaxMessageBytes = 64 * 1024;

// Returns the socket's path for the lock named lockName: "<lockName>.socket"
// in the folder that platform::AcquireInstanceLock uses for its lock file.
std::string InstanceSocketPath(std::string_view lockName);

// Sends path (absolute, or "" to just bring the window up) to the copy
// listening at socketPath, trying again until patience has passed: the
// copy that holds the lock may still be opening its socket. Returns true
// iff the whole message went out.
bool SendToRunningCopy(const std::string& socketPath, const std::string& path,
                       std::chrono::milliseconds patience);

class InstanceServer : public QObject {
  Q_OBJECT

 public:
  explicit InstanceServer(QObject* parent = nullptr);

  // Listens at socketPath. Requires: this process holds the instance lock,
  // so a socket found there was left by a copy that is gone; it is removed
  // first (only a socket; anything else of that name stays and listening
  // fails). Returns true iff listening.
  bool Listen(const std::string& socketPath);

 signals:
  // A second start asked for the window, with path ("" for none).
  void openRequested(const std::string& path);

 private:
  void TakeConnection();

  QLocalServer server_;
};

}  // namespace shell

#endif  // TRESOLIN_APP_SHELL_INSTANCE_CHANNEL_H_
