// The calls of posix_fast_paths.hpp for a POSIX system that has none of them: each
// declines, and posix.cpp takes the standard way. The syncs are in a source of each
// system's own.
#include "platform/posix_fast_paths.hpp"

#include <cerrno>
#include <fcntl.h>

namespace platform::fast {

bool open_unnamed(const char*, mode_t, int&) {
    errno = EOPNOTSUPP;
    return false;
}

bool link_unnamed(int, const char*) {
    errno = EOPNOTSUPP;
    return false;
}

bool kernel_copy(int, int, std::int64_t, std::int64_t& copied) {
    copied = 0;
    return true;
}

void reserve(int, std::int64_t) {}

bool rename_exclusive(const char*, const char*) {
    errno = ENOSYS;
    return false;
}

// A record lock, the one every POSIX system has. It belongs to the process, and any
// close of the same file by the process drops it: the driver has closed the input
// before the file is opened for the edit.
const int edit_lock_command = F_SETLK;

// No lease and no watch: the copy relies on the input's times.
bool input_guard::take(int) {
    return true;
}

bool input_guard::release_unwritten() {
    return true;
}

input_guard::~input_guard() = default;

} // namespace platform::fast
