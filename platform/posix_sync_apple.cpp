// The syncs of posix_fast_paths.hpp on macOS, whose fsync leaves the bytes in the disk's
// own cache: F_FULLFSYNC flushes that too, where the file system can, and fsync is the
// fallback where it cannot.
#include "platform/posix_fast_paths.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace platform::fast {

bool sync_data(int fd) {
    return ::fcntl(fd, F_FULLFSYNC) == 0 || ::fsync(fd) == 0;
}

bool sync_folder(int fd) {
    return sync_data(fd);
}

} // namespace platform::fast
