// Box-level reading and writing shared by the container operations.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

constexpr std::size_t box_header_size = 8;
constexpr std::size_t fourcc_size = 4;

// What the container operations return.
enum container_status : int {
    status_ok = 0,
    status_format_error = -1, // a format error or a short read
    status_no_buffer = -2,    // a payload buffer could not be had
    status_short_write = -3,  // the "mp4a" entry's write fell short
    // The file-type payload's short write shares its code with a missing buffer.
    status_ftyp_short_write = -2,
};

// A payload that the check pass found and worked out: where it lies, the bytes it held
// and the bytes to write over them. The edit pass writes `edited` only where the file
// still holds `original`.
struct payload_edit {
    std::int64_t position = 0;
    std::vector<std::uint8_t> original;
    std::vector<std::uint8_t> edited;
    container_status short_write = status_short_write; // returned for a short write-back
};

constexpr std::uint32_t read_be32(const std::uint8_t* bytes) noexcept {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
           std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]};
}

constexpr void write_be32(std::uint8_t* bytes, std::uint32_t value) noexcept {
    bytes[0] = static_cast<std::uint8_t>(value >> 24);
    bytes[1] = static_cast<std::uint8_t>(value >> 16);
    bytes[2] = static_cast<std::uint8_t>(value >> 8);
    bytes[3] = static_cast<std::uint8_t>(value);
}

// Four-character codes are compared as four raw bytes: "M4A " keeps its space.
inline bool same_fourcc(const void* bytes, const char* code) noexcept {
    return std::memcmp(bytes, code, fourcc_size) == 0;
}

struct box_header {
    std::uint32_t size; // whole box, header included
    std::uint8_t type[fourcc_size];
};

// Reads the 8 header bytes at the stream position; false when fewer arrive.
bool read_box_header(std::FILE* stream, box_header& header);

// Payload length as a signed 32-bit value: sizes below 8 (including the unsupported
// forms 0 and 1) and sizes of 2^31 + 8 and above come out negative.
constexpr std::int32_t payload_length(const box_header& header) noexcept {
    return static_cast<std::int32_t>(header.size - box_header_size);
}

// The stream's position, in the type that planned edits record positions in; -1 when the
// runtime cannot tell.
std::int64_t stream_position(std::FILE* stream);

// Searches the box at the stream position and its following siblings for `type`.
// Returns the payload length of the first match, the stream standing at its payload,
// or -1 when the stream ends first.
std::int32_t find_child_box(std::FILE* stream, const char* type);

// Writes a message about a file to standard error: `format`, in which "%s" stands for
// `path`. Every message of a skipped file goes through here: the detail texts, which have
// no line end, and the skip notice after them, which ends the line; where standard error
// is buffered, the line goes out whole at its end.
void write_message(const char* format, const char* path = "");

// Writes `message` with write_message, without a line end: the caller's skip notice
// ends the line. Returns `status`.
container_status report(const char* message, container_status status);

// Copies `payload` into `copy`, where the edit is worked out. On failure reports
// "error!(malloc)" and returns status_no_buffer.
container_status copy_payload(const std::vector<std::uint8_t>& payload,
                              std::vector<std::uint8_t>& copy);

// Reads `length` bytes into `payload`. The buffer grows with the bytes that really
// arrive, so a header that claims more than the file holds costs no more memory than
// the file itself. On failure reports "error!(malloc)" and returns status_no_buffer,
// or reports "error!(rd box)" and returns status_format_error for a short read.
container_status read_payload(std::FILE* stream, std::int32_t length,
                              std::vector<std::uint8_t>& payload);
