// The syncs of posix_fast_paths.hpp for a POSIX system whose fsync reaches the disk.
#include "platform/posix_fast_paths.hpp"

#include <unistd.h>

namespace platform::fast {

bool sync_data(int fd) {
    return ::fsync(fd) == 0;
}

bool sync_folder(int fd) {
    return ::fsync(fd) == 0;
}

} // namespace platform::fast
