// Asks a window to close the way a window manager does: a WM_PROTOCOLS ClientMessage
// carrying WM_DELETE_WINDOW. Xvfb runs no window manager, so the tests send it themselves.
// Usage: wm_delete WINDOW_ID   (decimal or 0x hex, as xdotool and xwininfo print it)
#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s WINDOW_ID\n", argv[0]);
    return 2;
  }
  char* end = nullptr;
  Window window = std::strtoul(argv[1], &end, 0);
  if (*end != '\0' || window == 0) {
    std::fprintf(stderr, "wm_delete: bad window id %s\n", argv[1]);
    return 2;
  }
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::fprintf(stderr, "wm_delete: cannot open display %s\n", XDisplayName(nullptr));
    return 1;
  }
  XEvent event = {};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  Status sent = XSendEvent(display, window, False, NoEventMask, &event);
  XSync(display, False);
  XCloseDisplay(display);
  if (!sent) {
    std::fprintf(stderr, "wm_delete: could not send to window %s\n", argv[1]);
    return 1;
  }
  return 0;
}
