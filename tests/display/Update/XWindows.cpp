#include "XWindows.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace vantrel::testing {

std::vector<unsigned long> windowsTitled(Display* display, const std::string& title) {
  std::vector<unsigned long> found;
  Window root = DefaultRootWindow(display), parent = 0, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display, root, &root, &parent, &children, &count)) return found;
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
  return found;
}

}  // namespace vantrel::testing
