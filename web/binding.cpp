// The check pass of the tool for the web page: for one file, the edits that make the
// converted copy, or the status of the check that refused it. The check writes its
// message to standard error, where the page's worker collects it.
//
// The check reads through a stream whose every read takes just the bytes asked for,
// waiting for them: the worker reads them itself where it can, but WebKit, with the page
// opened from disk, lets no worker read a dropped file, and there the page's thread
// reads them for it.

#include "container/audio_bitrate.hpp"
#include "container/ftyp.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <memory>

#include <emscripten/emscripten.h>

// Reads `length` bytes of the file at `position` into `into`, waiting for them. Returns
// how many arrived, or -1 when the file could not be read.
// clang-format off
EM_ASYNC_JS(int, read_from_page, (double position, int length, std::uint8_t* into), {
    const bytes = await Module.readFile(position, length);
    if (!bytes)
        return -1;
    HEAPU8.set(bytes, into);
    return bytes.length;
});
// clang-format on

namespace {

struct file_closer {
    void operator()(std::FILE* stream) const { std::fclose(stream); }
};

// The file on the page's side: its size and where the stream reads next.
struct page_file {
    std::int64_t size;
    std::int64_t position;
};

ssize_t read_page_file(void* cookie, char* buffer, std::size_t size) {
    page_file& file = *static_cast<page_file*>(cookie);
    const std::int64_t wanted =
        std::min({file.size - file.position, static_cast<std::int64_t>(size),
                  static_cast<std::int64_t>(INT_MAX)});
    if (wanted <= 0)
        return 0;
    const int got = read_from_page(static_cast<double>(file.position), static_cast<int>(wanted),
                                   reinterpret_cast<std::uint8_t*>(buffer));
    if (got < 0)
        return -1;
    file.position += got;
    return got;
}

int seek_page_file(void* cookie, off_t* offset, int whence) {
    page_file& file = *static_cast<page_file*>(cookie);
    const std::int64_t base = whence == SEEK_SET   ? 0
                              : whence == SEEK_CUR ? file.position
                                                   : file.size;
    if (base + *offset < 0) {
        errno = EINVAL;
        return -1;
    }
    file.position = base + *offset;
    *offset = file.position;
    return 0;
}

// The file-type payload and the "mp4a" entry, in the order they lie in the file.
std::array<payload_edit, 2> planned;

// The CRC-32 of zip entries, eight bytes a step: table k gives the CRC of a byte
// followed by k zero bytes.
using crc_tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr crc_tables make_crc_tables() {
    crc_tables tables{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t crc = n;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) != 0 ? 0xedb88320u ^ (crc >> 1) : crc >> 1;
        tables[0][n] = crc;
    }
    for (std::size_t k = 1; k < tables.size(); ++k)
        for (std::size_t n = 0; n < 256; ++n)
            tables[k][n] = tables[k - 1][n] >> 8 ^ tables[0][tables[k - 1][n] & 0xff];
    return tables;
}

constexpr crc_tables crc_table = make_crc_tables();

} // namespace

extern "C" {

// Runs the check pass on the page's file of `size` bytes. Returns 0 when both edits are
// planned, otherwise the status of the check that failed, its message written to
// standard error.
EMSCRIPTEN_KEEPALIVE int check_file(double size, int bitrate_kbps) {
    planned = {};
    page_file file{static_cast<std::int64_t>(size), 0};
    const std::unique_ptr<std::FILE, file_closer> input{
        fopencookie(&file, "rb", {read_page_file, nullptr, seek_page_file, nullptr})};
    if (!input)
        return status_no_buffer;
    container_status status = fix_ftyp(input.get(), planned[0]);
    if (status == status_ok)
        status = fix_audio_bitrate(input.get(), bitrate_kbps, planned[1]);
    // The runtime hands standard error on a line at a time: the line end sends the
    // message, which has none of its own, to the worker now.
    std::fputc('\n', stderr);
    return status;
}

// The planned edits: where edit `index` starts in the file, how many bytes it replaces
// and the bytes that replace them.
EMSCRIPTEN_KEEPALIVE double edit_position(int index) {
    return static_cast<double>(planned[static_cast<std::size_t>(index)].position);
}
EMSCRIPTEN_KEEPALIVE int edit_size(int index) {
    return static_cast<int>(planned[static_cast<std::size_t>(index)].edited.size());
}
EMSCRIPTEN_KEEPALIVE const std::uint8_t* edit_bytes(int index) {
    return planned[static_cast<std::size_t>(index)].edited.data();
}

// The zip's CRC-32 of `crc`'s bytes followed by the `size` bytes at `bytes`; 0 is the
// CRC of nothing.
EMSCRIPTEN_KEEPALIVE std::uint32_t crc32_update(std::uint32_t crc, const std::uint8_t* bytes,
                                                std::size_t size) {
    crc = ~crc;
    for (; size >= 8; bytes += 8, size -= 8) {
        const std::uint32_t low =
            crc ^ (std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                   std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24);
        crc = crc_table[7][low & 0xff] ^ crc_table[6][low >> 8 & 0xff] ^
              crc_table[5][low >> 16 & 0xff] ^ crc_table[4][low >> 24] ^ crc_table[3][bytes[4]] ^
              crc_table[2][bytes[5]] ^ crc_table[1][bytes[6]] ^ crc_table[0][bytes[7]];
    }
    for (; size > 0; ++bytes, --size)
        crc = crc_table[0][(crc ^ *bytes) & 0xff] ^ crc >> 8;
    return ~crc;
}

} // extern "C"
