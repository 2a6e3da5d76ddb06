#pragma once

// A full-screen X window for the screen tests: flat grey at first, then at once a textured picture
// (fine noise over smooth waves, with lines of small text), drawn as one image: the kind of whole
// screen change the rate control codes coarsely. Header-only: only the tests that include it link
// Xlib.

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>

#include "support/ScreenLuma.hpp"

namespace vantrel::testing {

// A full-screen window: flat grey at first, then at once a textured picture (fine noise over
// smooth waves, with small text), drawn pixel by pixel as one image.
class TexturedScreen {
 public:
  explicit TexturedScreen(Display* d) : d_(d) {
    const int screen = DefaultScreen(d);
    width_ = DisplayWidth(d, screen);
    height_ = DisplayHeight(d, screen);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = 0x808080;
    window_ = XCreateWindow(d, RootWindow(d, screen), 0, 0, static_cast<unsigned>(width_),
                            static_cast<unsigned>(height_), 0, CopyFromParent, InputOutput, CopyFromParent,
                            CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(d, window_);
    gc_ = XCreateGC(d, window_, 0, nullptr);
    XSync(d, False);
  }
  ~TexturedScreen() {
    XFreeGC(d_, gc_);
    XDestroyWindow(d_, window_);
    XSync(d_, False);
  }

  // False when the server refuses the picture.
  bool showTexture() {
    XImage* image = XGetImage(d_, window_, 0, 0, static_cast<unsigned>(width_),
                              static_cast<unsigned>(height_), AllPlanes, ZPixmap);
    if (image == nullptr) return false;
    std::uint32_t seed = 12345;
    const auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (int y = 0; y < height_; ++y) {
      for (int x = 0; x < width_; ++x) {
        const int wave = ((x * 7 + y * 3) % 160) - 80 + ((x / 3 + y / 5) % 50);
        const int noise = static_cast<int>((next() >> 24) % 24) - 12;
        const auto channel = [&](int base) {
          return static_cast<unsigned>(std::clamp(base + wave + noise, 0, 255));
        };
        XPutPixel(image, x, y, (channel(120) << 16) | (channel(110) << 8) | channel(100));
      }
    }
    XPutImage(d_, window_, gc_, image, 0, 0, 0, 0, static_cast<unsigned>(width_),
              static_cast<unsigned>(height_));
    XDestroyImage(image);
    XSetForeground(d_, gc_, 0x101010);
    const std::string line = "Small text must be readable once the screen stands still 0123456789";
    for (int y = 12; y < height_; y += 40) {
      XDrawString(d_, window_, gc_, 8 + (y % 3) * 5, y, line.c_str(), static_cast<int>(line.size()));
    }
    XSync(d_, False);
    return true;
  }

  // False when the screen cannot be read or the file written.
  bool writeScreenLuma(const std::filesystem::path& path) const {
    const auto plane = screenLuma(d_, width_, height_);
    return plane && writeLumaPGM(path, *plane);
  }

  int width() const { return width_; }
  int height() const { return height_; }

 private:
  Display* d_;
  int width_ = 0;
  int height_ = 0;
  Window window_ = 0;
  GC gc_ = nullptr;
};

}  // namespace vantrel::testing
