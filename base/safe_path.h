// Opening, creating and entering paths inside directories that others can
// write. Every domain and mailbox directory belongs to the store's user and
// mail users write inside their own maildirs, so a name there may be
// swapped for a symbolic link, a FIFO or a device at any moment; the store
// itself may run as root. These routines are the one place where the
// store's rules for such paths live:
//
//   open_dir_at       opens one directory NAME relative to the directory
//                     behind AT (AT_FDCWD: the working directory), read-only;
//                     follow_link false refuses a link in NAME's last
//                     component (ELOOP), and anything but a directory fails
//                     (ENOTDIR). Trailing "/"s of NAME are dropped first, as
//                     they would make the open follow a link after all. The
//                     descriptor, or -1 with errno.
//   open_no_link      open(2) that never follows a link in the last
//                     component (O_NOFOLLOW, O_CLOEXEC added): the
//                     descriptor, or -1 with errno (ELOOP for a link).
//   open_regular_at   the one opener of a plain file that others could
//                     swap: opens NAME relative to the directory behind AT
//                     (AT_FDCWD: the working directory) as openat(2) with
//                     FLAGS (O_CREAT, with O_EXCL or not, creates it with
//                     MODE), never following a link in NAME's last component
//                     unless follow_link, and keeps the descriptor only when
//                     what was opened is a regular file. The name is looked
//                     at first, so a device is never opened (its open alone
//                     may act); the open never waits on a FIFO, and the
//                     descriptor is blocking again, with FLAGS' O_APPEND. The
//                     descriptor, with the opened file's status in *status
//                     when given; or -1 with errno: ELOOP for a link, EINVAL
//                     for a FIFO, device, socket or directory, else the
//                     look's or the open's (ENOENT: nothing of that name).
//   open_regular      the same for reading, relative to the working directory.
//   fopen_regular     the same as a stream ("r"), or nullptr.
//   create_new_file   makes a new file at path for writing: whatever stands
//                     at the name is removed first (a link itself, never its
//                     target), then the file is created O_EXCL|O_NOFOLLOW, so
//                     a name planted in the meantime fails the creation
//                     instead of being written through. The descriptor, or -1.
//   enter_dir         changes into a directory, walking a relative path one
//                     component at a time and refusing a link at every step
//                     (an absolute path's leading components, the site's own
//                     fixed directories, are followed; its last one is not).
//                     The descriptor of the directory entered (the caller
//                     closes it; fchown acts on it), or -1 with the working
//                     directory unchanged.
//   is_plain_name     whether a name is one plain path component: not empty,
//                     no "/", not "." or "..". A name made into a path inside
//                     a store directory must be one, or it reaches outside.
//   is_plain_path     whether a relative path is plain names joined by "/"
//                     (no empty, "." or ".." component, no leading "/").
//   inside_dir        whether path, resolved to its real path, lies strictly
//                     below the real path of dir; the relative path from dir
//                     to it when so, none otherwise (either unresolvable).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

int open_dir_at(int at, const std::string& name, bool follow_link);
int open_no_link(const std::string& path, int flags, mode_t mode = 0);
int open_regular_at(int at, const std::string& name, int flags, bool follow_link,
                    struct stat* status = nullptr, mode_t mode = 0);
int open_regular(const std::string& path, bool follow_link);
FILE* fopen_regular(const std::string& path, bool follow_link);
int create_new_file(const std::string& path, mode_t mode);
int enter_dir(const std::string& path);
bool is_plain_name(std::string_view name);
bool is_plain_path(std::string_view path);
std::optional<std::string> inside_dir(const std::string& path, const std::string& dir);
