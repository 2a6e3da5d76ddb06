#include "support/LumaPicture.hpp"

#include <fstream>
#include <string>

namespace vantrel::testing {

bool writeLumaPGM(const std::filesystem::path& path, const LumaPlane& plane) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << "P5\n" << plane.width << ' ' << plane.height << "\n255\n";
  out.write(reinterpret_cast<const char*>(plane.luma.data()),
            static_cast<std::streamsize>(plane.luma.size()));
  out.flush();
  return static_cast<bool>(out);
}

std::optional<LumaPlane> readLumaPGM(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  LumaPlane plane;
  int maximum = 0;
  if (!(in >> magic >> plane.width >> plane.height >> maximum) || magic != "P5" || maximum != 255 ||
      plane.width <= 0 || plane.height <= 0 || plane.width > 16384 || plane.height > 16384) {
    return std::nullopt;
  }
  in.get();  // the one white-space character before the samples
  plane.luma.resize(static_cast<std::size_t>(plane.width) * static_cast<std::size_t>(plane.height));
  if (!in.read(reinterpret_cast<char*>(plane.luma.data()), static_cast<std::streamsize>(plane.luma.size())))
    return std::nullopt;
  return plane;
}

}  // namespace vantrel::testing
