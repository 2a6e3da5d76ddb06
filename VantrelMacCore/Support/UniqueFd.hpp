#pragma once

// Ownership of one POSIX file descriptor.

namespace vantrel {

// Owns one file descriptor and closes it on destruction (errors of that close are ignored).
class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now and reports the close's errno (0 on success, also when nothing was open).
  int close() noexcept;

 private:
  int fd_ = -1;
};

}  // namespace vantrel
