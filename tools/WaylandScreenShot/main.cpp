// Takes one picture of the primary monitor of the GNOME Wayland session on the session bus,
// through a screen cast of its own, and writes its luma as a binary PGM (BT.601, limited range,
// as the agent converts it) and, when asked, the picture as a binary PPM.
//
//   vantrel-wayland-shot --pgm FILE [--ppm FILE] [--no-cursor]
//
// Each file is written beside its name and renamed into place, so that a reader waiting for it
// never sees half of it. Exits 0, or 1 with a message when the screen cannot be read or written.

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "Platform/GnomeWayland/MutterScreenCast.hpp"
#include "Support/Error.hpp"
#include "support/LumaPicture.hpp"

namespace {

using namespace vantrel;

bool writePPM(const std::filesystem::path& path, const BgraImageView& image) {
  const auto temporary = path.string() + ".part";
  {
    std::ofstream out(temporary, std::ios::binary);
    out << "P6\n" << image.width << " " << image.height << "\n255\n";
    std::string row(static_cast<std::size_t>(image.width) * 3, '\0');
    for (int y = 0; y < image.height; ++y) {
      const std::uint8_t* pixel = image.data + static_cast<std::ptrdiff_t>(y) * image.stride;
      for (int x = 0; x < image.width; ++x, pixel += 4) {
        row[static_cast<std::size_t>(x) * 3] = static_cast<char>(pixel[2]);
        row[static_cast<std::size_t>(x) * 3 + 1] = static_cast<char>(pixel[1]);
        row[static_cast<std::size_t>(x) * 3 + 2] = static_cast<char>(pixel[0]);
      }
      out.write(row.data(), static_cast<std::streamsize>(row.size()));
    }
    if (!out.flush()) return false;
  }
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
  return !error;
}

bool writeLuma(const std::filesystem::path& path, const BgraImageView& image) {
  testing::LumaPlane plane{
      image.width, image.height,
      Bytes(static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height))};
  std::size_t at = 0;
  for (int y = 0; y < image.height; ++y) {
    const std::uint8_t* pixel = image.data + static_cast<std::ptrdiff_t>(y) * image.stride;
    for (int x = 0; x < image.width; ++x, pixel += 4) {
      plane.luma[at++] = testing::limitedRangeLuma((std::uint32_t{pixel[2]} << 16) |
                                                   (std::uint32_t{pixel[1]} << 8) | std::uint32_t{pixel[0]});
    }
  }
  const auto temporary = path.string() + ".part";
  if (!testing::writeLumaPGM(temporary, plane)) return false;
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
  return !error;
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path pgm;
  std::filesystem::path ppm;
  MutterScreenCast::Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--pgm" && i + 1 < argc) {
      pgm = argv[++i];
    } else if (argument == "--ppm" && i + 1 < argc) {
      ppm = argv[++i];
    } else if (argument == "--no-cursor") {
      options.showsCursor = false;
    } else {
      std::cerr << "usage: vantrel-wayland-shot --pgm FILE [--ppm FILE] [--no-cursor]\n";
      return 2;
    }
  }
  if (pgm.empty()) {
    std::cerr << "usage: vantrel-wayland-shot --pgm FILE [--ppm FILE] [--no-cursor]\n";
    return 2;
  }
  try {
    MutterScreenCast cast(options);
    const auto image = cast.capture();
    if (!ppm.empty() && !writePPM(ppm, image)) {
      std::cerr << "vantrel-wayland-shot: cannot write " << ppm << "\n";
      return 1;
    }
    if (!writeLuma(pgm, image)) {
      std::cerr << "vantrel-wayland-shot: cannot write " << pgm << "\n";
      return 1;
    }
    std::cout << image.width << "x" << image.height << "\n";
  } catch (const std::exception& error) {
    std::cerr << "vantrel-wayland-shot: " << localizedDescription(error) << "\n";
    return 1;
  }
  return 0;
}
