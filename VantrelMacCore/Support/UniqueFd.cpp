#include "Support/UniqueFd.hpp"

#include <unistd.h>

#include <cerrno>

namespace vantrel {

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

int UniqueFd::close() noexcept {
  if (fd_ < 0) return 0;
  const int fd = release();
  // Linux releases the descriptor even when close reports an error; never retry it.
  return ::close(fd) == 0 ? 0 : errno;
}

}  // namespace vantrel
