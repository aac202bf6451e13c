// The access and modification times of a file's status. Linux and the BSDs name these
// fields st_atim and st_mtim, macOS st_atimespec and st_mtimespec; each accessor takes
// whichever the system's struct stat has.
#pragma once

#include <ctime>

namespace platform {

template <typename Status> timespec access_time(const Status& status) {
    if constexpr (requires { status.st_atimespec; })
        return status.st_atimespec;
    else
        return status.st_atim;
}

template <typename Status> timespec modification_time(const Status& status) {
    if constexpr (requires { status.st_mtimespec; })
        return status.st_mtimespec;
    else
        return status.st_mtim;
}

} // namespace platform
