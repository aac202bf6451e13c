// Calls that some POSIX systems offer beyond the standard, for posix.cpp. Each returns
// false, with errno set, where the system or the file system does not do it, and
// posix.cpp then takes the standard way.
#pragma once

#include <cstdint>
#include <sys/types.h>

namespace platform::fast {

// Opens a new file in `folder` that has no name, with `mode` under the mask.
bool open_unnamed(const char* folder, mode_t mode, int& fd);

// Gives the unnamed file `fd` the name `path`; fails with EEXIST where a name exists.
bool link_unnamed(int fd, const char* path);

// Copies up to `size` bytes from `in` to `out`, both from offset 0, inside the kernel.
// Sets `copied` to what it moved: less than `size` where the kernel declines or the
// input ends early, and the caller then reads on from there. False when a copy fails.
bool kernel_copy(int in, int out, std::int64_t size, std::int64_t& copied);

// Reserves room for `size` bytes without changing the file's size, where that helps.
void reserve(int fd, std::int64_t size);

// Renames without replacing an existing name; fails with EEXIST when one exists, and
// with ENOSYS where the system cannot rename that way.
bool rename_exclusive(const char* from, const char* to);

// The fcntl command that takes the edit lock, held until the descriptor is closed.
extern const int edit_lock_command;

} // namespace platform::fast
