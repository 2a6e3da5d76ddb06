#include "XWindows.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace vantrel::testing {
namespace {
// The windows belong to other clients and may go at any moment: a request about one that went
// meanwhile fails, and the window is only left out (Xlib's own handler would end the test).
int ignoreError(Display*, XErrorEvent*) { return 0; }
}  // namespace

std::vector<unsigned long> windowsTitled(Display* display, const std::string& title) {
  std::vector<unsigned long> found;
  XSync(display, False);
  const auto previous = XSetErrorHandler(ignoreError);
  Window root = DefaultRootWindow(display), parent = 0, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display, root, &root, &parent, &children, &count)) {
    XSetErrorHandler(previous);
    return found;
  }
  const Atom name = XInternAtom(display, "_NET_WM_NAME", False);
  const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  for (unsigned i = 0; i < count; ++i) {
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(display, children[i], &attributes) || attributes.map_state != IsViewable)
      continue;
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, children[i], name, 0, 1024, False, utf8, &type, &format, &items, &after,
                           &data) == Success &&
        data) {
      if (std::string(reinterpret_cast<char*>(data), items) == title) found.push_back(children[i]);
      XFree(data);
    }
  }
  if (children) XFree(children);
  XSync(display, False);
  XSetErrorHandler(previous);
  return found;
}

}  // namespace vantrel::testing
