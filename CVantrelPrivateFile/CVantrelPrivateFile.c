#include "CVantrelPrivateFile.h"

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

static void fail_at(struct vn_fs_write_failure* failure, enum vn_fs_write_step step, int error) {
  if (failure == NULL) return;
  failure->step = step;
  failure->error = error;
}

/* 16 hex digits and a NUL into `out`. */
static int random_suffix(const struct vn_fs_write_hooks* hooks, char* out) {
  if (hooks != NULL && hooks->temp_suffix != NULL) {
    hooks->temp_suffix(hooks->context, out);
    out[16] = '\0';
    return 0;
  }
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
  snprintf(out, 17, "%016llx", (unsigned long long)value);
  return 0;
}

static int write_temp(int dir_fd, const char* name, const void* data, size_t length, mode_t mode,
                      const struct vn_fs_write_hooks* hooks, char* temp_name,
                      struct vn_fs_write_failure* failure) {
  if (!valid_name(name) || temp_name == NULL || (data == NULL && length > 0)) {
    fail_at(failure, VN_FS_STEP_CREATE, EINVAL);
    return EINVAL;
  }
  temp_name[0] = '\0';
  int fd = -1;
  char candidate[VN_FS_TEMP_NAME_MAX];
  /* O_EXCL never opens what is already there (a planted link included): try another name. */
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    char suffix[17];
    int error = random_suffix(hooks, suffix);
    if (error != 0) {
      fail_at(failure, VN_FS_STEP_CREATE, error);
      return error;
    }
    snprintf(candidate, sizeof candidate, "%s%s%s", name, temp_marker, suffix);
    fd = openat(dir_fd, candidate, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 0777);
    if (fd < 0 && errno != EEXIST) {
      error = errno;
      fail_at(failure, VN_FS_STEP_CREATE, error);
      return error;
    }
  }
  if (fd < 0) {
    fail_at(failure, VN_FS_STEP_CREATE, EEXIST);
    return EEXIST;
  }
  enum vn_fs_write_step step = VN_FS_STEP_WRITE;
  int error = write_all(fd, (const unsigned char*)data, length);
  int cause = error;
  if (error == 0) {
    step = VN_FS_STEP_SYNC;
    /* The umask may have narrowed the mode; a private store wants exactly what it asked for. */
    if (fchmod(fd, mode & 0777) != 0) {
      error = cause = errno;
    } else if (fsync(fd) != 0) {
      cause = errno;
      error = VN_FS_EFSYNC;
    }
  }
  if (close(fd) != 0 && error == 0) error = cause = errno;
  if (error != 0) {
    (void)unlinkat(dir_fd, candidate, 0);
    fail_at(failure, step, cause);
    return error;
  }
  memcpy(temp_name, candidate, strlen(candidate) + 1);
  return 0;
}

static int commit_temp(int dir_fd, const char* temp_name, const char* name,
                       const struct vn_fs_write_hooks* hooks, struct vn_fs_write_failure* failure) {
  if (!valid_name(name) || temp_name == NULL || strchr(temp_name, '/') != NULL) {
    fail_at(failure, VN_FS_STEP_RENAME, EINVAL);
    return EINVAL;
  }
  int renamed = hooks != NULL && hooks->rename != NULL
                    ? hooks->rename(hooks->context, dir_fd, temp_name, name)
                    : renameat(dir_fd, temp_name, dir_fd, name);
  if (renamed != 0) {
    int error = errno != 0 ? errno : EIO;
    (void)unlinkat(dir_fd, temp_name, 0);
    fail_at(failure, VN_FS_STEP_RENAME, error);
    return error;
  }
  if (fsync(dir_fd) != 0) {
    fail_at(failure, VN_FS_STEP_DIR_SYNC, errno);
    return VN_FS_EFSYNC;
  }
  return 0;
}

int vn_fs_write_temp(int dir_fd, const char* name, const void* data, size_t length, mode_t mode,
                     char* temp_name) {
  return write_temp(dir_fd, name, data, length, mode, NULL, temp_name, NULL);
}

int vn_fs_commit_temp(int dir_fd, const char* temp_name, const char* name) {
  return commit_temp(dir_fd, temp_name, name, NULL, NULL);
}

void vn_fs_discard_temp(int dir_fd, const char* temp_name) {
  if (temp_name == NULL || temp_name[0] == '\0' || strchr(temp_name, '/') != NULL) return;
  (void)unlinkat(dir_fd, temp_name, 0);
}

/* 0 when `name` is absent or a regular file of the effective user (private too, with
 * `want_private`), else VN_FS_EUNSAFE or an errno. */
static int check_target(int dir_fd, const char* name, int want_private) {
  struct stat st;
  if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
  if (want_private) return private_to_user(&st, 0) ? 0 : VN_FS_EUNSAFE;
  return S_ISREG(st.st_mode) && st.st_uid == geteuid() ? 0 : VN_FS_EUNSAFE;
}

static int write_file(int dir_fd, const char* name, const void* data, size_t length, mode_t mode,
                      int want_private, const struct vn_fs_write_hooks* hooks,
                      struct vn_fs_write_failure* failure) {
  fail_at(failure, VN_FS_STEP_NONE, 0);
  if (!valid_name(name)) {
    fail_at(failure, VN_FS_STEP_CREATE, EINVAL);
    return EINVAL;
  }
  int error = check_target(dir_fd, name, want_private);
  if (error != 0) {
    fail_at(failure, VN_FS_STEP_TARGET, error == VN_FS_EUNSAFE ? EEXIST : error);
    return error;
  }
  char temp_name[VN_FS_TEMP_NAME_MAX];
  error = write_temp(dir_fd, name, data, length, mode, hooks, temp_name, failure);
  if (error != 0) return error;
  return commit_temp(dir_fd, temp_name, name, hooks, failure);
}

int vn_fs_write_file(int dir_fd, const char* name, const void* data, size_t length, mode_t mode,
                     const struct vn_fs_write_hooks* hooks, struct vn_fs_write_failure* failure) {
  return write_file(dir_fd, name, data, length, mode, 0, hooks, failure);
}

int vn_fs_replace_file(int dir_fd, const char* name, const void* data, size_t length, mode_t mode) {
  return write_file(dir_fd, name, data, length, mode, 1, NULL, NULL);
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
