// Fault injection for the test-only build m4afix_faulty. It is linked with --wrap for
// the file calls that the tool makes itself (see CMakeLists.txt), so that they land here.
// Every call is counted by kind, and the plan in the environment variable M4AFIX_FAULTS
// makes chosen calls fail the way a failing disk or file system does.
//
// A plan is a comma-separated list of rules "kind:N[:effect]": N is the number of the call
// of that kind (counted from 1 over the whole run) or "*" for every call. The effect is an
// errno name (EIO, the default, EXDEV, ENOSPC, EEXIST, EINVAL, EOPNOTSUPP, EFBIG, EPERM or
// EISDIR), "short": a call that moves half the bytes asked for and no more than 1000,
// fewer than any test file holds (a call that moves no data fails with EIO instead),
// "zero": a transfer that moves nothing, as at the end of a file, "garble": a read whose
// first byte comes back changed, as if another program had just written there, or
// "stop": the process stops itself (SIGSTOP) before making the call for real, so that a
// test can act while the run is at that point, or, for the opens only, "stop_after": it
// stops once the call is made.
// Kinds:
// - open_input, open_unnamed, open_temp, open_update: opens for reading, of a file without
//   a name, of a new named file, and for update;
// - fdopen: the input's stream, a stdio stream over the real descriptor whose calls count
//   as in_read and in_seek;
// - copy_file_range: the kernel copy;
// - copy_read, copy_write: the reads and writes of the copy where the kernel does not copy;
// - work_read, work_write: the reads and writes of the edit pass, told from those of the
//   copy by the file (a read of a file open for writing is the edit pass reading back,
//   and every write to that file after it belongs to the edit pass too);
// - linkat, renameat2, link, rename, unlink: the publication of a copy and the rename of
//   an input;
// - work_close: the close of a file opened for writing;
// - fdatasync, fsync: the syncs of data and folders.
// Every injected fault appends "kind:N" and a newline to the file named by
// M4AFIX_FAULT_LOG, so that a test can tell that its fault really happened.

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <string_view>
#include <unistd.h>

extern "C" {
int __real_open64(const char* path, int flags, ...);
ssize_t __real_pread64(int fd, void* buffer, size_t count, off64_t offset);
ssize_t __real_pwrite64(int fd, const void* buffer, size_t count, off64_t offset);
ssize_t __real_copy_file_range(int in, off64_t* in_offset, int out, off64_t* out_offset,
                               size_t length, unsigned flags);
int __real_linkat(int from_folder, const char* from, int to_folder, const char* to, int flags);
int __real_renameat2(int from_folder, const char* from, int to_folder, const char* to,
                     unsigned flags);
int __real_link(const char* from, const char* to);
int __real_rename(const char* from, const char* to);
int __real_unlink(const char* path);
int __real_close(int fd);
int __real_fdatasync(int fd);
int __real_fsync(int fd);
}

namespace {

enum call_kind {
    open_input,
    open_unnamed,
    open_temp,
    open_update,
    fdopen_call,
    in_read,
    in_seek,
    copy_range_call,
    copy_read,
    copy_write,
    work_read,
    work_write,
    linkat_call,
    renameat2_call,
    link_call,
    rename_call,
    unlink_call,
    work_close,
    fdatasync_call,
    fsync_call,
    kind_count
};

constexpr std::array<std::string_view, kind_count> kind_names = {
    "open_input", "open_unnamed", "open_temp",       "open_update", "fdopen",
    "in_read",    "in_seek",      "copy_file_range", "copy_read",   "copy_write",
    "work_read",  "work_write",   "linkat",          "renameat2",   "link",
    "rename",     "unlink",       "work_close",      "fdatasync",   "fsync"};

// Effects that are not an errno value.
constexpr int short_transfer = 0;
constexpr int zero_transfer = -1;
constexpr int stop_first = -2;
constexpr int garbled_transfer = -3;
constexpr int stop_after = -4;
constexpr std::size_t short_count = 1000;

struct named_error {
    std::string_view name;
    int value;
};

constexpr named_error effects[] = {{"EIO", EIO},
                                   {"EXDEV", EXDEV},
                                   {"ENOSPC", ENOSPC},
                                   {"EEXIST", EEXIST},
                                   {"EINVAL", EINVAL},
                                   {"EOPNOTSUPP", EOPNOTSUPP},
                                   {"EFBIG", EFBIG},
                                   {"EPERM", EPERM},
                                   {"EISDIR", EISDIR},
                                   {"garble", garbled_transfer},
                                   {"short", short_transfer},
                                   {"zero", zero_transfer},
                                   {"stop", stop_first},
                                   {"stop_after", stop_after}};

struct rule {
    int kind;
    long call; // 0: every call
    int error;
};

struct plan {
    std::array<rule, 16> rules;
    std::size_t count = 0;
    std::array<long, kind_count> calls{};
};

[[noreturn]] void bad_plan(std::string_view rule_text) {
    std::fprintf(stderr, "M4AFIX_FAULTS: bad rule \"%.*s\"\n", static_cast<int>(rule_text.size()),
                 rule_text.data());
    std::abort();
}

// Splits off the text before the first `separator`, leaving the rest in `text`.
std::string_view next_field(std::string_view& text, char separator) {
    const std::size_t end = text.find(separator);
    const std::string_view field = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    return field;
}

rule parse_rule(std::string_view text) {
    const std::string_view whole = text;
    rule parsed{kind_count, 0, EIO};
    const std::string_view kind = next_field(text, ':');
    for (int k = 0; k < kind_count; ++k)
        if (kind_names[static_cast<std::size_t>(k)] == kind)
            parsed.kind = k;
    const std::string_view call = next_field(text, ':');
    if (call != "*") {
        parsed.call = 0;
        for (const char digit : call)
            parsed.call = digit >= '0' && digit <= '9' ? parsed.call * 10 + (digit - '0') : -1;
        if (parsed.call <= 0)
            bad_plan(whole);
    }
    if (!text.empty()) {
        const auto* effect = std::find_if(std::begin(effects), std::end(effects),
                                          [&](const named_error& e) { return e.name == text; });
        if (effect == std::end(effects))
            bad_plan(whole);
        parsed.error = effect->value;
    }
    if (parsed.kind == kind_count)
        bad_plan(whole);
    return parsed;
}

plan read_plan() {
    plan result;
    const char* variable = std::getenv("M4AFIX_FAULTS");
    for (std::string_view rules = variable != nullptr ? variable : ""; !rules.empty();) {
        const std::string_view text = next_field(rules, ',');
        if (result.count == result.rules.size())
            bad_plan(text);
        result.rules[result.count++] = parse_rule(text);
    }
    return result;
}

void log_fault(int kind, long call) {
    const char* path = std::getenv("M4AFIX_FAULT_LOG");
    if (path == nullptr)
        return;
    const int fd = __real_open64(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::array<char, 64> line;
    const int length = std::snprintf(line.data(), line.size(), "%s:%ld\n",
                                     kind_names[static_cast<std::size_t>(kind)].data(), call);
    if (::write(fd, line.data(), static_cast<std::size_t>(length)) != length)
        std::abort();
    __real_close(fd);
}

// Counts a call of `kind`; returns the rule that makes it fail, or null. A rule that
// stops the process does so here and lets the call go on.
const rule* fault(int kind) {
    static plan faults = read_plan();
    const long call = ++faults.calls[static_cast<std::size_t>(kind)];
    for (std::size_t i = 0; i < faults.count; ++i) {
        const rule& r = faults.rules[i];
        if (r.kind == kind && (r.call == 0 || r.call == call)) {
            log_fault(kind, call);
            if (r.error != stop_first)
                return &r;
            ::raise(SIGSTOP);
        }
    }
    return nullptr;
}

// The failure of a call that `r` fails outright: errno set, -1 returned.
int failed(const rule& r) {
    errno = r.error <= short_transfer ? EIO : r.error;
    return -1;
}

// Bytes to move for a call of `kind` asked to move `count`; -1 when it fails instead.
// A garbled transfer moves them all; `garble` tells the caller to change what it read.
ssize_t allowed(int kind, std::size_t count, bool* garble = nullptr) {
    const rule* r = fault(kind);
    if (r == nullptr)
        return static_cast<ssize_t>(count);
    if (r->error == garbled_transfer && garble != nullptr) {
        *garble = true;
        return static_cast<ssize_t>(count);
    }
    if (r->error == zero_transfer)
        return 0;
    if (r->error != short_transfer)
        return failed(*r);
    return static_cast<ssize_t>(std::min(count > 1 ? count / 2 : count, short_count));
}

// Whether the descriptor was opened for writing.
bool writable(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
}

// The descriptor that the edit pass has read back from, if any.
int edited_fd = -1;

int read_kind(int fd) {
    if (!writable(fd))
        return copy_read;
    edited_fd = fd;
    return work_read;
}

int write_kind(int fd) {
    return fd == edited_fd ? work_write : copy_write;
}

// A stream made by the wrapped fdopen: a glibc cookie stream over the real descriptor.
struct cookie {
    int fd = -1; // -1: slot free
    FILE* stream = nullptr;
};

std::array<cookie, 8> cookies;

ssize_t cookie_read(void* opaque, char* buffer, size_t size) {
    const auto* c = static_cast<const cookie*>(opaque);
    const ssize_t count = allowed(in_read, size);
    return count < 0 ? count : ::read(c->fd, buffer, static_cast<std::size_t>(count));
}

int cookie_seek(void* opaque, off64_t* position, int whence) {
    const auto* c = static_cast<const cookie*>(opaque);
    if (const rule* r = fault(in_seek))
        return failed(*r);
    const off64_t reached = ::lseek(c->fd, *position, whence);
    if (reached < 0)
        return -1;
    *position = reached;
    return 0;
}

int cookie_close(void* opaque) {
    auto* c = static_cast<cookie*>(opaque);
    const int status = __real_close(c->fd);
    *c = cookie{};
    return status;
}

FILE* cookie_stream(int fd, const char* mode) {
    for (cookie& c : cookies) {
        if (c.fd >= 0)
            continue;
        FILE* stream = ::fopencookie(&c, mode, {cookie_read, nullptr, cookie_seek, cookie_close});
        if (stream != nullptr)
            c = cookie{fd, stream};
        return stream;
    }
    errno = EMFILE;
    return nullptr;
}

// The kind of an open, by what it asks for.
int open_kind(int flags) {
    if ((flags & O_TMPFILE) == O_TMPFILE)
        return open_unnamed;
    if ((flags & O_CREAT) != 0)
        return open_temp;
    return (flags & O_ACCMODE) == O_RDONLY ? open_input : open_update;
}

} // namespace

extern "C" {

int __wrap_open64(const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list arguments;
        va_start(arguments, flags);
        mode = static_cast<mode_t>(va_arg(arguments, unsigned));
        va_end(arguments);
    }
    const rule* r = fault(open_kind(flags));
    if (r != nullptr && r->error != stop_after)
        return failed(*r);
    const int fd = __real_open64(path, flags, mode);
    if (r != nullptr)
        ::raise(SIGSTOP);
    return fd;
}

ssize_t __wrap_pread64(int fd, void* buffer, size_t count, off64_t offset) {
    bool garble = false;
    const ssize_t allowed_count = allowed(read_kind(fd), count, &garble);
    if (allowed_count < 0)
        return allowed_count;
    const ssize_t got = __real_pread64(fd, buffer, static_cast<std::size_t>(allowed_count), offset);
    if (garble && got > 0)
        static_cast<unsigned char*>(buffer)[0] ^= 0xff;
    return got;
}

ssize_t __wrap_pwrite64(int fd, const void* buffer, size_t count, off64_t offset) {
    const ssize_t allowed_count = allowed(write_kind(fd), count);
    return allowed_count < 0
               ? allowed_count
               : __real_pwrite64(fd, buffer, static_cast<std::size_t>(allowed_count), offset);
}

ssize_t __wrap_copy_file_range(int in, off64_t* in_offset, int out, off64_t* out_offset,
                               size_t length, unsigned flags) {
    const ssize_t allowed_length = allowed(copy_range_call, length);
    return allowed_length <= 0
               ? allowed_length
               : __real_copy_file_range(in, in_offset, out, out_offset,
                                        static_cast<std::size_t>(allowed_length), flags);
}

int __wrap_linkat(int from_folder, const char* from, int to_folder, const char* to, int flags) {
    if (const rule* r = fault(linkat_call))
        return failed(*r);
    return __real_linkat(from_folder, from, to_folder, to, flags);
}

int __wrap_renameat2(int from_folder, const char* from, int to_folder, const char* to,
                     unsigned flags) {
    if (const rule* r = fault(renameat2_call))
        return failed(*r);
    return __real_renameat2(from_folder, from, to_folder, to, flags);
}

int __wrap_link(const char* from, const char* to) {
    if (const rule* r = fault(link_call))
        return failed(*r);
    return __real_link(from, to);
}

int __wrap_rename(const char* from, const char* to) {
    if (const rule* r = fault(rename_call))
        return failed(*r);
    return __real_rename(from, to);
}

int __wrap_unlink(const char* path) {
    if (const rule* r = fault(unlink_call))
        return failed(*r);
    return __real_unlink(path);
}

// Closes the descriptor in any case, as close(2) does when it reports an error.
int __wrap_close(int fd) {
    const rule* r = writable(fd) ? fault(work_close) : nullptr;
    if (fd == edited_fd)
        edited_fd = -1;
    const int status = __real_close(fd);
    return r != nullptr ? failed(*r) : status;
}

int __wrap_fdatasync(int fd) {
    if (const rule* r = fault(fdatasync_call))
        return failed(*r);
    return __real_fdatasync(fd);
}

int __wrap_fsync(int fd) {
    if (const rule* r = fault(fsync_call))
        return failed(*r);
    return __real_fsync(fd);
}

FILE* __wrap_fdopen(int fd, const char* mode) {
    if (const rule* r = fault(fdopen_call)) {
        failed(*r);
        return nullptr;
    }
    return cookie_stream(fd, mode);
}
}
