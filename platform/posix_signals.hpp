// The signal handling of posix.cpp: what a run ended by a signal removes or syncs first,
// and the deferral of such signals while a file is being finished.
#pragma once

#include <cstddef>
#include <string>
#include <sys/stat.h>

namespace platform {

// The longest path, terminator included, that the unfinished file may have.
constexpr std::size_t longest_unfinished_path = 4096;

// Makes `path`, the file of `status`, the unfinished file that a run ended by a signal
// removes before it ends, as long as the name still holds that file; an empty path: none.
void set_unfinished_file(const std::string& path, const struct stat& status);

// Makes the open folder `fd` the one whose names a run ended by a signal syncs before it
// ends; -1: none.
void set_unsynced_folder(int fd);

} // namespace platform
