// The file-system calls on POSIX systems. Calls beyond the standard come from
// posix_fast_paths.hpp, with the standard way taken wherever those decline.
#include "platform/hidden_name.hpp"
#include "platform/path_parts.hpp"
#include "platform/platform.hpp"
#include "platform/posix_fast_paths.hpp"
#include "platform/posix_signals.hpp"
#include "platform/posix_stat_times.hpp"
#include "platform/time_step.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace platform {

const char* const path_separators = "/";

namespace {

constexpr std::size_t copy_buffer_size = 128 * 1024;

// Opens whichever of descriptors 0, 1 and 2 is closed on /dev/null, so that no file
// the tool opens later takes its number and receives messages. The open takes the
// lowest free number, which is the closed one.
void open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF && ::open("/dev/null", O_RDWR) != fd)
            std::_Exit(EXIT_FAILURE);
}

void remember_identity(const struct stat& status, working_file& file) {
    file.identity[0] = static_cast<std::uint64_t>(status.st_dev);
    file.identity[1] = static_cast<std::uint64_t>(status.st_ino);
}

// The size and times of a file as the tool keeps them.
struct file_state {
    std::int64_t size;
    file_times times;
    std::int64_t change_time[2];
};

file_state state_of(const struct stat& status) {
    const timespec accessed = access_time(status);
    const timespec modified = modification_time(status);
    const timespec changed = change_time(status);
    return {status.st_size,
            {{accessed.tv_sec, modified.tv_sec}, {accessed.tv_nsec, modified.tv_nsec}},
            {changed.tv_sec, changed.tv_nsec}};
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The longest name for a new file in `folder` and the longest path the system takes.
std::size_t longest_name_in(const std::string& folder) {
    const long longest = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    return longest > 0 ? std::min(static_cast<std::size_t>(longest), longest_portable_name)
                       : longest_portable_name;
}

std::size_t longest_path_in(const std::string& folder) {
    const long longest = ::pathconf(folder.c_str(), _PC_PATH_MAX);
    return longest > 0 ? static_cast<std::size_t>(longest) : longest_unfinished_path;
}

// A copy under a hidden name (see hidden_name), for file systems that will not make a
// file without a name. The name is shortened until it fits the folder's limits, which
// the output's own name meets. Created exclusively; kept for removal on interruption.
bool create_hidden(const char* output_path, mode_t mode, working_file& copy) {
    const std::string folder = folder_of(output_path);
    const std::size_t prefix = folder_prefix(output_path).size();
    // Without the terminator; the handler's copy of the path must hold it whole, too.
    const std::size_t path_room = std::min(longest_path_in(folder), longest_unfinished_path) - 1;
    const std::size_t longest =
        path_room > prefix ? std::min(longest_name_in(folder), path_room - prefix) : 0;
    const auto create = [mode](std::string path, working_file& file) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, mode);
        if (fd < 0)
            return errno == EEXIST ? hidden_create::name_taken : hidden_create::failed;
        file.file = fd;
        struct stat status;
        if (::fstat(fd, &status) != 0) {
            ::unlink(path.c_str());
            return hidden_create::failed;
        }
        remember_identity(status, file);
        file.temporary_name = std::move(path);
        set_unfinished_file(file.temporary_name, status);
        return hidden_create::created;
    };
    return create_under_hidden_name(output_path, static_cast<unsigned long>(::getpid()), longest,
                                    copy, create);
}

// Errors by which a system says that it makes no files without a name.
bool unnamed_refused(int error) {
    return error == EOPNOTSUPP || error == ENOTSUP || error == EISDIR || error == EINVAL ||
           error == ENOSYS;
}

// Errors by which a file system says that it cannot rename without replacing, or cannot
// link at all (FAT and exFAT through FUSE, many network shares). For a rename, EPERM is
// a refusal of this rename instead (a sticky folder, say).
bool exclusive_rename_unsupported(int error) {
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP;
}

bool link_unsupported(int error) {
    return error == EPERM || exclusive_rename_unsupported(error);
}

// Whether this process may remove a name of the file at `path`. In a folder with the
// sticky bit, as /tmp, only the owner of the file or of the folder may: a link made there
// to another user's file could then be neither completed nor undone.
bool name_removable(const char* path) {
    struct stat folder;
    struct stat file;
    if (::stat(folder_of(path).c_str(), &folder) != 0 || ::lstat(path, &file) != 0)
        return false;
    const uid_t self = ::geteuid();
    return (folder.st_mode & S_ISVTX) == 0 || self == 0 || self == file.st_uid ||
           self == folder.st_uid;
}

// Whether `path` names the file whose status is `status`.
bool names(const char* path, const struct stat& status) {
    struct stat named;
    return ::lstat(path, &named) == 0 && same_file(named, status);
}

// Reserves `to` with an empty file of the tool's own, created exclusively and held open,
// and renames `from` over it: only that reservation is ever replaced. Where another
// program has put a file of its own under `to` meanwhile, nothing is renamed, and the
// name counts as taken. Where `own` is given, `from` is checked once more to name it
// right before the rename, the last call before it: a program that swaps a file of its
// own in under `from` then has nothing renamed.
name_result rename_over_reservation(const char* from, const char* to, const working_file* own) {
    const int fd = ::open(to, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno == EEXIST ? name_result::name_taken : name_result::failed;
    struct stat reservation;
    if (::fstat(fd, &reservation) != 0) {
        ::close(fd);
        ::unlink(to);
        return name_result::failed;
    }
    name_result result = name_result::name_taken;
    if (names(to, reservation)) {
        if (own != nullptr && !is_named(*own, from))
            result = name_result::not_ours;
        else
            result = ::rename(from, to) == 0 ? name_result::done : name_result::failed;
        // Only the reservation goes: another program may have put its own file there.
        if (result != name_result::done && names(to, reservation))
            ::unlink(to);
    }
    ::close(fd);
    return result;
}

// What the file system of a folder refused, learned from the renames there: later
// renames in that folder go straight to the way that works, since every call asked in
// vain widens the moment in which another program can swap the file.
struct folder_refusals {
    std::string folder;
    bool exclusive_rename = false;
    bool link = false;
};

folder_refusals refused;

// Moves exactly `count` bytes at `offset` with `transfer` (pread or pwrite), however
// many calls that takes; false on an error or a transfer that moves nothing.
template <typename Byte, typename Transfer>
bool transfer_all_at(Transfer transfer, int fd, std::int64_t offset, Byte* at, std::size_t count) {
    while (count > 0) {
        const ssize_t moved = transfer(fd, at, count, offset);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved <= 0)
            return false;
        at += moved;
        offset += moved;
        count -= static_cast<std::size_t>(moved);
    }
    return true;
}

bool read_all_at(int fd, std::int64_t offset, void* bytes, std::size_t count) {
    return transfer_all_at(::pread, fd, offset, static_cast<char*>(bytes), count);
}

bool write_all_at(int fd, std::int64_t offset, const void* bytes, std::size_t count) {
    return transfer_all_at(::pwrite, fd, offset, static_cast<const char*>(bytes), count);
}

// Copies from `copied` up to `size` with reads and writes at explicit offsets; stops
// early where the input ends.
bool copy_by_read_write(int in, int out, std::int64_t size, std::int64_t& copied) {
    const std::unique_ptr<char[]> buffer{new (std::nothrow) char[copy_buffer_size]};
    if (!buffer)
        return false;
    while (copied < size) {
        const auto wanted =
            static_cast<std::size_t>(std::min<std::int64_t>(size - copied, copy_buffer_size));
        const ssize_t got = ::pread(in, buffer.get(), wanted, copied);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        if (!write_all_at(out, copied, buffer.get(), static_cast<std::size_t>(got)))
            return false;
        copied += got;
    }
    return true;
}

int fd_of(const working_file& file) {
    return static_cast<int>(file.file);
}

} // namespace

working_file::~working_file() {
    close_file(*this);
}

void prepare_process() {
    open_standard_descriptors();
    // Past a file-size limit a write then fails with EFBIG and is reported like any
    // other failed write, instead of the signal ending the run.
    std::signal(SIGXFSZ, SIG_IGN);
}

bool open_input(const char* path, input_file& input) {
    // Without O_NONBLOCK the open of a named pipe waits for a writer, for good.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return false;
    }
    input.stream.reset(::fdopen(fd, "rb"));
    if (!input.stream) {
        ::close(fd);
        return false;
    }
    std::setvbuf(input.stream.get(), input.stream_buffer, _IOFBF, sizeof input.stream_buffer);
    input.file = fd;
    const file_state state = state_of(status);
    input.size = state.size;
    input.permissions = status.st_mode & 0777;
    input.times = state.times;
    input.change_time[0] = state.change_time[0];
    input.change_time[1] = state.change_time[1];
    return true;
}

bool name_exists(const char* path) {
    struct stat status;
    return ::lstat(path, &status) == 0;
}

bool name_can_be_made(const char* path, const char* beside) {
    const std::string folder = folder_of(path);
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        return false;
    // _PC_NAME_MAX counts bytes, where exFAT and NTFS allow 255 UTF-16 units: 84 Japanese
    // characters fit there in 252 bytes. A name as long as one that exists there fits.
    const std::size_t length = std::strlen(name_part(path));
    if (length <= std::strlen(name_part(beside)))
        return true;
    errno = 0;
    const long longest = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    return (longest < 0 && errno == 0) || length <= static_cast<std::size_t>(longest);
}

bool create_copy(const char* output_path, const input_file& input, working_file& copy) {
    const auto mode = static_cast<mode_t>(input.permissions);
    int fd = -1;
    if (fast::open_unnamed(folder_of(output_path).c_str(), mode, fd)) {
        copy.file = fd;
        return true;
    }
    return unnamed_refused(errno) && create_hidden(output_path, mode, copy);
}

namespace {

// An input written within the last step of its file system's clock is read once that
// step is over (see wait_for_time_step), so that any write during the copy moves its time.
void wait_out_time_step(const input_file& input) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t wait = wait_for_time_step(input.times.seconds[1], input.times.nanoseconds[1],
                                                 now.tv_sec, now.tv_nsec);
    timespec left{static_cast<time_t>(wait / 1'000'000'000),
                  static_cast<long>(wait % 1'000'000'000)};
    while (wait > 0 && ::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // namespace

// A copy of an input that another program wrote to meanwhile could hold parts of two
// versions: the copy is dropped when a writer held the input or came to it while it was
// read (see fast::input_guard), and, like an archiver, when the input's size,
// modification time or change time moved. Where no guard can be had, an input written
// a moment ago is read once its time step is over.
bool copy_contents(const input_file& input, working_file& copy) {
    const int in = static_cast<int>(input.file);
    fast::input_guard guard;
    if (!guard.take(in))
        return false;
    if (!guard.held())
        wait_out_time_step(input);
    fast::reserve(fd_of(copy), input.size);
    std::int64_t copied = 0;
    const bool whole =
        fast::kernel_copy(in, fd_of(copy), input.size, copied) &&
        (copied == input.size || copy_by_read_write(in, fd_of(copy), input.size, copied)) &&
        copied == input.size;
    if (!guard.release_unwritten() || !whole)
        return false;
    struct stat status;
    if (::fstat(in, &status) != 0)
        return false;
    const file_state after = state_of(status);
    return after.size == input.size && after.times.seconds[1] == input.times.seconds[1] &&
           after.times.nanoseconds[1] == input.times.nanoseconds[1] &&
           after.change_time[0] == input.change_time[0] &&
           after.change_time[1] == input.change_time[1];
}

// Takes the edit lock on `fd` without waiting; fails with EAGAIN or EACCES while another
// run holds it.
bool lock_for_edit(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(edit_lock_offset);
    lock.l_len = 1;
    return ::fcntl(fd, fast::edit_lock_command, &lock) == 0;
}

bool open_for_update(const char* path, working_file& file) {
    const int fd = ::open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    file.file = fd;
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    remember_identity(status, file);
    // Only another holder refuses the lock; where the file system keeps no locks at all,
    // the edit goes on as it would without.
    return lock_for_edit(fd) || (errno != EAGAIN && errno != EACCES);
}

bool is_named(const working_file& file, const char* path) {
    struct stat named;
    return ::lstat(path, &named) == 0 &&
           static_cast<std::uint64_t>(named.st_dev) == file.identity[0] &&
           static_cast<std::uint64_t>(named.st_ino) == file.identity[1];
}

bool read_at(const working_file& file, std::int64_t offset, void* bytes, std::size_t count) {
    return read_all_at(fd_of(file), offset, bytes, count);
}

bool write_at(const working_file& file, std::int64_t offset, const void* bytes, std::size_t count) {
    return write_all_at(fd_of(file), offset, bytes, count);
}

void keep_times(const working_file& file, const file_times& times) {
    const timespec both[2] = {{times.seconds[0], times.nanoseconds[0]},
                              {times.seconds[1], times.nanoseconds[1]}};
    ::futimens(fd_of(file), both);
}

bool sync_data(const working_file& file) {
    return fast::sync_data(fd_of(file));
}

namespace {

// The folder of the last names made, open until it is synced; -1: none.
struct named_folder {
    named_folder() = default;
    named_folder(const named_folder&) = delete;
    named_folder& operator=(const named_folder&) = delete;
    ~named_folder() { sync(); }

    void sync() {
        if (fd < 0)
            return;
        set_unsynced_folder(-1);
        fast::sync_folder(fd);
        ::close(fd);
        fd = -1;
    }

    std::string path;
    int fd = -1;
};

named_folder last_named;

} // namespace

// A folder that cannot be opened for reading, which the system requires for its sync, is
// left to the file system's own schedule.
void named_in_folder_of(const char* path) {
    std::string folder = folder_of(path);
    if (last_named.fd >= 0 && folder == last_named.path)
        return;
    last_named.sync();
    last_named.fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    last_named.path = std::move(folder);
    set_unsynced_folder(last_named.fd);
}

void sync_names() {
    last_named.sync();
}

// A hidden name that no longer names the copy holds another program's file, which stays;
// the copy itself then goes with its descriptor. A link of the unnamed copy names the
// copy itself, by its descriptor.
name_result publish(working_file& copy, const char* path) {
    if (!copy.temporary_name.empty()) {
        const ending_signals_deferred deferred;
        const name_result result = rename_own_file(copy, copy.temporary_name.c_str(), path);
        if (result == name_result::done || result == name_result::not_ours) {
            set_unfinished_file({}, {});
            copy.temporary_name.clear();
        }
        return result;
    }
    if (fast::link_unnamed(fd_of(copy), path))
        return name_result::done;
    return errno == EEXIST ? name_result::name_taken : name_result::failed;
}

bool close_file(working_file& file) {
    bool closed = true;
    if (file.file != no_file) {
        closed = ::close(fd_of(file)) == 0;
        file.file = no_file;
    }
    if (!file.temporary_name.empty()) {
        if (is_named(file, file.temporary_name.c_str()))
            ::unlink(file.temporary_name.c_str());
        set_unfinished_file({}, {});
        file.temporary_name.clear();
    }
    return closed;
}

void remove_name(const char* path) {
    ::unlink(path);
}

name_result rename_no_replace(const char* from, const char* to, const working_file* own) {
    if (std::string folder = folder_of(to); folder != refused.folder)
        refused = {std::move(folder)};
    if (!refused.exclusive_rename) {
        if (fast::rename_exclusive(from, to))
            return name_result::done;
        if (errno == EEXIST)
            return name_result::name_taken;
        if (!exclusive_rename_unsupported(errno))
            return name_result::failed;
        refused.exclusive_rename = true;
    }
    // A hard link fails on an existing name just the same; then the old name goes, where
    // it surely can. An interruption never leaves the file under both names, or a
    // reservation behind.
    const ending_signals_deferred deferred;
    if (!refused.link && name_removable(from)) {
        if (::link(from, to) == 0) {
            if (::unlink(from) == 0)
                return name_result::done;
            ::unlink(to);
            return name_result::failed;
        }
        if (errno == EEXIST)
            return name_result::name_taken;
        if (!link_unsupported(errno))
            return name_result::failed;
        refused.link = true;
    }
    return rename_over_reservation(from, to, own);
}

} // namespace platform
