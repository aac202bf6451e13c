#include "output/output.hpp"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

std::string output_path;

namespace {

constexpr int max_name_probes = 100;
constexpr std::size_t min_extension_length = 4; // the dot and three characters
constexpr std::size_t copy_buffer_size = 128 * 1024;
constexpr std::size_t copy_range_step = std::size_t{1} << 30;
constexpr off_t preallocate_min_size = off_t{2} << 20;

class unique_fd {
  public:
    explicit unique_fd(int fd) noexcept : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

// Position of the dot that starts the extension, or npos. Only the last path component
// can hold it, so the output always stays beside the input.
std::size_t extension_dot(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    const std::size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
        path.size() - dot < min_extension_length)
        return std::string::npos;
    return dot;
}

// A name is taken when it can be opened for reading. The open does not wait for a
// writer, so a named pipe is taken like any file.
bool name_taken(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool choose_output_name(const char* input_path) {
    try {
        output_path.assign(input_path);
    } catch (const std::bad_alloc&) {
        std::fputs("malloc failed!", stderr);
        return false;
    }
    const std::size_t dot = extension_dot(output_path);
    if (dot == std::string::npos) {
        std::fprintf(stderr, "input file:%s extension error!", input_path);
        return false;
    }
    output_path.replace(dot, std::string::npos, ".m4a");
    for (int probe = 0; probe < max_name_probes; ++probe) {
        if (!name_taken(output_path.c_str()))
            return true;
        std::array<char, 16> numbered;
        std::snprintf(numbered.data(), numbered.size(), "%02d.m4a", probe);
        output_path.replace(dot, std::string::npos, numbered.data());
    }
    std::fputs("output file: create failed!", stderr);
    return false;
}

bool write_all(int fd, const char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t written = ::write(fd, bytes, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

// The buffer is left uninitialised: only bytes that a read has filled are written out.
bool copy_by_read_write(int in, int out) {
    const std::unique_ptr<char[]> buffer{new (std::nothrow) char[copy_buffer_size]};
    if (!buffer)
        return false;
    for (;;) {
        const ssize_t got = ::read(in, buffer.get(), copy_buffer_size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        if (!write_all(out, buffer.get(), static_cast<std::size_t>(got)))
            return false;
    }
}

// Errors by which the kernel declines an in-kernel copy for these two files, as
// opposed to failing it.
bool copy_range_refused(int error) {
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP ||
           error == EBADF || error == EPERM || error == ETXTBSY;
}

// Reserves room for `size` bytes in `out` without changing its size. File systems that
// delay allocation then fill blocks already allocated instead of reserving them page by
// page, which makes a large copy faster; below preallocate_min_size the reservation costs
// more than it saves. Best effort: where the file system cannot, the copy allocates as
// it goes.
void preallocate(int out, off_t size) {
    if (size >= preallocate_min_size)
        ::fallocate(out, FALLOC_FL_KEEP_SIZE, 0, size);
}

// Copies everything from `in`, described by `input`, to `out`. The kernel copies a
// regular file itself (sharing extents where the file system can), as many bytes as the
// input holds when the copy starts, or fewer if it shrinks meanwhile. Whatever the kernel
// declines, and files that show it no contents (some report size 0 and still read), go
// through a read/write loop to the end of the input.
bool copy_contents(int in, int out, const struct stat& input) {
    if (!S_ISREG(input.st_mode) || input.st_size == 0)
        return copy_by_read_write(in, out);
    preallocate(out, input.st_size);
    off_t left = input.st_size;
    while (left > 0) {
        const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, copy_range_step, 0);
        if (copied > 0)
            left -= copied;
        else if (copied == 0) // the input shrank, or the kernel shows it nothing to copy
            return left < input.st_size || copy_by_read_write(in, out);
        else if (copy_range_refused(errno))
            return copy_by_read_write(in, out);
        else if (errno != EINTR)
            return false;
    }
    return true;
}

stream_handle open_in_place(const char* input_path) {
    stream_handle stream{std::fopen(input_path, "r+b")};
    if (!stream) {
        std::fprintf(stderr, "file:%s open failed!", input_path);
        return {};
    }
    return stream;
}

stream_handle open_copy(const char* input_path) {
    unique_fd in{::open(input_path, O_RDONLY | O_CLOEXEC)};
    struct stat status;
    if (in.get() < 0 || ::fstat(in.get(), &status) != 0) {
        std::fprintf(stderr, "input file:%s open failed!", input_path);
        return {};
    }
    // Created exclusively, so no existing file is ever written, and with the input's
    // permission bits from the start, so a private recording never becomes readable.
    unique_fd out{
        ::open(output_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, status.st_mode & 0777)};
    if (out.get() < 0) {
        std::fprintf(stderr, "output file:%s open failed!", output_path.c_str());
        return {};
    }
    if (!copy_contents(in.get(), out.get(), status)) {
        std::fputs("copy failed!", stderr);
        ::unlink(output_path.c_str());
        return {};
    }
    stream_handle stream{::fdopen(out.get(), "w+b")};
    if (stream)
        out.release();
    if (!stream || fseeko(stream.get(), 0, SEEK_SET) != 0) {
        std::fprintf(stderr, "output file:%s open failed!", output_path.c_str());
        ::unlink(output_path.c_str());
        return {};
    }
    return stream;
}

} // namespace

bool close_written(stream_handle stream) {
    return std::fclose(stream.release()) == 0;
}

stream_handle open_output(const char* input_path, bool overwrite) {
    if (!choose_output_name(input_path))
        return {};
    return overwrite ? open_in_place(input_path) : open_copy(input_path);
}

bool rename_no_replace(const char* from, const char* to) {
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return false;
    // The file system does not know the flag: a hard link fails on an existing name
    // just the same, then the old name goes.
    if (::link(from, to) != 0)
        return false;
    if (::unlink(from) != 0) {
        ::unlink(to);
        return false;
    }
    return true;
}
