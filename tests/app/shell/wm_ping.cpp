// wm_ping: asks a window's client whether it is alive, the way a window
// manager does (_NET_WM_PING), and waits for its answer.
//
//   wm_ping WINDOW_ID [COUNT [INTERVAL_MS [TIMEOUT_MS]]]
//
// Sends COUNT pings, INTERVAL_MS apart, each to be answered within
// TIMEOUT_MS. Prints one line per ping with its round trip, then the worst.
// Exits 0 iff every ping was answered in time, 1 when one was not, 2 on a
// usage or display error. The answer goes to the root window.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Returns the round trip in milliseconds, or -1 when no answer came.
long PingOnce(Display* display, Window window, Atom protocols, Atom ping, long stamp,
              long timeoutMs) {
  XEvent request = {};
  request.xclient.type = ClientMessage;
  request.xclient.window = window;
  request.xclient.message_type = protocols;
  request.xclient.format = 32;
  request.xclient.data.l[0] = static_cast<long>(ping);
  request.xclient.data.l[1] = stamp;
  request.xclient.data.l[2] = static_cast<long>(window);
  const auto start = Clock::now();
  XSendEvent(display, window, False, NoEventMask, &request);
  XFlush(display);
  const auto deadline = start + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < deadline) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == ClientMessage && event.xclient.message_type == protocols &&
          static_cast<Atom>(event.xclient.data.l[0]) == ping && event.xclient.data.l[1] == stamp &&
          static_cast<Window>(event.xclient.data.l[2]) == window) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: wm_ping WINDOW_ID [COUNT [INTERVAL_MS [TIMEOUT_MS]]]\n");
    return 2;
  }
  const Window window = std::strtoul(argv[1], nullptr, 0);
  const int count = argc > 2 ? std::atoi(argv[2]) : 1;
  const long intervalMs = argc > 3 ? std::atol(argv[3]) : 500;
  const long timeoutMs = argc > 4 ? std::atol(argv[4]) : 1000;
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "wm_ping: no display\n");
    return 2;
  }
  // Qt answers to the root with StructureNotify and SubstructureRedirect;
  // the window manager holds the latter, anyone may listen for the former.
  XSelectInput(display, DefaultRootWindow(display), StructureNotifyMask);
  const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
  const Atom ping = XInternAtom(display, "_NET_WM_PING", False);
  long worst = 0;
  int answered = 0;
  for (int i = 0; i < count; ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
    // A stamp of our own, so an answer is matched to its ping.
    const long stamp = 0x7e500000L + i;
    const long ms = PingOnce(display, window, protocols, ping, stamp, timeoutMs);
    if (ms < 0) {
      std::printf("ping %d: no answer within %ld ms\n", i + 1, timeoutMs);
    } else {
      std::printf("ping %d: answered in %ld ms\n", i + 1, ms);
      ++answered;
      if (ms > worst) worst = ms;
    }
  }
  std::printf("answered %d of %d, worst %ld ms\n", answered, count, worst);
  XCloseDisplay(display);
  return answered == count ? 0 : 1;
}
