// The hidden name of a copy that is being made, shared by the systems whose file systems
// insist on naming every file.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Names of this many bytes fit every file system that holds recordings: ext4 and XFS
// count bytes up to 255, FAT, exFAT and NTFS count up to 255 UTF-16 units, and a UTF-8
// name never has more units than bytes.
constexpr std::size_t longest_portable_name = 255;

// ".song.m4a.1234-0" for the output name "song.m4a": left out by `ls`, and kept apart
// from the copies of other runs by the process id and `attempt`.
// The visible part is cut short, never inside a UTF-8 character, so that the whole name
// takes at most `longest` bytes; empty when not even the process id and counter fit.
inline std::string hidden_name(std::string_view output_name, unsigned long process_id, int attempt,
                               std::size_t longest) {
    const std::string tail = "." + std::to_string(process_id) + "-" + std::to_string(attempt);
    if (longest < tail.size() + 1)
        return {};
    std::size_t kept = std::min(output_name.size(), longest - tail.size() - 1);
    const auto continues_character = [&](std::size_t at) {
        return at < output_name.size() &&
               (static_cast<unsigned char>(output_name[at]) & 0xc0) == 0x80;
    };
    while (kept > 0 && continues_character(kept))
        --kept;
    return "." + std::string(output_name.substr(0, kept)) + tail;
}

} // namespace platform
