// The hidden name of a copy that is being made, shared by the systems whose file systems
// insist on naming every file.
#pragma once

#include "platform/path_parts.hpp"
#include "platform/platform.hpp"

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

// What a system's exclusive create of a hidden name came to.
enum class hidden_create {
    created,    // `copy` holds the new file and its name
    name_taken, // a file of that name exists: the next attempt follows
    failed,
};

// Makes the copy for `output_path` under the first of its hidden names (attempts 0 to 99)
// that no file holds, each name at most `longest` bytes. `create(path, copy)` is the
// system's own exclusive create; it runs while the ending signals are deferred, so that
// an interrupted run always knows the name it must remove. False when no name fits or
// every attempt failed.
template <typename Create>
bool create_under_hidden_name(const char* output_path, unsigned long process_id,
                              std::size_t longest, working_file& copy, Create create) {
    constexpr int attempts = 100;
    const std::string prefix = folder_prefix(output_path);
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const std::string name = hidden_name(name_part(output_path), process_id, attempt, longest);
        if (name.empty())
            return false;
        const ending_signals_deferred deferred;
        switch (create(prefix + name, copy)) {
        case hidden_create::created:
            return true;
        case hidden_create::name_taken:
            continue;
        case hidden_create::failed:
            return false;
        }
    }
    return false;
}

} // namespace platform
