#pragma once

// Makes a folder unwritable for the life of the object, also for root (which permission bits do
// not stop): mode 0500 and, when running as root, the file system's immutable flag. `active()`
// is false when neither could be applied (the test then has nothing to check).

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace vantrel::testing {

class ReadOnlyFolder {
 public:
  explicit ReadOnlyFolder(std::filesystem::path folder) : folder_(std::move(folder)) {
    if (::chmod(folder_.c_str(), 0500) != 0) return;
    if (::geteuid() != 0) {
      active_ = true;
      return;
    }
    immutable_ = setImmutable(true);
    active_ = immutable_;
  }
  ~ReadOnlyFolder() {
    if (immutable_) setImmutable(false);
    ::chmod(folder_.c_str(), 0700);
  }
  ReadOnlyFolder(const ReadOnlyFolder&) = delete;
  ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

  bool active() const noexcept { return active_; }

 private:
  bool setImmutable(bool on) {
    const int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
      flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
      done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return done;
  }

  std::filesystem::path folder_;
  bool immutable_ = false;
  bool active_ = false;
};

}  // namespace vantrel::testing
