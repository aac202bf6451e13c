// A path split into its folder and its last name, the one splitter of every system.
#pragma once

#include "platform/platform.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// On Windows a drive letter's colon ends a folder name too: "C:song.3gp" is "song.3gp" in
// C:'s current folder.
inline constexpr char windows_path_separators[] = "\\/:";
inline constexpr wchar_t windows_wide_path_separators[] = L"\\/:";

// Where the last name in `path` starts: after the last of `separators`; 0 for a bare name.
template <typename Char>
constexpr std::size_t name_at(std::basic_string_view<Char> path,
                              std::basic_string_view<Char> separators) {
    const std::size_t separator = path.find_last_of(separators);
    return separator == std::basic_string_view<Char>::npos ? 0 : separator + 1;
}

// The same with this system's separators.
inline std::size_t name_at(std::string_view path) {
    return name_at(path, std::string_view{path_separators});
}

inline const char* name_part(const char* path) {
    return path + name_at(path);
}

// What comes before the last name, its separator included ("sub/", "/", "C:\", "C:"), so
// that a root and a drive's current folder remain what they are; empty for a bare name.
inline std::string folder_prefix(const char* path) {
    return std::string(path, name_at(path));
}

// The folder that holds the last name: its prefix, or "." for a bare name.
inline std::string folder_of(const char* path) {
    std::string prefix = folder_prefix(path);
    return prefix.empty() ? "." : prefix;
}

} // namespace platform
