// Fault injection for the test-only build m4afix_faulty. It is linked with
// -Wl,--wrap=read,--wrap=write,--wrap=copy_file_range,--wrap=fdopen,--wrap=fopen64,
// --wrap=fileno (fopen64 is the name fopen takes with 64-bit file offsets), so the tool's
// own calls to these functions land here. Every call is counted by kind, and the plan in
// the environment variable M4AFIX_FAULTS makes chosen calls fail the way a failing disk
// or file system does.
//
// A plan is a comma-separated list of rules "kind:N[:effect]": N is the number of the call
// of that kind (counted from 1 over the whole run) or "*" for every call. The effect is an
// errno name (EIO, the default, EXDEV or ENOSPC) or "short": a call that moves half the
// bytes asked for and no more than 1000, fewer than any test file holds (a call that
// moves no data fails with EIO instead).
// Kinds: read, write and copy_file_range are the descriptor calls of the copy; fdopen and
// fopen are the stream opens. The streams they return are stdio streams over the real
// descriptor, whose calls count as in_read and in_seek for a stream opened for reading
// only, and as work_read, work_write, work_seek and work_close for any other.
// Every injected fault appends "kind:N" and a newline to the file named by
// M4AFIX_FAULT_LOG, so that a test can tell that its fault really happened.

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

extern "C" {
ssize_t __real_read(int fd, void* buffer, size_t count);
ssize_t __real_write(int fd, const void* buffer, size_t count);
ssize_t __real_copy_file_range(int in, off64_t* in_offset, int out, off64_t* out_offset,
                               size_t length, unsigned flags);
int __real_fileno(FILE* stream);
}

namespace {

enum call_kind {
    read_call,
    write_call,
    copy_range_call,
    fdopen_call,
    fopen_call,
    in_read,
    in_seek,
    work_read,
    work_write,
    work_seek,
    work_close,
    kind_count
};

constexpr std::array<std::string_view, kind_count> kind_names = {
    "read",    "write",     "copy_file_range", "fdopen",    "fopen",     "in_read",
    "in_seek", "work_read", "work_write",      "work_seek", "work_close"};

constexpr int short_transfer = 0; // the effect "short" in place of an errno value
constexpr std::size_t short_count = 1000;

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
    if (text == "EXDEV")
        parsed.error = EXDEV;
    else if (text == "ENOSPC")
        parsed.error = ENOSPC;
    else if (text == "short")
        parsed.error = short_transfer;
    else if (!text.empty() && text != "EIO")
        bad_plan(whole);
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
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::array<char, 64> line;
    const int length = std::snprintf(line.data(), line.size(), "%s:%ld\n",
                                     kind_names[static_cast<std::size_t>(kind)].data(), call);
    __real_write(fd, line.data(), static_cast<std::size_t>(length));
    ::close(fd);
}

// Counts a call of `kind`; returns the rule that makes it fail, or null.
const rule* fault(int kind) {
    static plan faults = read_plan();
    const long call = ++faults.calls[static_cast<std::size_t>(kind)];
    for (std::size_t i = 0; i < faults.count; ++i) {
        const rule& r = faults.rules[i];
        if (r.kind == kind && (r.call == 0 || r.call == call)) {
            log_fault(kind, call);
            return &r;
        }
    }
    return nullptr;
}

// The failure of a call that `r` fails outright: errno set, -1 returned.
int failed(const rule& r) {
    errno = r.error == short_transfer ? EIO : r.error;
    return -1;
}

// Bytes to move for a call of `kind` asked to move `count`; -1 when it fails instead.
ssize_t allowed(int kind, std::size_t count) {
    const rule* r = fault(kind);
    if (r == nullptr)
        return static_cast<ssize_t>(count);
    if (r->error != short_transfer)
        return failed(*r);
    return static_cast<ssize_t>(std::min(count > 1 ? count / 2 : count, short_count));
}

// A stream made by the wrapped opens: a glibc cookie stream over the real descriptor.
struct cookie {
    int fd = -1; // -1: slot free
    bool input = false;
    FILE* stream = nullptr;
};

std::array<cookie, 8> cookies;

ssize_t cookie_read(void* opaque, char* buffer, size_t size) {
    const auto* c = static_cast<const cookie*>(opaque);
    const ssize_t count = allowed(c->input ? in_read : work_read, size);
    return count < 0 ? count : __real_read(c->fd, buffer, static_cast<std::size_t>(count));
}

// Writes everything like a file stream does; a short count would be an error to stdio.
ssize_t cookie_write(void* opaque, const char* buffer, size_t size) {
    const auto* c = static_cast<const cookie*>(opaque);
    if (const rule* r = fault(work_write))
        return failed(*r);
    for (std::size_t done = 0; done < size;) {
        const ssize_t written = __real_write(c->fd, buffer + done, size - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return -1;
        done += static_cast<std::size_t>(written);
    }
    return static_cast<ssize_t>(size);
}

int cookie_seek(void* opaque, off64_t* position, int whence) {
    const auto* c = static_cast<const cookie*>(opaque);
    if (const rule* r = fault(c->input ? in_seek : work_seek))
        return failed(*r);
    const off64_t reached = ::lseek(c->fd, *position, whence);
    if (reached < 0)
        return -1;
    *position = reached;
    return 0;
}

// Closes the descriptor in any case, as close(2) does when it reports an error.
int cookie_close(void* opaque) {
    auto* c = static_cast<cookie*>(opaque);
    const rule* r = c->input ? nullptr : fault(work_close);
    const int status = ::close(c->fd);
    *c = cookie{};
    return r != nullptr ? failed(*r) : status;
}

FILE* cookie_stream(int fd, const char* mode) {
    for (cookie& c : cookies) {
        if (c.fd >= 0)
            continue;
        FILE* stream =
            ::fopencookie(&c, mode, {cookie_read, cookie_write, cookie_seek, cookie_close});
        if (stream != nullptr)
            c = cookie{fd, mode[0] == 'r' && std::strchr(mode, '+') == nullptr, stream};
        return stream;
    }
    errno = EMFILE;
    return nullptr;
}

int open_flags(const char* mode) {
    const bool update = std::strchr(mode, '+') != nullptr;
    switch (mode[0]) {
    case 'r':
        return update ? O_RDWR : O_RDONLY;
    case 'w':
        return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    default:
        return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
    }
}

} // namespace

extern "C" {

ssize_t __wrap_read(int fd, void* buffer, size_t count) {
    const ssize_t allowed_count = allowed(read_call, count);
    return allowed_count < 0 ? allowed_count
                             : __real_read(fd, buffer, static_cast<std::size_t>(allowed_count));
}

ssize_t __wrap_write(int fd, const void* buffer, size_t count) {
    const ssize_t allowed_count = allowed(write_call, count);
    return allowed_count < 0 ? allowed_count
                             : __real_write(fd, buffer, static_cast<std::size_t>(allowed_count));
}

ssize_t __wrap_copy_file_range(int in, off64_t* in_offset, int out, off64_t* out_offset,
                               size_t length, unsigned flags) {
    const ssize_t allowed_length = allowed(copy_range_call, length);
    return allowed_length < 0
               ? allowed_length
               : __real_copy_file_range(in, in_offset, out, out_offset,
                                        static_cast<std::size_t>(allowed_length), flags);
}

FILE* __wrap_fdopen(int fd, const char* mode) {
    if (const rule* r = fault(fdopen_call)) {
        failed(*r);
        return nullptr;
    }
    return cookie_stream(fd, mode);
}

FILE* __wrap_fopen64(const char* path, const char* mode) {
    if (const rule* r = fault(fopen_call)) {
        failed(*r);
        return nullptr;
    }
    const int fd = ::open(path, open_flags(mode) | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    FILE* stream = cookie_stream(fd, mode);
    if (stream == nullptr)
        ::close(fd);
    return stream;
}

// Cookie streams have no descriptor of their own; the tool's fstat and futimens on a
// stream need the real one.
int __wrap_fileno(FILE* stream) {
    for (const cookie& c : cookies)
        if (c.fd >= 0 && c.stream == stream)
            return c.fd;
    return __real_fileno(stream);
}
}
