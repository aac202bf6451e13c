// Every file-system call the tool makes, behind one interface with one implementation
// per system (posix.cpp, windows.cpp).
#pragma once

#include "platform/io.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// A descriptor on POSIX systems, a handle on Windows; no_file when none is held.
using native_file = std::intptr_t;
constexpr native_file no_file = -1;

// Characters that end a folder name in a path.
extern const char* const path_separators;

// Access and modification time, in seconds and nanoseconds since 1970.
struct file_times {
    std::int64_t seconds[2];
    std::int64_t nanoseconds[2];
};

// The input as opened for the check pass. The copy is made from this same open file,
// so the bytes checked are the bytes copied.
struct input_file {
    char stream_buffer[4096];   // the stream's own, so opening it asks the system nothing
    stream_handle stream;       // binary, read-only; owns the file
    native_file file = no_file; // the file under `stream`, for the copy
    std::int64_t size = 0;      // at the open
    unsigned permissions = 0;   // permission bits; the nearest a system has
    file_times times{};         // before this run read the file
    // The time of the last change to the file or its attributes at the open, as the
    // system counts it (seconds and nanoseconds; on Windows, 100 ns ticks first); with
    // `size` and the modification time it tells an input that changed meanwhile.
    std::int64_t change_time[2] = {0, 0};
};

// The byte that an edit in place locks: far beyond the end of any real file, where the
// lock keeps other runs out of the edit and blocks no reader or writer, even on systems
// that enforce locks.
constexpr std::int64_t edit_lock_offset = std::int64_t{1} << 62;

// The file the edit pass works on: a new copy that has no name of its own until it is
// published, or the input opened for update. Whatever has not been published is
// removed when the object goes.
struct working_file {
    working_file() = default;
    working_file(const working_file&) = delete;
    working_file& operator=(const working_file&) = delete;
    ~working_file();

    native_file file = no_file;
    std::string temporary_name; // a copy's hidden name until it is published, if it has one
    // What tells this file from any other whatever its name: the device and file number,
    // or the volume serial number and file id. Set where the file is checked by name.
    std::uint64_t identity[2] = {0, 0};
};

enum class name_result {
    done,       // the file now has the name
    name_taken, // something exists under the name already
    failed,     // any other failure; errno or the last error says which
    not_ours,   // another program put a file of its own under the old or the new name:
                // that file is left where it is (see rename_own_file)
};

// Sets up the process before anything else runs: the standard streams open and in
// binary mode, and a file-size limit reported as a failed write rather than a signal.
void prepare_process();

// While one of these lives, a signal (on Windows, a console event) that would end the
// run is held back; it acts as soon as the last of them goes. A file that is being
// finished is then either left as it was or finished, never half way. Nestable. The
// first one of a run sets up the handling of those signals, which also removes a copy's
// hidden name when a signal ends the run: a run that never needs either (copies without
// a name, as on ext4 and XFS) spends no system call on it.
class ending_signals_deferred {
  public:
    ending_signals_deferred();
    ~ending_signals_deferred();
    ending_signals_deferred(const ending_signals_deferred&) = delete;
    ending_signals_deferred& operator=(const ending_signals_deferred&) = delete;
};

// Opens a regular file for reading, without waiting on a pipe or a device. False when
// it cannot be opened or is not a regular file.
bool open_input(const char* path, input_file& input);

// True when anything at all exists under `path`, a dangling link included. Opens
// nothing.
bool name_exists(const char* path);

// Whether a file named `path` could be made: its folder can be written and the name is
// not too long for the file system. A name no longer than that of `beside`, which exists
// in the same folder, is never too long: the folder's limits count names in units that
// differ from one file system to the next.
bool name_can_be_made(const char* path, const char* beside);

// Creates the new copy for `output_path` in that path's folder, with the input's
// permission bits (under the process's mask) and no name of its own yet, or a hidden
// temporary name where the file system insists on a name. The hidden name keeps within
// the file system's limits whenever `output_path` does.
bool create_copy(const char* output_path, const input_file& input, working_file& copy);

// Copies the whole input into the new copy. False when a read or write fails or the
// input holds fewer bytes than it had when it was opened.
bool copy_contents(const input_file& input, working_file& copy);

// Opens the file at `path` for reading and writing in place, and for renaming while it
// is open: on Windows that fails at once when another program holds the file open in a
// way that would refuse the rename. The file is locked until it is closed, so that one
// run at a time edits it; the open fails when another run holds the lock. The lock lies
// far beyond the end of any file, where it blocks no reader.
bool open_for_update(const char* path, working_file& file);

// Whether `path` names the open `file` (the same device and file number; on Windows the
// same volume serial number and file id).
bool is_named(const working_file& file, const char* path);

// Reads or writes exactly `count` bytes at `offset`; false on any shortfall.
bool read_at(const working_file& file, std::int64_t offset, void* bytes, std::size_t count);
bool write_at(const working_file& file, std::int64_t offset, const void* bytes, std::size_t count);

// Gives the file the times of the input. Best effort: the file is whole either way.
void keep_times(const working_file& file, const file_times& times);

// Waits until the bytes written to `file` are on the disk, so that a power cut after it
// is named never leaves the name with other bytes: a copy's before it is published, an
// edit's before the rename. False when the system says that they may not be there.
bool sync_data(const working_file& file);

// The names that a run makes reach the disk folder by folder: the folder of `path`, a
// name just made, is synced once a name is made in another folder, when the run ends
// (sync_names), or when a signal ends it. Best effort: a folder that cannot be opened,
// or synced, is left to the file system's own schedule.
void named_in_folder_of(const char* path);
void sync_names();

// Gives the new copy the name `path`, never replacing anything there. not_ours when,
// after all, `path` does not name the copy: another program swapped a file of its own in.
name_result publish(working_file& copy, const char* path);

// Closes the file, published or not; false when the close reports a failure. An
// unpublished copy is removed.
bool close_file(working_file& file);

// Removes a published copy again, after its close failed.
void remove_name(const char* path);

// Renames `from` to `to` unless something exists under `to`; never replaces a file.
// `from` may be open. Where the file system can neither link nor rename without
// replacing, `to` is first reserved by creating it exclusively, and the rename then
// replaces only that empty file of the tool's own, checked to be still there just
// before, as `from` is checked to name `own`, where given (not_ours otherwise). A file
// that another program puts under either name between those checks and the rename is
// renamed or replaced: such file systems offer no way to close that gap. What a folder's
// file system refuses is asked once.
name_result rename_no_replace(const char* from, const char* to, const working_file* own = nullptr);

// rename_no_replace for the open `file`: nothing is renamed unless `from` still names it,
// and the result is not_ours when `to` does not name it afterwards. Either way another
// program put a file of its own there, which is left where it is.
inline name_result rename_own_file(const working_file& file, const char* from, const char* to) {
    if (!is_named(file, from))
        return name_result::not_ours;
    const name_result result = rename_no_replace(from, to, &file);
    return result == name_result::done && !is_named(file, to) ? name_result::not_ours : result;
}

// True when the run's console goes away with the run, messages and all: the process is
// the only one attached to it, its window is visible, and standard input and standard
// error are that console, as when the program is double-clicked or files are dropped
// on it in a file manager. False wherever a shell, a script or a redirection keeps the
// messages.
bool console_closes_with_run();

// Waits until a key is pressed on the console of standard input.
void wait_for_key();

} // namespace platform
