// Builds box trees in memory and holds them in real streams.
#pragma once

#include "container/box.hpp"
#include "platform/io.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

using bytes = std::vector<std::uint8_t>;

// Where a built recording keeps what the tool rewrites: the major brand after the
// file-type box's header, and in the "mp4a" payload the "esds" type and the maximum bit
// rate, the average following it, for one-byte and for four-byte descriptor sizes (the
// latter as ffmpeg writes them).
constexpr std::size_t major_brand_at = box_header_size;
constexpr std::size_t esds_type_in_entry = 32;
constexpr std::size_t max_bitrate_in_entry = 52;
constexpr std::size_t max_bitrate_in_long_entry = 58;
constexpr std::size_t bitrate_fields_size = 8;

inline bytes be32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

inline bytes text(const char* characters) {
    return bytes(characters, characters + std::strlen(characters));
}

inline bytes cat(std::initializer_list<bytes> parts) {
    bytes joined;
    for (const bytes& part : parts)
        joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

// A box with a size field of our choosing, right or wrong.
inline bytes box_sized(std::uint32_t size, const char* type, const bytes& payload = {}) {
    return cat({be32(size), text(type), payload});
}

inline bytes box(const char* type, const bytes& payload = {}) {
    return box_sized(static_cast<std::uint32_t>(payload.size() + 8), type, payload);
}

struct esds_layout {
    bool long_es_size = false;     // four size bytes on the elementary stream descriptor
    bool long_config_size = false; // four size bytes on the decoder configuration
    std::uint32_t average = 128564;
    std::uint8_t object_type = 0x40;
};

// The "esds" payload: version and flags, then the two descriptors.
inline bytes esds_payload(const esds_layout& layout) {
    const auto size = [](bool long_form, std::uint8_t value) {
        return long_form ? bytes{0x80, 0x80, 0x80, value} : bytes{value};
    };
    const bytes config = cat({{layout.object_type, 0x15, 0x00, 0x18, 0x00},
                              be32(0x00017700),
                              be32(layout.average),
                              {0x05, 0x02, 0x12, 0x10}});
    const bytes es = cat({{0x00, 0x01, 0x00, 0x04},
                          size(layout.long_config_size, static_cast<std::uint8_t>(config.size())),
                          config,
                          {0x06, 0x01, 0x02}});
    return cat(
        {be32(0), {0x03}, size(layout.long_es_size, static_cast<std::uint8_t>(es.size())), es});
}

// The 28 bytes of audio sample entry fields before the "esds" box.
inline bytes audio_entry_fields() {
    return cat(
        {{0, 0, 0, 0, 0, 0, 0, 1}, bytes(8, 0), {0, 2, 0, 16, 0, 0, 0, 0}, be32(44100u << 16)});
}

inline bytes mp4a_payload(const esds_layout& layout = {}) {
    return cat({audio_entry_fields(), box("esds", esds_payload(layout))});
}

// A sample description with its 8-byte header and the given entries.
inline bytes stsd_box(const bytes& entries, std::uint32_t count = 1, std::uint32_t version = 0) {
    return box("stsd", cat({be32(version), be32(count), entries}));
}

inline bytes track(const bytes& stsd) {
    return box("trak",
               box("mdia", cat({box("mdhd", bytes(24, 0)), box("minf", box("stbl", stsd))})));
}

inline bytes ftyp_box(const char* major = "3gp6") {
    return box("ftyp", cat({text(major), be32(0x200), text("isom3gp6")}));
}

// A whole recording: file-type box, media data, then the movie box with `tracks`.
inline bytes recording(const bytes& tracks, const char* major = "3gp6") {
    return cat({ftyp_box(major), box("mdat", bytes(64, 0x5a)),
                box("moov", cat({box("mvhd", bytes(100, 0)), tracks}))});
}

inline bytes audio_recording(const esds_layout& layout = {}) {
    return recording(track(stsd_box(box("mp4a", mp4a_payload(layout)))));
}

// A file-type box with the minor version 0x01020304, the brands `compatible` and `tail`.
inline bytes ftyp_with(const char* major, const bytes& compatible, const bytes& tail = {}) {
    return box("ftyp", cat({text(major), be32(0x01020304), compatible, tail}));
}

// A recording with `ftyp` in place of the usual file-type box.
inline bytes with_ftyp(const bytes& ftyp, const esds_layout& layout = {}) {
    const bytes usual = audio_recording(layout);
    return cat({ftyp, bytes(usual.begin() + long(ftyp_box().size()), usual.end())});
}

// A recording whose "mp4a" entry holds `mp4a`.
inline bytes with_entry(const bytes& mp4a) {
    return recording(track(stsd_box(box("mp4a", mp4a))));
}

// A recording with the byte at `offset` of the "mp4a" payload replaced.
inline bytes entry_byte(std::size_t offset, std::uint8_t value, const esds_layout& layout = {}) {
    bytes entry = mp4a_payload(layout);
    entry[offset] = value;
    return with_entry(entry);
}

// A recording whose "mp4a" payload is cut after `length` bytes, its "esds" size matching
// what is left.
inline bytes short_entry(std::size_t length, const esds_layout& layout = {}) {
    bytes entry = mp4a_payload(layout);
    entry.resize(length);
    constexpr std::size_t esds_size_in_entry = esds_type_in_entry - 4;
    if (length >= esds_type_in_entry) {
        const bytes size = be32(static_cast<std::uint32_t>(length - esds_size_in_entry));
        std::copy(size.begin(), size.end(), entry.begin() + esds_size_in_entry);
    }
    return with_entry(entry);
}

inline bytes truncated(bytes file, std::size_t drop) {
    file.resize(file.size() - drop);
    return file;
}

// A real file stream holding `content`, positioned at its start.
inline stream_handle stream_of(const bytes& content) {
    stream_handle stream{std::tmpfile()};
    if (!content.empty())
        std::fwrite(content.data(), 1, content.size(), stream.get());
    std::rewind(stream.get());
    return stream;
}

inline bytes contents(std::FILE* stream) {
    bytes all;
    std::rewind(stream);
    for (int c; (c = std::fgetc(stream)) != EOF;)
        all.push_back(static_cast<std::uint8_t>(c));
    return all;
}

inline std::size_t find_bytes(const bytes& haystack, const char* needle) {
    const bytes wanted = text(needle);
    const auto at = std::search(haystack.begin(), haystack.end(), wanted.begin(), wanted.end());
    return static_cast<std::size_t>(at - haystack.begin());
}

// The offset in a built recording of its entry's maximum bit rate (one-byte sizes).
inline std::size_t max_bitrate_at(const bytes& file) {
    return find_bytes(file, "mp4a") + fourcc_size + max_bitrate_in_entry;
}
