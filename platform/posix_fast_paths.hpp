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

// Waits until the bytes written to `fd` are on the disk, with what the file system needs
// to read them back after a power cut; false when they may not be there.
bool sync_data(int fd);

// Waits until the names in the open folder `fd` are on the disk.
bool sync_folder(int fd);

// What tells a copy that no other program wrote to its input while it was read: a read
// lease, which keeps every writer out, or failing that a watch for writes. Neither is
// held where the system offers neither, and the caller then relies on the input's times.
class input_guard {
  public:
    input_guard() = default;
    input_guard(const input_guard&) = delete;
    input_guard& operator=(const input_guard&) = delete;
    ~input_guard(); // releases what is still held

    bool held() const { return leased_ >= 0 || watch_ >= 0; }
    // Takes the guard on the read-only descriptor `fd`; false when a writer holds the
    // file right now, or the guard failed otherwise.
    bool take(int fd);
    // Whether nothing was written since take; releases the guard at once.
    bool release_unwritten();

  private:
    int leased_ = -1; // the leased descriptor
    int watch_ = -1;  // an inotify descriptor watching the file
};

} // namespace platform::fast
