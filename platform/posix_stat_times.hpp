// The access, modification and change times of a file's status. Linux and the BSDs name
// these fields st_atim, st_mtim and st_ctim, macOS st_atimespec, st_mtimespec and
// st_ctimespec; each accessor takes whichever the system's struct stat has.
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

template <typename Status> timespec change_time(const Status& status) {
    if constexpr (requires { status.st_ctimespec; })
        return status.st_ctimespec;
    else
        return status.st_ctim;
}

} // namespace platform
