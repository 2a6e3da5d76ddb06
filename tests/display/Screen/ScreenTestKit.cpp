#include "ScreenTestKit.hpp"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <fmt/format.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "support/ChildProcess.hpp"

namespace vantrel::testing {

ScreenPainter::ScreenPainter(const std::string& displayName) {
  display_ = XOpenDisplay(displayName.c_str());
  if (!display_) throw std::runtime_error("cannot open display " + displayName);
  const int screen = DefaultScreen(display_);
  width_ = DisplayWidth(display_, screen);
  height_ = DisplayHeight(display_, screen);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = BlackPixel(display_, screen);
  window_ = XCreateWindow(display_, RootWindow(display_, screen), 0, 0, static_cast<unsigned>(width_),
                          static_cast<unsigned>(height_), 0, CopyFromParent, InputOutput, CopyFromParent,
                          CWOverrideRedirect | CWBackPixel, &attributes);
  XMapRaised(display_, window_);
  buffer_ = XCreatePixmap(display_, window_, static_cast<unsigned>(width_), static_cast<unsigned>(height_),
                          static_cast<unsigned>(DefaultDepth(display_, screen)));
  gc_ = XCreateGC(display_, window_, 0, nullptr);
  XSync(display_, False);
}

ScreenPainter::~ScreenPainter() {
  if (!display_) return;
  XFreeGC(display_, gc_);
  XFreePixmap(display_, buffer_);
  XDestroyWindow(display_, window_);
  XCloseDisplay(display_);
}

void ScreenPainter::present() {
  XCopyArea(display_, buffer_, window_, gc_, 0, 0, static_cast<unsigned>(width_),
            static_cast<unsigned>(height_), 0, 0);
  XSync(display_, False);
}

void ScreenPainter::paintMovingScene(int step) {
  XSetForeground(display_, gc_, 0xFF0000);
  XFillRectangle(display_, buffer_, gc_, 0, 0, static_cast<unsigned>(width_ / 2),
                 static_cast<unsigned>(height_));
  XSetForeground(display_, gc_, 0x0000FF);
  XFillRectangle(display_, buffer_, gc_, width_ / 2, 0, static_cast<unsigned>(width_ - width_ / 2),
                 static_cast<unsigned>(height_));
  XSetForeground(display_, gc_, 0xFFFFFF);
  const int side = height_ / 8;
  const int x = (step * 37) % std::max(1, width_ - side);
  const int y = (step * 23) % std::max(1, height_ - side);
  XFillRectangle(display_, buffer_, gc_, x, y, static_cast<unsigned>(side), static_cast<unsigned>(side));
  present();
}

void ScreenPainter::paintSolid(unsigned long rgb) {
  XSetForeground(display_, gc_, rgb);
  XFillRectangle(display_, buffer_, gc_, 0, 0, static_cast<unsigned>(width_), static_cast<unsigned>(height_));
  present();
}

void ScreenPainter::paintCells(unsigned seed) {
  for (int y = 0; y < height_; y += 8) {
    for (int x = 0; x < width_; x += 8) {
      seed = seed * 1103515245u + 12345u;
      XSetForeground(display_, gc_, (seed >> 8) & 0xFFFFFF);
      XFillRectangle(display_, buffer_, gc_, x, y, 8, 8);
    }
  }
  present();
}

void ScreenPainter::paintRect(unsigned long rgb, int x, int y, int width, int height) {
  XSetForeground(display_, gc_, rgb);
  XFillRectangle(display_, buffer_, gc_, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height));
  XCopyArea(display_, buffer_, window_, gc_, x, y, static_cast<unsigned>(width),
            static_cast<unsigned>(height), x, y);
  XSync(display_, False);
}

void ScreenPainter::movePointer(int x, int y) {
  XWarpPointer(display_, None, DefaultRootWindow(display_), 0, 0, 0, 0, x, y);
  XSync(display_, False);
}

void setXResources(const std::string& displayName, const std::string& text) {
  Display* display = XOpenDisplay(displayName.c_str());
  if (!display) throw std::runtime_error("cannot open " + displayName);
  XChangeProperty(display, DefaultRootWindow(display), XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  XSync(display, False);
  XCloseDisplay(display);
}

std::string runCommand(const std::string& command) {
  auto [status, output] = runShell(command);
  if (status != 0)
    throw std::runtime_error(fmt::format("command failed ({}): {}\n{}", status, command, output));
  return output;
}

ProbedStream probeH264(const std::vector<Bytes>& accessUnits, const std::filesystem::path& file) {
  {
    std::ofstream out(file, std::ios::binary);
    for (const auto& unit : accessUnits)
      out.write(reinterpret_cast<const char*>(unit.data()), static_cast<std::streamsize>(unit.size()));
  }
  ProbedStream result;
  const auto probe =
      runCommand(fmt::format("ffprobe -v error -f h264 -count_frames -select_streams v:0 "
                             "-show_entries stream=width,height,nb_read_frames -of csv=p=0 '{}'",
                             file.string()));
  std::sscanf(probe.c_str(), "%d,%d,%d", &result.width, &result.height, &result.decodedFrames);
  result.decodeErrors =
      runCommand(fmt::format("ffmpeg -nostdin -v error -f h264 -i '{}' -f null - 2>&1", file.string()));
  return result;
}

Bytes decodeLastPictureRgb(const std::filesystem::path& file, int width, int height) {
  const auto out = file.string() + ".rgb";
  runCommand(fmt::format("ffmpeg -nostdin -v error -y -f h264 -i '{}' -f rawvideo -pix_fmt rgb24 '{}' 2>&1",
                         file.string(), out));
  std::ifstream in(out, std::ios::binary);
  Bytes all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto frame = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3;
  if (all.size() < frame) return {};
  return Bytes(all.end() - static_cast<std::ptrdiff_t>(frame), all.end());
}

std::unique_ptr<PrivateXServer> refusingXServer(const std::filesystem::path& folder) {
  const auto cookies = (folder / "cookies").string();
  const std::string command =
      "xauth -q -f '" + cookies + "' add :0 MIT-MAGIC-COOKIE-1 00112233445566778899aabbccddeeff 2>/dev/null";
  if (std::system(command.c_str()) != 0) return nullptr;
  return std::make_unique<PrivateXServer>(320, 240, std::vector<std::string>{"-auth", cookies});
}

}  // namespace vantrel::testing
