// Linux's own calls for posix.cpp: files without a name, the in-kernel copy, space
// reservation, the rename that never replaces, the sync of data and the read lease.
#include "platform/posix_fast_paths.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace platform::fast {

namespace {

constexpr std::int64_t copy_range_step = std::int64_t{1} << 30;
constexpr std::int64_t reserve_min_size = std::int64_t{2} << 20;

// Errors by which the kernel declines an in-kernel copy for these two files, as
// opposed to failing it.
bool copy_range_refused(int error) {
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP ||
           error == EBADF || error == EPERM || error == ETXTBSY;
}

} // namespace

bool open_unnamed(const char* folder, mode_t mode, int& fd) {
    fd = ::open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    return fd >= 0;
}

bool link_unnamed(int fd, const char* path) {
    if (::linkat(fd, "", AT_FDCWD, path, AT_EMPTY_PATH) == 0)
        return true;
    // Kernels that keep that form to privileged callers say ENOENT; the file's entry
    // in /proc links the same file for anyone.
    if (errno != ENOENT)
        return false;
    char proc_path[32];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
    return ::linkat(AT_FDCWD, proc_path, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0;
}

bool kernel_copy(int in, int out, std::int64_t size, std::int64_t& copied) {
    off_t in_offset = 0;
    off_t out_offset = 0;
    copied = 0;
    while (copied < size) {
        const auto step = static_cast<std::size_t>(std::min(size - copied, copy_range_step));
        const ssize_t moved = ::copy_file_range(in, &in_offset, out, &out_offset, step, 0);
        if (moved > 0)
            copied += moved;
        else if (moved == 0 || copy_range_refused(errno))
            return true; // the input ended early, or the kernel leaves the rest to reads
        else if (errno != EINTR)
            return false;
    }
    return true;
}

// File systems that delay allocation then fill blocks already allocated instead of
// reserving them page by page, which makes a large copy faster; for small files the
// reservation costs more than it saves. Best effort.
void reserve(int fd, std::int64_t size) {
    if (size >= reserve_min_size)
        ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size);
}

bool rename_exclusive(const char* from, const char* to) {
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0;
}

// An open-file-description lock belongs to this descriptor alone: no other close in
// the process drops it.
const int edit_lock_command = F_OFD_SETLK;

// Only the data and the size, not the times: a copy gets its times before it is
// published, and the sync of its folder takes them to the disk with its name.
bool sync_data(int fd) {
    return ::fdatasync(fd) == 0;
}

bool sync_folder(int fd) {
    return ::fsync(fd) == 0;
}

// A read lease cannot be taken while any program holds the file open for writing or
// maps it for writing, and a program that opens it for writing meanwhile breaks it: the
// kernel holds that program back until the lease goes, and sends SIGIO, whose default
// action would end the run; it is ignored, and the lease is looked at after the copy.
// Only the file's owner or a holder of CAP_LEASE may take one (EACCES otherwise), and
// some file systems keep none (EINVAL). Without a lease, an inotify watch sees every
// write() to the file, by its entry in /proc, which is the open file itself whatever its
// name is now.
bool input_guard::take(int fd) {
    [[maybe_unused]] static const auto breaks_ignored = std::signal(SIGIO, SIG_IGN);
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        leased_ = fd;
        return true;
    }
    if (errno != EACCES && errno != EINVAL)
        return false;
    watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    char open_file[32];
    std::snprintf(open_file, sizeof open_file, "/proc/self/fd/%d", fd);
    if (watch_ >= 0 && ::inotify_add_watch(watch_, open_file, IN_MODIFY) < 0) {
        ::close(watch_);
        watch_ = -1;
    }
    return true;
}

// A lease that a writer began to break reads as F_UNLCK; a watch that saw a write has an
// event to read.
bool input_guard::release_unwritten() {
    bool unwritten = true;
    if (leased_ >= 0) {
        unwritten = ::fcntl(leased_, F_GETLEASE) == F_RDLCK;
        ::fcntl(leased_, F_SETLEASE, F_UNLCK);
        leased_ = -1;
    }
    if (watch_ >= 0) {
        inotify_event event;
        unwritten = ::read(watch_, &event, sizeof event) < 0 && errno == EAGAIN;
        ::close(watch_);
        watch_ = -1;
    }
    return unwritten;
}

input_guard::~input_guard() {
    release_unwritten();
}

} // namespace platform::fast
