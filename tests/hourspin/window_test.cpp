// hourspin as the main program sees it: started with a caption and a window
// id on a real X server (an Xvfb of each test's own, on a free display), and
// off X11 with the offscreen platform. Every wait is bounded; every process
// started here is killed and reaped when its test ends.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "hourspin/hourspin.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kCaption = "Datei wird Verschl\xc3\xbcsselt";

// A child process; killed and reaped on destruction unless already reaped.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { Kill(); }

  // Starts `argv` with the current environment minus the variables that
  // steer the display and caption, plus `extra_env` ("NAME=value").
  // `fd3` and `stdout_fd`, when not -1, become the child's descriptors 3
  // and 1; `quiet` sends its error output to /dev/null.
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
             int fd3 = -1, int stdout_fd = -1, bool quiet = false) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      if (entry.starts_with("DISPLAY=") || entry.starts_with("QT_QPA_PLATFORM=") ||
          entry.starts_with("titel=") || entry.starts_with("WAYLAND_DISPLAY=") ||
          entry.starts_with("LSAN_OPTIONS=")) {
        continue;
      }
      env.push_back(entry);
    }
    // Sanitizer builds: what system libraries leave behind at exit is
    // not hourspin's, and must not turn its exit code into a failure.
    const char* lsan = std::getenv("LSAN_OPTIONS");
    env.push_back(std::string("LSAN_OPTIONS=") + (lsan != nullptr ? lsan : "") +
                  ":suppressions=" HOURSPIN_LSAN_SUPPRESSIONS ":print_suppressions=0");
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    std::vector<char*> argp, envp;
    for (const auto& a : argv) argp.push_back(const_cast<char*>(a.c_str()));
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    argp.push_back(nullptr);
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (stdout_fd != -1) posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
    if (fd3 != -1) posix_spawn_file_actions_adddup2(&actions, fd3, 3);
    if (quiet) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int rc = posix_spawnp(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) pid_ = -1;
    return rc == 0;
  }

  pid_t pid() const { return pid_; }

  // Returns the exit status once the child has ended, or nullopt if it
  // still runs after `limit`.
  std::optional<int> WaitFor(std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (pid_ > 0) {
      int status = 0;
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_ || done < 0) {
        pid_ = -1;
        return status;
      }
      if (Clock::now() >= end) return std::nullopt;
      std::this_thread::sleep_for(10ms);
    }
    return std::nullopt;
  }

  bool Running() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

bool ExitedWithZero(const std::optional<int>& status) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

// Reads one line from `fd`, waiting at most `limit`.
std::string ReadLine(int fd, std::chrono::milliseconds limit) {
  std::string line;
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) break;
    char c;
    if (read(fd, &c, 1) != 1 || c == '\n') return line;
    line += c;
  }
  return line;
}

template <typename T>
using XReply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T>
XReply<T> Owned(T* reply) {
  return XReply<T>(reply, &std::free);
}

// Xvfb on a display that no one else uses, with one connection to it.
class XServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    // -displayfd lets the server pick a free display and tell us which.
    const bool started =
        xvfb_.Start({"Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
                    {}, ready[1]);
    close(ready[1]);
    const std::string number = ReadLine(ready[0], 15s);
    close(ready[0]);
    ASSERT_TRUE(started && !number.empty())
        << "Xvfb did not start; scripts/deps installs it (package xvfb)";
    display_ = ":" + number;
    connection_ = xcb_connect(display_.c_str(), nullptr);
    ASSERT_EQ(xcb_connection_has_error(connection_), 0);
    root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
  }

  void TearDown() override {
    hourspin_.Kill();
    if (connection_ != nullptr) xcb_disconnect(connection_);
    xvfb_.Kill();
  }

  // A plain window standing in for the main program's.
  xcb_window_t CreateMainWindow() {
    const xcb_window_t window = xcb_generate_id(connection_);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, root_, 0, 0, 300, 200, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    xcb_map_window(connection_, window);
    xcb_flush(connection_);
    return window;
  }

  bool StartHourspin(const std::vector<std::string>& args, bool with_caption = true) {
    std::vector<std::string> argv{HOURSPIN_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env{"DISPLAY=" + display_, "QT_QPA_PLATFORM=xcb"};
    if (with_caption) env.push_back(std::string("titel=") + kCaption);
    return hourspin_.Start(argv, env);
  }

  xcb_atom_t Atom(const char* name) {
    auto reply = Owned(xcb_intern_atom_reply(
        connection_,
        xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
        nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  }

  // The bytes of a property, or empty when it is missing.
  std::string Property(xcb_window_t window, xcb_atom_t property, xcb_atom_t type) {
    auto reply = Owned(xcb_get_property_reply(
        connection_, xcb_get_property(connection_, 0, window, property, type, 0, 1024), nullptr));
    if (!reply) return {};
    const auto* bytes = static_cast<const char*>(xcb_get_property_value(reply.get()));
    return std::string(bytes, bytes + xcb_get_property_value_length(reply.get()));
  }

  std::vector<std::uint32_t> Property32(xcb_window_t window, xcb_atom_t property, xcb_atom_t type) {
    const std::string bytes = Property(window, property, type);
    std::vector<std::uint32_t> values(bytes.size() / 4);
    std::memcpy(values.data(), bytes.data(), values.size() * 4);
    return values;
  }

  bool Viewable(xcb_window_t window) {
    auto reply = Owned(xcb_get_window_attributes_reply(
        connection_, xcb_get_window_attributes(connection_, window), nullptr));
    return reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
  }

  // hourspin's window: the shown top-level window named `caption`.
  xcb_window_t FindWindow(const std::string& caption, std::chrono::milliseconds limit = 10s) {
    const xcb_atom_t net_wm_name = Atom("_NET_WM_NAME");
    const xcb_atom_t utf8 = Atom("UTF8_STRING");
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
      auto tree =
          Owned(xcb_query_tree_reply(connection_, xcb_query_tree(connection_, root_), nullptr));
      if (tree) {
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
          if (Property(children[i], net_wm_name, utf8) == caption && Viewable(children[i])) {
            return children[i];
          }
        }
      }
      std::this_thread::sleep_for(20ms);
    }
    return XCB_WINDOW_NONE;
  }

  // The screen's pixels under `area` as 0xRRGGBB, row by row.
  std::vector<std::uint32_t> Grab(const xcb_rectangle_t& area) {
    auto image =
        Owned(xcb_get_image_reply(connection_,
                                  xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_,
                                                area.x, area.y, area.width, area.height, ~0u),
                                  nullptr));
    std::vector<std::uint32_t> pixels;
    if (!image || xcb_get_image_data_length(image.get()) != area.width * area.height * 4) {
      return pixels;
    }
    pixels.resize(area.width * area.height);
    std::memcpy(pixels.data(), xcb_get_image_data(image.get()), pixels.size() * 4);
    for (auto& p : pixels) p &= 0xFFFFFFu;
    return pixels;
  }

  // Waits until the server has carried out our requests so far: another
  // connection asking next sees their effect.
  void Sync() {
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }

  void SendClientMessage(xcb_window_t window, xcb_atom_t type, std::uint32_t data0) {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = type;
    message.data.data32[0] = data0;
    message.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(connection_, 0, window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(connection_);
  }

  Child xvfb_;
  Child hourspin_;
  std::string display_;
  xcb_connection_t* connection_ = nullptr;
  xcb_window_t root_ = XCB_WINDOW_NONE;
};

TEST_F(XServerTest, WindowShowsCaptionFixedSizeCentredAndAboveOthers) {
  const xcb_window_t main_window = CreateMainWindow();
  ASSERT_TRUE(StartHourspin({std::to_string(main_window)}));
  const xcb_window_t window = FindWindow(kCaption);
  ASSERT_NE(window, XCB_WINDOW_NONE) << "no shown window named after $titel";

  // WM_NAME is a STRING property, which holds Latin-1.
  EXPECT_EQ(Property(window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING), "Datei wird Verschl\xfcsselt");

  auto geometry =
      Owned(xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, window), nullptr));
  ASSERT_TRUE(geometry);
  EXPECT_EQ(geometry->width, 210);
  EXPECT_EQ(geometry->height, 40);
  // No window manager frames it here, so the outer size is the client size:
  // ((1024 - 210) / 2, (768 - 40) / 2).
  EXPECT_EQ(geometry->x, 407);
  EXPECT_EQ(geometry->y, 364);

  // WM_NORMAL_HINTS: flags, x, y, width, height, min w/h, max w/h, ...
  const auto hints = Property32(window, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS);
  ASSERT_GE(hints.size(), 9u);
  constexpr std::uint32_t kMinSize = 1 << 4, kMaxSize = 1 << 5;
  EXPECT_EQ(hints[0] & (kMinSize | kMaxSize), kMinSize | kMaxSize) << "size not fixed";
  EXPECT_EQ(hints[5], 210u);
  EXPECT_EQ(hints[6], 40u);
  EXPECT_EQ(hints[7], 210u);
  EXPECT_EQ(hints[8], 40u);

  const auto state = Property32(window, Atom("_NET_WM_STATE"), XCB_ATOM_ATOM);
  const xcb_atom_t above = Atom("_NET_WM_STATE_ABOVE");
  EXPECT_NE(std::find(state.begin(), state.end(), above), state.end()) << "not kept on top";

  EXPECT_TRUE(hourspin_.Running());
}

TEST_F(XServerTest, WindowShowsFramedStripWithMovingBars) {
  const xcb_window_t main_window = CreateMainWindow();
  ASSERT_TRUE(StartHourspin({std::to_string(main_window)}));
  const xcb_window_t window = FindWindow(kCaption);
  ASSERT_NE(window, XCB_WINDOW_NONE);
  std::this_thread::sleep_for(300ms);  // let the first frames arrive

  const xcb_rectangle_t client{407, 364, 210, 40};
  const std::vector<std::uint32_t> first = Grab(client);
  ASSERT_EQ(first.size(), 210u * 40u);
  auto at = [](const std::vector<std::uint32_t>& p, int x, int y) { return p[y * 210 + x]; };

  constexpr std::uint32_t kLightRed = 0xFA8C8C;
  // The bars (rows 3 to 26 of the strip) never cover the top and bottom
  // two rows of the frame, so these are light red in every frame.
  for (int x = 0; x < 200; ++x) {
    for (int y : {0, 1, 28, 29}) {
      ASSERT_EQ(at(first, 5 + x, 5 + y), kLightRed) << x << "," << y;
    }
  }
  EXPECT_NE(at(first, 4, 4), kLightRed) << "the strip must sit 5 pixels in";
  EXPECT_NE(at(first, 205, 35), kLightRed);
  // Some bar is always inside the strip: its middle row holds blue.
  int blue = 0;
  for (int x = 0; x < 200; ++x) {
    const std::uint32_t p = at(first, 5 + x, 5 + 15);
    blue += (p & 0xFF) > (p >> 16 & 0xFF) + 40;
  }
  EXPECT_GE(blue, 9) << "no bars to be seen";

  std::vector<std::uint32_t> later;
  const auto end = Clock::now() + 5s;
  do {
    std::this_thread::sleep_for(100ms);
    later = Grab(client);
  } while (later == first && Clock::now() < end);
  EXPECT_NE(later, first) << "the bars do not move";
}

TEST_F(XServerTest, EndsWithZeroOnceMainWindowIsGoneAndAnEventArrives) {
  const xcb_window_t main_window = CreateMainWindow();
  ASSERT_TRUE(StartHourspin({std::to_string(main_window)}));
  const xcb_window_t window = FindWindow(kCaption);
  ASSERT_NE(window, XCB_WINDOW_NONE);
  EXPECT_FALSE(hourspin_.WaitFor(500ms)) << "ended while the main window lives";

  xcb_destroy_window(connection_, main_window);
  // An event for hourspin's window, like a mouse moving over it.
  xcb_expose_event_t expose{};
  expose.response_type = XCB_EXPOSE;
  expose.window = window;
  expose.width = 210;
  expose.height = 40;
  xcb_send_event(connection_, 0, window, XCB_EVENT_MASK_EXPOSURE,
                 reinterpret_cast<const char*>(&expose));
  xcb_flush(connection_);
  EXPECT_TRUE(ExitedWithZero(hourspin_.WaitFor(5s)));
}

TEST_F(XServerTest, EndsAtOnceWithoutUsableWindowId) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"abc"}, {"0"}, {"-" + std::to_string(root_)}}) {
    SCOPED_TRACE(args.empty() ? "(no argument)" : args[0]);
    ASSERT_TRUE(StartHourspin(args, false));
    EXPECT_TRUE(ExitedWithZero(hourspin_.WaitFor(5s)));
  }
}

TEST_F(XServerTest, CloseBoxLeavesWindowOpenAndRunning) {
  const xcb_window_t main_window = CreateMainWindow();
  ASSERT_TRUE(StartHourspin({std::to_string(main_window)}));
  const xcb_window_t window = FindWindow(kCaption);
  ASSERT_NE(window, XCB_WINDOW_NONE);

  const xcb_atom_t delete_window = Atom("WM_DELETE_WINDOW");
  const auto protocols = Property32(window, Atom("WM_PROTOCOLS"), XCB_ATOM_ATOM);
  ASSERT_NE(std::find(protocols.begin(), protocols.end(), delete_window), protocols.end())
      << "without WM_DELETE_WINDOW a window manager would kill the client";
  // What a window manager sends when the close box is clicked.
  SendClientMessage(window, Atom("WM_PROTOCOLS"), delete_window);
  SendClientMessage(window, Atom("WM_PROTOCOLS"), delete_window);

  EXPECT_FALSE(hourspin_.WaitFor(700ms)) << "ended on a close request";
  EXPECT_TRUE(Viewable(window)) << "hid its window on a close request";
}

TEST_F(XServerTest, WatchSeesWindowUntilDestroyed) {
  const xcb_window_t main_window = CreateMainWindow();
  auto watch = hourspin::MainWindowWatch::OnX11(main_window, display_.c_str());
  ASSERT_TRUE(watch);
  EXPECT_TRUE(watch->StillThere());

  // An id beyond 32 bits must not be cut down onto the live window.
  auto too_long =
      hourspin::MainWindowWatch::OnX11((std::uint64_t{1} << 32) | main_window, display_.c_str());
  ASSERT_TRUE(too_long);
  EXPECT_FALSE(too_long->StillThere());
  EXPECT_FALSE(hourspin::MainWindowWatch::OnX11(0, display_.c_str())->StillThere());

  xcb_destroy_window(connection_, main_window);
  Sync();
  EXPECT_FALSE(watch->StillThere());
}

TEST(HourspinOffX11, RunsWhileItsStarterLivesAndEndsWithoutWindowId) {
  Child hourspin;
  ASSERT_TRUE(hourspin.Start({HOURSPIN_PROGRAM, "12345"}, {"QT_QPA_PLATFORM=offscreen"}));
  EXPECT_FALSE(hourspin.WaitFor(700ms)) << "ended while its starter lives";
  hourspin.Kill();

  ASSERT_TRUE(hourspin.Start({HOURSPIN_PROGRAM}, {"QT_QPA_PLATFORM=offscreen"}));
  EXPECT_TRUE(ExitedWithZero(hourspin.WaitFor(5s)));
}

TEST(HourspinOffX11, EndsWithZeroOnceItsStarterHasEnded) {
  // As subreaper this test inherits the orphan and can read its exit code.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  Child starter;
  ASSERT_TRUE(starter.Start({"/bin/sh", "-c", "\"$0\" 12345 & echo $!; sleep 1", HOURSPIN_PROGRAM},
                            {"QT_QPA_PLATFORM=offscreen"}, -1, out[1]));
  close(out[1]);
  const std::string pid_text = ReadLine(out[0], 5s);
  close(out[0]);
  ASSERT_FALSE(pid_text.empty());
  const pid_t pid = static_cast<pid_t>(std::stol(pid_text));

  std::this_thread::sleep_for(500ms);
  std::string stat;
  std::getline(std::ifstream("/proc/" + pid_text + "/stat"), stat);
  const auto close_paren = stat.rfind(')');
  ASSERT_NE(close_paren, std::string::npos) << "ended before its starter";
  const char state = stat.size() > close_paren + 2 ? stat[close_paren + 2] : '?';
  EXPECT_TRUE(state != 'Z' && state != 'X') << "ended while its starter lives";

  EXPECT_TRUE(ExitedWithZero(starter.WaitFor(5s)));
  // Now ours: wait for it the same bounded way, killing it if it stays.
  int status = 0;
  pid_t done = 0;
  for (auto end = Clock::now() + 5s; (done = waitpid(pid, &status, WNOHANG)) == 0;) {
    if (Clock::now() >= end) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      FAIL() << "still running after its starter ended";
    }
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(done, pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
