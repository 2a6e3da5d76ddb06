#include "CVantrelAIFile.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

static const char temp_marker[] = ".tmp-";

/* A name we accept: a single, non-empty path component. */
static int valid_name(const char* name) {
  if (name == NULL || name[0] == '\0') return 0;
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return 0;
  if (strchr(name, '/') != NULL) return 0;
  return strlen(name) + sizeof(temp_marker) + 17 <= VN_FS_TEMP_NAME_MAX;
}

static int private_to_user(const struct stat* st, int want_dir) {
  if (want_dir ? !S_ISDIR(st->st_mode) : !S_ISREG(st->st_mode)) return 0;
  if (st->st_uid != geteuid()) return 0;
  if ((st->st_mode & 077) != 0) return 0;
  if (!want_dir && st->st_nlink != 1) return 0;
  return 1;
}

/* Checks an open descriptor with fstat and private_to_user; on failure closes it and returns the
 * errno or VN_FS_EUNSAFE. `out` (optional) receives the status. */
static int check_private_fd(int fd, int want_dir, struct stat* out) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int error = errno;
    close(fd);
    return error;
  }
  if (!private_to_user(&st, want_dir)) {
    close(fd);
    return VN_FS_EUNSAFE;
  }
  if (out != NULL) *out = st;
  return 0;
}

static void close_quietly(int fd) {
  int saved = errno;
  (void)close(fd);
  errno = saved;
}

int vn_fs_open_private_dir(const char* path, int create, int* out_fd) {
  if (path == NULL || path[0] == '\0' || out_fd == NULL) return EINVAL;
  *out_fd = -1;
  if (create && mkdir(path, 0700) != 0 && errno != EEXIST) return errno;
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    /* O_NOFOLLOW on a link gives ELOOP; O_DIRECTORY on a file gives ENOTDIR. Both are an unsafe
     * place, not a missing one. */
    if (errno == ELOOP || errno == ENOTDIR) return VN_FS_EUNSAFE;
    return errno;
  }
  int error = check_private_fd(fd, 1, NULL);
  if (error != 0) return error;
  *out_fd = fd;
  return 0;
}

static int write_all(int fd, const unsigned char* data, size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, data, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    length -= (size_t)written;
  }
  return 0;
}

static int random_suffix(char* out, size_t size) {
  uint64_t value = 0;
  unsigned char* bytes = (unsigned char*)&value;
  size_t got = 0;
  while (got < sizeof value) {
    ssize_t n = getrandom(bytes + got, sizeof value - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    got += (size_t)n;
  }
  snprintf(out, size, "%016llx", (unsigned long long)value);
  return 0;
}

int vn_fs_write_temp(int dir_fd, const char* name, const void* data, size_t length, mode_t mode,
                     char* temp_name) {
  if (!valid_name(name) || temp_name == NULL || (data == NULL && length > 0)) return EINVAL;
  temp_name[0] = '\0';
  int fd = -1;
  char candidate[VN_FS_TEMP_NAME_MAX];
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    char suffix[17];
    int error = random_suffix(suffix, sizeof suffix);
    if (error != 0) return error;
    snprintf(candidate, sizeof candidate, "%s%s%s", name, temp_marker, suffix);
    fd = openat(dir_fd, candidate, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 0777);
    if (fd < 0 && errno != EEXIST) return errno;
  }
  if (fd < 0) return EEXIST;
  /* The umask may have narrowed the mode; a private store wants exactly what it asked for. */
  int error = 0;
  if (fchmod(fd, mode & 0777) != 0) error = errno;
  if (error == 0) error = write_all(fd, (const unsigned char*)data, length);
  if (error == 0 && fsync(fd) != 0) error = VN_FS_EFSYNC;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    (void)unlinkat(dir_fd, candidate, 0);
    return error;
  }
  memcpy(temp_name, candidate, strlen(candidate) + 1);
  return 0;
}

int vn_fs_commit_temp(int dir_fd, const char* temp_name, const char* name) {
  if (!valid_name(name) || temp_name == NULL || strchr(temp_name, '/') != NULL) return EINVAL;
  if (renameat(dir_fd, temp_name, dir_fd, name) != 0) {
    int error = errno;
    (void)unlinkat(dir_fd, temp_name, 0);
    return error;
  }
  if (fsync(dir_fd) != 0) return VN_FS_EFSYNC;
  return 0;
}

void vn_fs_discard_temp(int dir_fd, const char* temp_name) {
  if (temp_name == NULL || temp_name[0] == '\0' || strchr(temp_name, '/') != NULL) return;
  (void)unlinkat(dir_fd, temp_name, 0);
}

/* 0 when `name` is absent or a private regular file, else VN_FS_EUNSAFE or an errno. */
static int check_existing(int dir_fd, const char* name) {
  struct stat st;
  if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
  return private_to_user(&st, 0) ? 0 : VN_FS_EUNSAFE;
}

int vn_fs_replace_file(int dir_fd, const char* name, const void* data, size_t length, mode_t mode) {
  if (!valid_name(name)) return EINVAL;
  int error = check_existing(dir_fd, name);
  if (error != 0) return error;
  char temp_name[VN_FS_TEMP_NAME_MAX];
  error = vn_fs_write_temp(dir_fd, name, data, length, mode, temp_name);
  if (error != 0) return error;
  return vn_fs_commit_temp(dir_fd, temp_name, name);
}

int vn_fs_read_file(int dir_fd, const char* name, size_t max_length, void** out_data, size_t* out_length) {
  if (!valid_name(name) || out_data == NULL || out_length == NULL) return EINVAL;
  *out_data = NULL;
  *out_length = 0;
  /* O_NONBLOCK keeps a FIFO planted under the name from blocking the open. */
  int fd = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  struct stat st = {0};
  int error = check_private_fd(fd, 0, &st);
  if (error != 0) return error;
  if (st.st_size < 0 || (uintmax_t)st.st_size > (uintmax_t)max_length) {
    close(fd);
    return EFBIG;
  }
  /* Read one byte more than the size said, so a file that grew meanwhile is noticed. */
  size_t capacity = (size_t)st.st_size + 1;
  unsigned char* buffer = malloc(capacity);
  if (buffer == NULL) {
    close(fd);
    return ENOMEM;
  }
  size_t total = 0;
  error = 0;
  for (;;) {
    if (total == capacity) {
      error = EFBIG;
      break;
    }
    ssize_t n = read(fd, buffer + total, capacity - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    if (n == 0) break;
    total += (size_t)n;
    if (total > max_length) {
      error = EFBIG;
      break;
    }
  }
  close(fd);
  if (error != 0) {
    free(buffer);
    return error;
  }
  *out_data = buffer;
  *out_length = total;
  return 0;
}

void vn_fs_free(void* data) { free(data); }

int vn_fs_remove_file(int dir_fd, const char* name) {
  if (!valid_name(name)) return EINVAL;
  if (unlinkat(dir_fd, name, 0) != 0) return errno;
  if (fsync(dir_fd) != 0) return VN_FS_EFSYNC;
  return 0;
}

int vn_fs_lock(int dir_fd, const char* name, int exclusive, int* out_fd) {
  if (!valid_name(name) || out_fd == NULL) return EINVAL;
  *out_fd = -1;
  int fd = openat(dir_fd, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) return errno == ELOOP ? VN_FS_EUNSAFE : errno;
  int error = check_private_fd(fd, 0, NULL);
  if (error != 0) return error;
  while (flock(fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
    if (errno == EINTR) continue;
    int error = errno;
    close(fd);
    return error;
  }
  *out_fd = fd;
  return 0;
}

int vn_fs_count_suffix(int dir_fd, const char* suffix, size_t* out_count) {
  if (suffix == NULL || out_count == NULL) return EINVAL;
  *out_count = 0;
  int fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  DIR* dir = fdopendir(fd);
  if (dir == NULL) {
    int error = errno;
    close_quietly(fd);
    return error;
  }
  size_t suffix_length = strlen(suffix);
  size_t count = 0;
  struct dirent* entry;
  errno = 0;
  while ((entry = readdir(dir)) != NULL) {
    size_t length = strlen(entry->d_name);
    if (length <= suffix_length) continue;
    if (strcmp(entry->d_name + length - suffix_length, suffix) != 0) continue;
    if (strstr(entry->d_name, temp_marker) != NULL) continue;
    ++count;
  }
  int error = errno;
  closedir(dir);
  if (error != 0) return error;
  *out_count = count;
  return 0;
}

void vn_fs_close(int fd) {
  if (fd >= 0) (void)close(fd);
}
