#include "support/SessionFileFixtures.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace vantrel::testing {

Bytes patternBytes(std::size_t count, std::uint32_t seed) {
  Bytes out(count);
  std::uint32_t state = seed * 2654435761u + 12345u;
  for (std::size_t i = 0; i < count; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    out[i] = static_cast<std::uint8_t>(state >> 24);
  }
  return out;
}

void writeFile(const std::filesystem::path& path, ByteView bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) throw std::runtime_error("cannot write " + path.string());
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void writeFile(const std::filesystem::path& path, std::string_view text) { writeFile(path, asBytes(text)); }

Bytes readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read " + path.string());
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void setModificationTime(const std::filesystem::path& path, std::time_t seconds) {
  struct timespec times[2];
  times[0].tv_sec = seconds;
  times[0].tv_nsec = 0;
  times[1] = times[0];
  if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    throw std::system_error(errno, std::generic_category(), "utimensat");
  }
}

std::set<std::string> namesIn(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

void runWithoutPermissionOverride(const std::function<void()>& body) {
  std::exception_ptr failure;
  std::thread worker([&] {
    try {
      // Capabilities belong to the thread on Linux: dropping them here leaves the rest of the
      // test process as it was.
      __user_cap_header_struct header{};
      header.version = _LINUX_CAPABILITY_VERSION_3;
      header.pid = 0;
      __user_cap_data_struct data[2]{};
      if (::syscall(SYS_capget, &header, data) != 0) {
        throw std::system_error(errno, std::generic_category(), "capget");
      }
      for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
        const auto bit = 1u << (capability % 32);
        data[capability / 32].effective &= ~bit;
      }
      if (::syscall(SYS_capset, &header, data) != 0) {
        throw std::system_error(errno, std::generic_category(), "capset");
      }
      body();
    } catch (...) {
      failure = std::current_exception();
    }
  });
  worker.join();
  if (failure) std::rethrow_exception(failure);
}

ScopedTimeZone::ScopedTimeZone(const char* zone) {
  if (const char* current = std::getenv("TZ")) {
    hadValue_ = true;
    previous_ = current;
  }
  ::setenv("TZ", zone, 1);
  ::tzset();
}

ScopedTimeZone::~ScopedTimeZone() {
  if (hadValue_) {
    ::setenv("TZ", previous_.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

}  // namespace vantrel::testing
