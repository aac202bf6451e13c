#pragma once

#include "container/box.hpp"

#include <cstdint>
#include <cstdio>
#include <span>

// Follows the first track from right after the file-type box down to its "mp4a" sample
// entry and works out the entry with the maximum and average bit rate of its MPEG-4
// audio decoder configuration set to `bitrate_kbps` * 1000, or with `bitrate_kbps` 0 to
// the stored average rounded to 1000 bit/s. Returns 0 with `planned` holding the entry's
// position, its bytes and the rewritten bytes; -1 on a format error or short read; -2
// when a buffer cannot be had. A short write of the planned entry counts as -3.
container_status fix_audio_bitrate(std::FILE* stream, std::int32_t bitrate_kbps,
                                   payload_edit& planned);

// The bit rate stored for `bitrate_kbps` and a stored average of `average` bit/s.
std::uint32_t target_bitrate(std::int32_t bitrate_kbps, std::uint32_t average);

// Offset in the "mp4a" payload of the last size byte of the decoder configuration
// descriptor, or -1 when the "esds" box does not hold the expected layout with both
// bit-rate fields inside the payload.
std::int64_t decoder_config_offset(std::span<const std::uint8_t> entry);
