// Whether the main program's window still exists, and reading its id.

#include <signal.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <cstdlib>
#include <limits>

#include <QStringDecoder>

#include "hourspin/hourspin.h"

namespace hourspin {

struct MainWindowWatch::XConnection {
  xcb_connection_t* connection;
};

QString CaptionFromEnvironment(const char* value) {
  if (value == nullptr) return QString();
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString caption = utf8(QByteArrayView(value));
  if (!utf8.hasError()) return caption;
  return QString::fromLatin1(value);
}

std::unique_ptr<MainWindowWatch> MainWindowWatch::OnX11(std::uint64_t handle, const char* display) {
  // A connection of our own keeps these round trips apart from the
  // toolkit's, whose error handling would otherwise see our BadWindow.
  xcb_connection_t* connection = xcb_connect(display, nullptr);
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return nullptr;
  }
  return std::unique_ptr<MainWindowWatch>(
      new MainWindowWatch(handle, 0, new XConnection{connection}));
}

std::unique_ptr<MainWindowWatch> MainWindowWatch::OnParent(std::uint64_t handle, pid_t parent) {
  return std::unique_ptr<MainWindowWatch>(new MainWindowWatch(handle, parent, nullptr));
}

MainWindowWatch::~MainWindowWatch() {
  if (x_ != nullptr) xcb_disconnect(x_->connection);
  delete x_;
}

bool MainWindowWatch::StillThere() {
  if (handle_ == 0) return false;
  if (x_ != nullptr) {
    // X ids are 32 bits; a larger number must not be cut down to one.
    if (handle_ > std::numeric_limits<std::uint32_t>::max()) return false;
    xcb_connection_t* c = x_->connection;
    const auto cookie = xcb_get_window_attributes(c, static_cast<xcb_window_t>(handle_));
    xcb_generic_error_t* error = nullptr;
    xcb_get_window_attributes_reply_t* reply = xcb_get_window_attributes_reply(c, cookie, &error);
    const bool exists = reply != nullptr;
    std::free(reply);
    std::free(error);
    return exists;
  }
  // An orphan is handed to init or a subreaper, so a new parent id means the
  // starter is gone even before its pid could be taken by another process.
  if (getppid() != parent_) return false;
  return kill(parent_, 0) == 0 || errno == EPERM;
}

}  // namespace hourspin
