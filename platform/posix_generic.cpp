// The calls of posix_fast_paths.hpp for a POSIX system that has none of them: each
// declines, and posix.cpp takes the standard way.
#include "platform/posix_fast_paths.hpp"

#include <cerrno>

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

} // namespace platform::fast
