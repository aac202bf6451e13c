#include "container/box.hpp"

#include <algorithm>
#include <new>

namespace {

// Growth step of a payload read; payloads of interest are a few hundred bytes.
constexpr std::size_t payload_read_step = 64 * 1024;

// Skips up to this many bytes are read past instead of sought over: the bytes are
// usually in the stream's buffer already, where a seek would cost a system call or two.
constexpr std::int32_t read_past_limit = 4096;

// Moves the stream `length` bytes on. False when the runtime refuses the seek; a skip
// past the end is no failure here, the next header read comes up short.
bool skip_forward(std::FILE* stream, std::int32_t length) {
    if (length > read_past_limit)
        return fseeko(stream, length, SEEK_CUR) == 0;
    std::uint8_t sink[512];
    for (auto left = static_cast<std::size_t>(length); left > 0;) {
        const std::size_t got = std::fread(sink, 1, std::min(left, sizeof sink), stream);
        if (got == 0)
            break;
        left -= got;
    }
    return true;
}

} // namespace

bool read_box_header(std::FILE* stream, box_header& header) {
    std::uint8_t bytes[box_header_size];
    if (std::fread(bytes, 1, sizeof bytes, stream) != sizeof bytes)
        return false;
    header.size = read_be32(bytes);
    std::memcpy(header.type, bytes + 4, fourcc_size);
    return true;
}

std::int32_t find_child_box(std::FILE* stream, const char* type) {
    for (;;) {
        box_header header;
        if (!read_box_header(stream, header) || std::feof(stream) || std::ferror(stream))
            return -1;
        const std::int32_t length = payload_length(header);
        if (same_fourcc(header.type, type))
            return length;
        // A seek the runtime refuses (an offset it cannot represent) means the box is
        // not there.
        if (length < 0 || !skip_forward(stream, length))
            return -1;
    }
}

std::int64_t stream_position(std::FILE* stream) {
    // The standard ftell and fseek take a long, which holds only 32 bits on Windows;
    // ftello and fseeko take 64-bit positions everywhere.
    return ftello(stream);
}

void write_message(const char* format, const char* path) {
    std::fprintf(stderr, format, path);
    if (format[0] != '\0' && format[std::strlen(format) - 1] == '\n')
        std::fflush(stderr);
}

container_status report(const char* message, container_status status) {
    write_message(message);
    return status;
}

container_status read_payload(std::FILE* stream, std::int32_t length,
                              std::vector<std::uint8_t>& payload) {
    const auto wanted = static_cast<std::size_t>(length);
    std::size_t filled = 0;
    payload.clear();
    while (filled < wanted) {
        try {
            payload.resize(filled + std::min(wanted - filled, payload_read_step));
        } catch (const std::bad_alloc&) {
            return report("error!(malloc)", status_no_buffer);
        }
        const std::size_t got =
            std::fread(payload.data() + filled, 1, payload.size() - filled, stream);
        filled += got;
        if (filled < payload.size())
            return report("error!(rd box)", status_format_error);
    }
    return status_ok;
}

container_status copy_payload(const std::vector<std::uint8_t>& payload,
                              std::vector<std::uint8_t>& copy) {
    try {
        copy = payload;
    } catch (const std::bad_alloc&) {
        return report("error!(malloc)", status_no_buffer);
    }
    return status_ok;
}
