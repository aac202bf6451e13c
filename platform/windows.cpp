// The file-system calls on Windows. Paths arrive as UTF-8 and go to the wide API as
// UTF-16; a copy is made under a hidden temporary name in the output's folder and
// renamed once it is whole, since Windows makes no file without a name.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include "platform/hidden_name.hpp"
#include "platform/path_parts.hpp"
#include "platform/platform.hpp"
#include "platform/time_step.hpp"
#include "platform/windows_handle.hpp"
#include "platform/windows_parts.hpp"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <memory>
#include <new>
#include <string>

namespace platform {

namespace {

constexpr std::size_t copy_buffer_size = 128 * 1024;
constexpr DWORD largest_transfer = DWORD{1} << 30;
constexpr DWORD default_name_max = 255;

// FILETIME counts 100 ns ticks since 1601.
constexpr std::int64_t ticks_per_second = 10'000'000;
constexpr std::int64_t nanoseconds_per_tick = 100;
constexpr std::int64_t ticks_1601_to_1970 = 116'444'736'000'000'000;

constexpr DWORD every_share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

constexpr unsigned read_only_permissions = 0444;
constexpr unsigned writable_permissions = 0666;

// A regular file on a disk: not a folder, a console, a pipe or another device. The
// information is asked first: wine updates the access time when it is asked the type.
bool is_disk_file(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
    return ::GetFileInformationByHandle(handle, &info) && ::GetFileType(handle) == FILE_TYPE_DISK &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::int64_t ticks_of(const FILETIME& time) {
    return static_cast<std::int64_t>(std::uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime);
}

void store_identity(const BY_HANDLE_FILE_INFORMATION& info, std::uint64_t (&identity)[2]) {
    identity[0] = info.dwVolumeSerialNumber;
    identity[1] = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
}

// The file's last change, to its bytes or its attributes, in ticks; -1 when not known.
std::int64_t change_ticks(HANDLE file) {
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic))
        return -1;
    return basic.ChangeTime.QuadPart;
}

void store_time(const FILETIME& time, file_times& times, int which) {
    const std::int64_t since_1970 = ticks_of(time) - ticks_1601_to_1970;
    std::int64_t seconds = since_1970 / ticks_per_second;
    std::int64_t ticks = since_1970 % ticks_per_second;
    if (ticks < 0) {
        ticks += ticks_per_second;
        --seconds;
    }
    times.seconds[which] = seconds;
    times.nanoseconds[which] = ticks * nanoseconds_per_tick;
}

FILETIME filetime_of(std::int64_t seconds, std::int64_t nanoseconds) {
    const auto ticks = static_cast<std::uint64_t>(
        seconds * ticks_per_second + nanoseconds / nanoseconds_per_tick + ticks_1601_to_1970);
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

OVERLAPPED overlapped_at(std::int64_t offset) {
    OVERLAPPED at{};
    const auto position = static_cast<std::uint64_t>(offset);
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    return at;
}

DWORD transfer_size(std::size_t count) {
    return static_cast<DWORD>(std::min<std::size_t>(count, largest_transfer));
}

// One read at `offset`; `got` is 0 at the end of the file.
bool read_some_at(HANDLE file, std::int64_t offset, void* bytes, DWORD count, DWORD& got) {
    OVERLAPPED at = overlapped_at(offset);
    got = 0;
    return ::ReadFile(file, bytes, count, &got, &at) || ::GetLastError() == ERROR_HANDLE_EOF;
}

bool read_all_at(HANDLE file, std::int64_t offset, void* bytes, std::size_t count) {
    auto* at = static_cast<char*>(bytes);
    while (count > 0) {
        DWORD got = 0;
        if (!read_some_at(file, offset, at, transfer_size(count), got) || got == 0)
            return false;
        at += got;
        offset += got;
        count -= got;
    }
    return true;
}

bool write_all_at(HANDLE file, std::int64_t offset, const void* bytes, std::size_t count) {
    const auto* at = static_cast<const char*>(bytes);
    while (count > 0) {
        OVERLAPPED position = overlapped_at(offset);
        DWORD written = 0;
        if (!::WriteFile(file, at, transfer_size(count), &written, &position) || written == 0)
            return false;
        at += written;
        offset += written;
        count -= written;
    }
    return true;
}

// The folder opened with the right to add a file to it, which the system grants only
// where a file may be made there; not valid otherwise.
owned_handle open_to_add_file(const std::wstring& folder) {
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return owned_handle{INVALID_HANDLE_VALUE};
    return owned_handle{::CreateFileW(folder.c_str(), FILE_ADD_FILE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
}

// The longest name, in UTF-16 units, that the file system of the open `folder` takes.
// Asked through the handle, which reads no volume label.
DWORD longest_name_in(HANDLE folder) {
    DWORD longest = 0;
    if (::GetVolumeInformationByHandleW(folder, nullptr, 0, nullptr, &longest, nullptr, nullptr,
                                        0) &&
        longest > 0)
        return longest;
    return default_name_max;
}

// The published copy is shown again: it keeps every attribute but the hidden one. The
// times are left as keep_times set them.
bool show_copy(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(file, &info))
        return false;
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = info.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_HIDDEN};
    if (basic.FileAttributes == 0)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return ::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
}

name_result move_no_replace(const std::wstring& from, const std::wstring& to) {
    if (::MoveFileExW(from.c_str(), to.c_str(), 0))
        return name_result::done;
    const DWORD error = ::GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? name_result::name_taken
                                                                       : name_result::failed;
}

} // namespace

// A file name's deletion fails while its read-only attribute is set; the attribute
// goes first then.
void delete_file(const wchar_t* name) {
    if (::DeleteFileW(name) || ::GetLastError() != ERROR_ACCESS_DENIED)
        return;
    if (::SetFileAttributesW(name, FILE_ATTRIBUTE_NORMAL))
        ::DeleteFileW(name);
}

working_file::~working_file() {
    close_file(*this);
}

// Others may read, write, rename and remove the file meanwhile, as on other systems;
// sharing all of it also lets open_for_update open it while this handle is still open.
bool open_input(const char* path, input_file& input) {
    std::wstring wide;
    if (!system_path(path, wide))
        return false;
    owned_handle opened{::CreateFileW(wide.c_str(), GENERIC_READ, every_share, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    BY_HANDLE_FILE_INFORMATION info;
    if (!opened.valid() || !is_disk_file(opened.get(), info))
        return false;
    const int fd = ::_open_osfhandle(native_of(opened.get()), _O_RDONLY | _O_BINARY);
    if (fd < 0)
        return false;
    const HANDLE handle = opened.release();
    input.stream.reset(::_fdopen(fd, "rb"));
    if (!input.stream) {
        ::_close(fd);
        return false;
    }
    std::setvbuf(input.stream.get(), input.stream_buffer, _IOFBF, sizeof input.stream_buffer);
    input.file = native_of(handle);
    input.size =
        static_cast<std::int64_t>(std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow);
    // The read-only attribute is the one permission a file has here.
    input.permissions = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0
                            ? read_only_permissions
                            : writable_permissions;
    store_time(info.ftLastAccessTime, input.times, 0);
    store_time(info.ftLastWriteTime, input.times, 1);
    input.change_time[0] = change_ticks(handle);
    return true;
}

bool name_exists(const char* path) {
    std::wstring wide;
    if (!system_path(path, wide))
        return false;
    // A file that the system keeps open, such as the paging file, cannot even be asked
    // for its attributes; it exists all the same.
    return ::GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES ||
           ::GetLastError() == ERROR_SHARING_VIOLATION;
}

bool name_can_be_made(const char* path, const char* beside) {
    std::wstring folder;
    std::wstring name;
    std::wstring existing;
    if (!system_path(folder_of(path).c_str(), folder) || !to_wide(name_part(path), name) ||
        !to_wide(name_part(beside), existing))
        return false;
    const owned_handle opened = open_to_add_file(folder);
    return opened.valid() &&
           (name.size() <= existing.size() || name.size() <= longest_name_in(opened.get()));
}

// A copy under a hidden name (see hidden_name) with the hidden attribute. A copy of a
// read-only input is read-only too. Others may read it, and the console control handler
// may remove it while it is open.
bool create_copy(const char* output_path, const input_file& input, working_file& copy) {
    const DWORD attributes =
        FILE_ATTRIBUTE_HIDDEN |
        (input.permissions == read_only_permissions ? FILE_ATTRIBUTE_READONLY : 0);
    const auto create = [attributes](std::string path, working_file& file) {
        std::wstring wide;
        if (!system_path(path.c_str(), wide))
            return hidden_create::failed;
        const HANDLE created = ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                             CREATE_NEW, attributes, nullptr);
        if (created == INVALID_HANDLE_VALUE) {
            const DWORD error = ::GetLastError();
            return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS
                       ? hidden_create::name_taken
                       : hidden_create::failed;
        }
        BY_HANDLE_FILE_INFORMATION info;
        if (!::GetFileInformationByHandle(created, &info)) {
            ::CloseHandle(created);
            delete_file(wide.c_str());
            return hidden_create::failed;
        }
        file.file = native_of(created);
        file.temporary_name = std::move(path);
        set_pending_name(wide);
        store_identity(info, file.identity);
        return hidden_create::created;
    };
    return create_under_hidden_name(output_path, ::GetCurrentProcessId(), longest_portable_name,
                                    copy, create);
}

namespace {

// An input written within the last step of its file system's clock is read once that
// step is over (see wait_for_time_step), so that any write during the copy moves its time.
void wait_out_time_step(const input_file& input) {
    FILETIME now_time;
    ::GetSystemTimePreciseAsFileTime(&now_time);
    file_times now{};
    store_time(now_time, now, 1);
    const std::int64_t wait = wait_for_time_step(input.times.seconds[1], input.times.nanoseconds[1],
                                                 now.seconds[1], now.nanoseconds[1]);
    if (wait > 0)
        ::Sleep(static_cast<DWORD>(wait / 1'000'000 + 1));
}

} // namespace

// Writers are kept out while the copy is read: a second handle to the input that shares
// no writing cannot be opened while another program holds the input for writing, a
// mapping included (the copy fails then), and while it is open no program can open the
// input so. Where the system gives no such handle (some network shares), the copy
// relies on the input's times.
bool copy_contents(const input_file& input, working_file& copy) {
    const owned_handle guard{
        ::ReOpenFile(handle_of(input.file), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, 0)};
    if (!guard.valid() && ::GetLastError() == ERROR_SHARING_VIOLATION)
        return false;
    if (!guard.valid())
        wait_out_time_step(input);
    const std::unique_ptr<char[]> buffer{new (std::nothrow) char[copy_buffer_size]};
    if (!buffer)
        return false;
    const HANDLE in = guard.valid() ? guard.get() : handle_of(input.file);
    const HANDLE out = handle_of(copy.file);
    for (std::int64_t copied = 0; copied < input.size;) {
        const auto wanted =
            static_cast<DWORD>(std::min<std::int64_t>(input.size - copied, copy_buffer_size));
        DWORD got = 0;
        if (!read_some_at(in, copied, buffer.get(), wanted, got) || got == 0 ||
            !write_all_at(out, copied, buffer.get(), got))
            return false;
        copied += got;
    }
    // A copy of an input that another program wrote to meanwhile could hold parts of two
    // versions: like an archiver, the copy is dropped when the input's size, last write
    // or last change moved while it was read.
    LARGE_INTEGER size;
    FILE_BASIC_INFO basic{};
    if (!::GetFileSizeEx(in, &size) ||
        !::GetFileInformationByHandleEx(in, FileBasicInfo, &basic, sizeof basic))
        return false;
    const FILETIME written{basic.LastWriteTime.LowPart,
                           static_cast<DWORD>(basic.LastWriteTime.HighPart)};
    file_times now{};
    store_time(written, now, 1);
    return size.QuadPart == input.size && now.seconds[1] == input.times.seconds[1] &&
           now.nanoseconds[1] == input.times.nanoseconds[1] &&
           basic.ChangeTime.QuadPart == input.change_time[0];
}

// With the right to delete, the open fails while another program holds the file open
// without sharing its deletion, which would refuse the rename after the edit; and while
// this handle is open, no program can open it that way.
bool open_for_update(const char* path, working_file& file) {
    std::wstring wide;
    if (!system_path(path, wide))
        return false;
    const HANDLE opened =
        ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, every_share, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return false;
    file.file = native_of(opened);
    BY_HANDLE_FILE_INFORMATION info;
    if (!is_disk_file(opened, info))
        return false;
    store_identity(info, file.identity);
    // Only another holder refuses the lock; where the file system keeps no locks at all,
    // the edit goes on as it would without.
    OVERLAPPED at = overlapped_at(edit_lock_offset);
    return ::LockFileEx(opened, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                        &at) ||
           ::GetLastError() != ERROR_LOCK_VIOLATION;
}

bool is_named(const working_file& file, const char* path) {
    std::wstring wide;
    if (!system_path(path, wide))
        return false;
    const owned_handle named{
        ::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, every_share, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)};
    BY_HANDLE_FILE_INFORMATION info;
    if (!named.valid() || !::GetFileInformationByHandle(named.get(), &info))
        return false;
    std::uint64_t found[2];
    store_identity(info, found);
    return found[0] == file.identity[0] && found[1] == file.identity[1];
}

bool read_at(const working_file& file, std::int64_t offset, void* bytes, std::size_t count) {
    return read_all_at(handle_of(file.file), offset, bytes, count);
}

bool write_at(const working_file& file, std::int64_t offset, const void* bytes, std::size_t count) {
    return write_all_at(handle_of(file.file), offset, bytes, count);
}

// The file system keeps times to 100 ns; finer parts are dropped.
void keep_times(const working_file& file, const file_times& times) {
    const FILETIME accessed = filetime_of(times.seconds[0], times.nanoseconds[0]);
    const FILETIME modified = filetime_of(times.seconds[1], times.nanoseconds[1]);
    ::SetFileTime(handle_of(file.file), nullptr, &accessed, &modified);
}

bool sync_data(const working_file& file) {
    return ::FlushFileBuffers(handle_of(file.file)) != 0;
}

namespace {

// The folder of the last names made, not yet flushed; empty: none.
std::wstring last_named_folder;

// A folder opened for writing takes a flush of its entries, where the file system can.
void flush_named_folder() {
    if (last_named_folder.empty())
        return;
    const owned_handle folder{::CreateFileW(last_named_folder.c_str(), GENERIC_READ | GENERIC_WRITE,
                                            every_share, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
    if (folder.valid())
        ::FlushFileBuffers(folder.get());
    last_named_folder.clear();
}

} // namespace

void named_in_folder_of(const char* path) {
    std::wstring folder;
    if (!system_path(folder_of(path).c_str(), folder) || folder == last_named_folder)
        return;
    flush_named_folder();
    last_named_folder = std::move(folder);
}

void sync_names() {
    flush_named_folder();
}

// Windows renames no file that is open without shared deletion everywhere, so the copy
// is closed first; a name found taken leaves the closed copy under its hidden name for
// the next try. A hidden name that no longer names the copy holds another program's
// file, which stays where it is.
name_result publish(working_file& copy, const char* path) {
    if (copy.file != no_file) {
        const bool shown = show_copy(handle_of(copy.file));
        const bool closed = ::CloseHandle(handle_of(copy.file)) != 0;
        copy.file = no_file;
        if (!shown || !closed)
            return name_result::failed;
    }
    if (copy.temporary_name.empty())
        return name_result::failed;
    const ending_signals_deferred deferred;
    const name_result result = rename_own_file(copy, copy.temporary_name.c_str(), path);
    if (result == name_result::done || result == name_result::not_ours) {
        set_pending_name({});
        copy.temporary_name.clear();
    }
    return result;
}

bool close_file(working_file& file) {
    bool closed = true;
    if (file.file != no_file) {
        closed = ::CloseHandle(handle_of(file.file)) != 0;
        file.file = no_file;
    }
    if (!file.temporary_name.empty()) {
        const ending_signals_deferred deferred;
        if (is_named(file, file.temporary_name.c_str()))
            remove_pending_file();
        set_pending_name({});
        file.temporary_name.clear();
    }
    return closed;
}

void remove_name(const char* path) {
    std::wstring wide;
    if (system_path(path, wide))
        delete_file(wide.c_str());
}

// The move is one step that never replaces, so `from` needs no second look.
name_result rename_no_replace(const char* from, const char* to, const working_file*) {
    std::wstring wide_from;
    std::wstring wide_to;
    if (!system_path(from, wide_from) || !system_path(to, wide_to))
        return name_result::failed;
    return move_no_replace(wide_from, wide_to);
}

} // namespace platform
