#include "container/box.hpp"

#include <algorithm>
#include <new>

namespace {
// Growth step of a payload read; payloads of interest are a few hundred bytes.
constexpr std::size_t payload_read_step = 64 * 1024;
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
        // not there; a seek past the end is caught by the next short read.
        if (length < 0 || fseeko(stream, length, SEEK_CUR) != 0)
            return -1;
    }
}

int report(const char* message, int status) {
    std::fputs(message, stderr);
    return status;
}

int read_payload(std::FILE* stream, std::int32_t length, std::vector<std::uint8_t>& payload) {
    const auto wanted = static_cast<std::size_t>(length);
    std::size_t filled = 0;
    payload.clear();
    while (filled < wanted) {
        try {
            payload.resize(filled + std::min(wanted - filled, payload_read_step));
        } catch (const std::bad_alloc&) {
            return report("error!(malloc)", -2);
        }
        const std::size_t got =
            std::fread(payload.data() + filled, 1, payload.size() - filled, stream);
        filled += got;
        if (filled < payload.size())
            return report("error!(rd box)", -1);
    }
    return 0;
}

bool write_back(std::FILE* stream, off_t position, const std::vector<std::uint8_t>& payload) {
    if (position < 0 || fseeko(stream, position, SEEK_SET) != 0)
        return false;
    const std::size_t written = std::fwrite(payload.data(), 1, payload.size(), stream);
    return std::fflush(stream) == 0 && written == payload.size();
}
