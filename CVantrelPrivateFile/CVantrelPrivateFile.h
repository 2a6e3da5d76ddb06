#ifndef CVANTRELPRIVATEFILE_H
#define CVANTRELPRIVATEFILE_H

/*
 * Private files of the effective user: the one atomic writer every store uses (credentials,
 * settings, update resume) and the checked reads, locks and removals around it.
 *
 * Every call works relative to a directory descriptor and never follows a symbolic link in the
 * names it is given. Results are errno-style: 0 on success, an errno value on failure, or one of
 * the VN_FS_E* codes below for the failures errno has no word for.
 */

#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* fsync of a file or of its directory failed; the data may not be durable. */
#define VN_FS_EFSYNC 10001
/* The object is not private to the calling user: wrong type, foreign owner, group or other
 * permission bits, or more than one hard link. */
#define VN_FS_EUNSAFE 10002

/* Longest temporary name vn_fs_write_temp produces, including the terminating NUL. */
#define VN_FS_TEMP_NAME_MAX 300

/*
 * Opens the directory at `path` (its last component must not be a link). With `create` set, a
 * missing directory is created with mode 0700 (its parent must exist). The directory must be
 * owned by the effective user and carry no group or other permission bits, else VN_FS_EUNSAFE.
 * On success *out_fd holds an O_DIRECTORY descriptor the caller closes with vn_fs_close.
 */
int vn_fs_open_private_dir(const char* path, int create, int* out_fd);

/*
 * Writes `data` to a new temporary file "<name>.tmp-<random>" in the directory with `mode`,
 * fsyncs it and stores its name in `temp_name` (VN_FS_TEMP_NAME_MAX bytes). The target is not
 * touched: until vn_fs_commit_temp runs, readers see the old file.
 */
int vn_fs_write_temp(int dir_fd, const char* name, const void* data, size_t length, mode_t mode,
                     char* temp_name);

/* Renames the temporary file over `name` and fsyncs the directory (removing the temporary file
 * when the rename fails). */
int vn_fs_commit_temp(int dir_fd, const char* temp_name, const char* name);

/* Removes a temporary file left by vn_fs_write_temp (no-op when it is already gone). */
void vn_fs_discard_temp(int dir_fd, const char* temp_name);

/* The step of vn_fs_write_file that failed, for callers whose messages name it. */
enum vn_fs_write_step {
  VN_FS_STEP_NONE = 0,
  VN_FS_STEP_TARGET,  /* `name` exists and is not a regular file of the effective user */
  VN_FS_STEP_CREATE,  /* creating the temporary file (or an invalid name) */
  VN_FS_STEP_WRITE,   /* writing the data */
  VN_FS_STEP_SYNC,    /* setting the mode, fsync and close of the temporary file */
  VN_FS_STEP_RENAME,  /* renaming it over `name` */
  VN_FS_STEP_DIR_SYNC /* fsync of the directory */
};

/* Where a failed write stopped: the step, and the errno of the call that failed (where the
 * result is VN_FS_EFSYNC, this holds the fsync's own errno; for VN_FS_STEP_TARGET, EEXIST). */
struct vn_fs_write_failure {
  enum vn_fs_write_step step;
  int error;
};

/* Seams for tests; every member may be NULL. */
struct vn_fs_write_hooks {
  /* Replaces renameat(dir_fd, from, dir_fd, to), with the same contract. */
  int (*rename)(void* context, int dir_fd, const char* from, const char* to);
  /* Replaces the 16 random hex digits of the temporary name; writes 16 characters and a NUL. */
  void (*temp_suffix)(void* context, char* out);
  void* context;
};

/*
 * The atomic write of a private file, and the only one: a new temporary file
 * "<name>.tmp-<random>" (O_EXCL, O_NOFOLLOW: a link or anything else under that name is never
 * opened, another name is tried), the data, exactly `mode` whatever the umask, fsync, close,
 * rename over `name`, fsync of the directory. An existing `name` that is not a regular file of
 * the effective user (a link, say) yields VN_FS_EUNSAFE and is left alone. On every failure
 * before the rename the temporary file is removed and `name` keeps its old contents. `hooks`
 * and `failure` may be NULL.
 */
int vn_fs_write_file(int dir_fd, const char* name, const void* data, size_t length, mode_t mode,
                     const struct vn_fs_write_hooks* hooks, struct vn_fs_write_failure* failure);

/*
 * vn_fs_write_file for a store whose files must stay private: an existing `name` that is a link,
 * not a regular file or not private (group or other bits, more than one link) yields
 * VN_FS_EUNSAFE and is left alone.
 */
int vn_fs_replace_file(int dir_fd, const char* name, const void* data, size_t length, mode_t mode);

/*
 * Reads the whole regular file `name` (not a link, owned by the effective user, no group or
 * other bits, one link) of at most `max_length` bytes. ENOENT when it does not exist, ELOOP for a
 * link, VN_FS_EUNSAFE when it is not private, EFBIG when it is larger than `max_length`. On
 * success *out_data (free with vn_fs_free; never NULL) and *out_length hold the contents.
 */
int vn_fs_read_file(int dir_fd, const char* name, size_t max_length, void** out_data, size_t* out_length);
void vn_fs_free(void* data);

/* Removes `name` (ENOENT when it does not exist) and fsyncs the directory. */
int vn_fs_remove_file(int dir_fd, const char* name);

/*
 * Opens or creates the lock file `name` (mode 0600, not a link) and takes an flock on it,
 * exclusive when `exclusive` is set, else shared; waits for the lock. The lock lasts until the
 * descriptor is closed with vn_fs_close.
 */
int vn_fs_lock(int dir_fd, const char* name, int exclusive, int* out_fd);

/* Number of entries in the directory whose name ends with `suffix` (temporary files excluded). */
int vn_fs_count_suffix(int dir_fd, const char* suffix, size_t* out_count);

void vn_fs_close(int fd);

#ifdef __cplusplus
}
#endif

#endif
