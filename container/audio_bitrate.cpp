#include "container/audio_bitrate.hpp"

#include "container/box.hpp"

#include <utility>

namespace {

struct descent_step {
    const char* type;
    const char* message;
};

// The first box of each type, so the first track's sample description.
constexpr descent_step descent[] = {
    {"moov", "format error(moov)"}, {"trak", "format error(trak)"}, {"mdia", "format error(mdia)"},
    {"minf", "format error(minf)"}, {"stbl", "format error(stbl)"}, {"stsd", "format error(stsd)"},
};

constexpr std::size_t sample_description_header_size = 8;

// Layout of the "mp4a" payload: the audio sample entry fields, then the "esds" box.
constexpr std::size_t esds_size_offset = 28;
constexpr std::size_t esds_type_offset = 32;
constexpr std::size_t es_descriptor_tag_offset = 40;
constexpr std::uint8_t es_descriptor_tag = 3;
constexpr std::uint8_t decoder_config_tag = 4;
constexpr std::uint8_t mpeg4_audio = 0x40;

// Offsets from a descriptor's first size byte, and from the decoder configuration's
// last size byte.
constexpr std::size_t next_tag_after_es_size = 4; // elementary stream id, flags
constexpr std::size_t object_type_after_size = 1;
constexpr std::size_t max_bitrate_after_size = 6;
constexpr std::size_t average_bitrate_after_size = 10;
constexpr std::size_t last_bitrate_byte_after_size = 13;

// A size whose first byte has its top bit set is taken to occupy four bytes.
constexpr std::size_t last_size_byte(std::span<const std::uint8_t> entry, std::size_t first) {
    return (entry[first] & 0x80) != 0 ? first + 3 : first;
}

} // namespace

std::int64_t decoder_config_offset(std::span<const std::uint8_t> entry) {
    // Each position depends only on bytes before it, so checking the furthest byte that
    // a step reads before reading it keeps the walk inside the payload.
    const std::size_t length = entry.size();
    if (length <= es_descriptor_tag_offset + 1)
        return -1;
    if (read_be32(&entry[esds_size_offset]) != length - esds_size_offset ||
        !same_fourcc(&entry[esds_type_offset], "esds") ||
        entry[es_descriptor_tag_offset] != es_descriptor_tag)
        return -1;
    const std::size_t es_size_end = last_size_byte(entry, es_descriptor_tag_offset + 1);
    const std::size_t config_tag = es_size_end + next_tag_after_es_size;
    if (config_tag + 1 >= length || entry[config_tag] != decoder_config_tag)
        return -1;
    const std::size_t config_size_end = last_size_byte(entry, config_tag + 1);
    if (config_size_end + last_bitrate_byte_after_size >= length ||
        entry[config_size_end + object_type_after_size] != mpeg4_audio)
        return -1;
    return static_cast<std::int64_t>(config_size_end);
}

std::uint32_t target_bitrate(std::int32_t bitrate_kbps, std::uint32_t average) {
    if (bitrate_kbps > 0)
        return static_cast<std::uint32_t>(bitrate_kbps) * 1000u;
    // Adding 499 rounds an exact half down; the sum wraps like any unsigned 32-bit value.
    return (average + 499u) / 1000u * 1000u;
}

container_status fix_audio_bitrate(std::FILE* stream, std::int32_t bitrate_kbps,
                                   payload_edit& planned) {
    for (const descent_step& step : descent)
        if (find_child_box(stream, step.type) < 0)
            return report(step.message, status_format_error);

    std::uint8_t description[sample_description_header_size];
    if (std::fread(description, 1, sizeof description, stream) != sizeof description ||
        read_be32(description) != 0 || read_be32(description + 4) != 1)
        return report("format error(stsd #1)", status_format_error);

    const std::int32_t length = find_child_box(stream, "mp4a");
    if (length < 0)
        return report("format error(mp4a)", status_format_error);
    // After the seeks of the descent the stream knows its position without asking.
    const std::int64_t entry_start = stream_position(stream);
    std::vector<std::uint8_t> entry;
    if (const container_status status = read_payload(stream, length, entry); status != status_ok)
        return status;

    const std::int64_t config = decoder_config_offset(entry);
    if (config < 0)
        return report("format error(esds)", status_format_error);
    std::vector<std::uint8_t> edited;
    if (const container_status status = copy_payload(entry, edited); status != status_ok)
        return status;
    std::uint8_t* size_end = edited.data() + config;
    const std::uint32_t target =
        target_bitrate(bitrate_kbps, read_be32(size_end + average_bitrate_after_size));
    write_be32(size_end + max_bitrate_after_size, target);
    write_be32(size_end + average_bitrate_after_size, target);
    planned = {entry_start, std::move(entry), std::move(edited), status_short_write};
    return status_ok;
}
