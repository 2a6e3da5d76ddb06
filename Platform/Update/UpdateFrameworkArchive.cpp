#include "Platform/Update/UpdateFrameworkArchive.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "Platform/Update/UpdateFramework.hpp"
#include "Support/Text.hpp"

namespace vantrel::update_archive {
namespace {

[[noreturn]] void refuse(const std::string& why) {
  throw updater_errors::make(updater_errors::archiveRefused, "The update archive was refused: " + why);
}

// The archive's bytes do not read as a gzip-compressed tar (truncated, corrupted, something
// else): an install failure. libarchive may have no text for it.
[[noreturn]] void damaged(archive* a) {
  const char* detail = archive_error_string(a);
  throw updater_errors::make(
      updater_errors::installFailed,
      detail && *detail ? fmt::format("The update could not be installed: the archive is damaged ({}).",
                                      text::loggable(detail))
                        : std::string("The update could not be installed: the archive is damaged."));
}

struct ArchiveDeleter {
  void operator()(archive* a) const noexcept { archive_read_free(a); }
};

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

// The name's components; refuses absolute names, "..", empty inner components and overlong
// names. "." components are dropped.
std::vector<std::string> components(const char* name, const Limits& limits) {
  if (!name || !*name) refuse("an entry without a name");
  const std::string text(name);
  if (text.size() > limits.maximumPathLength) refuse("an overlong name");
  if (text.front() == '/') refuse("the absolute name \"" + text + "\"");
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    const auto slash = text.find('/', start);
    const auto part = text.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    const bool last = slash == std::string::npos || slash + 1 == text.size();
    if (part == "..") refuse("the name \"" + text + "\" leaves the folder");
    if (part.empty() && !last) refuse("the name \"" + text + "\" has an empty component");
    if (!part.empty() && part != ".") parts.push_back(part);
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return parts;
}

// Opens (creating when missing) the folder `name` inside `parent`, never through a link.
Fd openFolder(int parent, const std::string& name, bool mayExist = true) {
  if (::mkdirat(parent, name.c_str(), 0755) != 0 && (errno != EEXIST || !mayExist)) {
    refuse(fmt::format("cannot create the folder \"{}\" (errno {})", name, errno));
  }
  Fd fd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) refuse(fmt::format("\"{}\" is not a folder (errno {})", name, errno));
  return fd;
}

void writeFile(archive* a, int parent, const std::string& name, mode_t mode, std::uint64_t& total,
               const Limits& limits) {
  Fd fd(::openat(parent, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.get() < 0) refuse(fmt::format("cannot create \"{}\" (errno {})", name, errno));
  const void* block = nullptr;
  std::size_t size = 0;
  la_int64_t offset = 0;
  std::uint64_t written = 0;
  for (;;) {
    const int status = archive_read_data_block(a, &block, &size, &offset);
    if (status == ARCHIVE_EOF) break;
    if (status != ARCHIVE_OK) damaged(a);
    if (offset < 0 || static_cast<std::uint64_t>(offset) != written) refuse("a sparse file \"" + name + "\"");
    total += size;
    if (total > limits.maximumTotalBytes) refuse("the archive is larger than allowed");
    const auto* bytes = static_cast<const char*>(block);
    std::size_t done = 0;
    while (done < size) {
      const auto n = ::write(fd.get(), bytes + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) refuse(fmt::format("cannot write \"{}\" (errno {})", name, errno));
      done += static_cast<std::size_t>(n);
    }
    written += size;
  }
  // Executable files stay executable; nothing else survives (no set-uid, set-gid, sticky or
  // group/other write bits).
  if (::fchmod(fd.get(), (mode & 0111) ? 0755 : 0644) != 0) refuse("cannot set the mode of \"" + name + "\"");
}

}  // namespace

void extract(int archiveFd, int stagingFd, const Limits& limits) {
  std::unique_ptr<archive, ArchiveDeleter> reader(archive_read_new());
  if (!reader) refuse("libarchive could not be initialised");
  archive* a = reader.get();
  archive_read_support_filter_gzip(a);
  archive_read_support_format_tar(a);
  if (archive_read_open_fd(a, archiveFd, 64 * 1024) != ARCHIVE_OK) damaged(a);
  std::size_t entries = 0;
  std::uint64_t total = 0;
  for (;;) {
    archive_entry* entry = nullptr;
    const int status = archive_read_next_header(a, &entry);
    if (status == ARCHIVE_EOF) break;
    if (status != ARCHIVE_OK) damaged(a);
    if (++entries > limits.maximumEntries) refuse(fmt::format("more than {} entries", limits.maximumEntries));
    const char* rawName = archive_entry_pathname(entry);
    const std::string shown = rawName ? rawName : "";
    if (archive_entry_hardlink(entry)) refuse("the hard link \"" + shown + "\"");
    const auto type = archive_entry_filetype(entry);
    if (type != AE_IFREG && type != AE_IFDIR) refuse("\"" + shown + "\" is neither a file nor a folder");
    if (archive_entry_size_is_set(entry) && archive_entry_size(entry) < 0) refuse("a negative size");
    if (archive_entry_size(entry) > 0 &&
        static_cast<std::uint64_t>(archive_entry_size(entry)) > limits.maximumTotalBytes - total) {
      refuse("the archive is larger than allowed");
    }
    auto parts = components(rawName, limits);
    if (parts.empty()) {
      if (type == AE_IFDIR) continue;  // "./"
      refuse("a file without a name");
    }
    const auto last = parts.back();
    parts.pop_back();
    Fd parent(::dup(stagingFd));
    for (const auto& part : parts) parent = openFolder(parent.get(), part);
    if (type == AE_IFDIR) {
      openFolder(parent.get(), last);
    } else {
      writeFile(a, parent.get(), last, archive_entry_perm(entry), total, limits);
    }
  }
  if (entries == 0) refuse("it is empty");
}

}  // namespace vantrel::update_archive
