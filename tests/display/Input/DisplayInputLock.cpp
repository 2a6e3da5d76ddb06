#include <gtest/gtest.h>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// Serialises the processes of this folder's tests around the shared pointer and keyboard.
class DisplayInputLock : public ::testing::Environment {
 public:
  void SetUp() override {
    fd_ = ::open(VANTREL_DISPLAY_INPUT_LOCK, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd_, 0) << "cannot open " << VANTREL_DISPLAY_INPUT_LOCK;
    int result = 0;
    do {
      result = ::flock(fd_, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    ASSERT_EQ(result, 0) << "cannot lock " << VANTREL_DISPLAY_INPUT_LOCK;
  }
  void TearDown() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

[[maybe_unused]] ::testing::Environment* const lockEnvironment =
    ::testing::AddGlobalTestEnvironment(new DisplayInputLock);

}  // namespace
