// Wildcard patterns on the command line. cmd and PowerShell pass them on as they stand,
// quoted or not, and leave it to the program to expand them; `dir` shows what users
// expect a pattern to match.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include "platform/path_parts.hpp"
#include "platform/windows_arguments.hpp"
#include "platform/windows_handle.hpp"

#include <windows.h>

#include <algorithm>
#include <new>
#include <string_view>

namespace platform {

namespace {

// Where the last part of a path starts: after its last "\", "/" or a drive's ":".
std::size_t last_part_at(std::wstring_view word) {
    return name_at(word, std::wstring_view{windows_wide_path_separators});
}

bool is_pattern(std::wstring_view word) {
    return word.find_first_of(L"*?", last_part_at(word)) != std::wstring_view::npos;
}

bool all_digits(std::wstring_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

// A copy that a run made under a hidden name and could not remove: ".song.m4a.1234-0",
// its visible part cut short where the whole would be too long. It is left out even where
// the hidden attribute was lost, as on a copy to another disk.
bool is_unfinished_copy(std::wstring_view name) {
    const std::size_t dash = name.rfind(L'-');
    if (!name.starts_with(L'.') || dash == std::wstring_view::npos ||
        !all_digits(name.substr(dash + 1)))
        return false;
    const std::size_t dot = name.rfind(L'.', dash);
    return dot != std::wstring_view::npos && dot > 0 &&
           all_digits(name.substr(dot + 1, dash - dot - 1));
}

bool is_listed(const WIN32_FIND_DATAW& found) {
    const std::wstring_view name = found.cFileName;
    return name != L"." && name != L".." &&
           (found.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) == 0 &&
           !is_unfinished_copy(name);
}

// In the order NTFS keeps names, whatever order the file system of the folder lists them
// in: by their characters, upper and lower case alike.
bool comes_before(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
}

// The names that `pattern` matches, each behind the folder part of the pattern as it was
// typed; none when it matches nothing or cannot be searched. A name that would begin
// with '-' gets ".\" in front, so that the driver never takes it for an option.
std::vector<std::wstring> matches(const std::wstring& pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                             FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    const std::wstring folder = pattern.substr(0, last_part_at(pattern));
    do {
        if (is_listed(found))
            names.push_back(folder + found.cFileName);
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    std::sort(names.begin(), names.end(), comes_before);
    for (std::wstring& name : names)
        if (name.starts_with(L'-'))
            name.insert(0, L".\\");
    return names;
}

bool append_utf8(const wchar_t* word, std::vector<std::string>& arguments) {
    std::string text;
    if (!to_utf8(word, text))
        return false;
    arguments.push_back(std::move(text));
    return true;
}

} // namespace

bool expand_arguments(int argc, wchar_t* argv[], std::vector<std::string>& arguments) {
    try {
        for (int i = 0; i < argc; ++i) {
            const std::vector<std::wstring> names =
                i > 0 && is_pattern(argv[i]) ? matches(argv[i]) : std::vector<std::wstring>{};
            if (names.empty() && !append_utf8(argv[i], arguments))
                return false;
            for (const std::wstring& name : names)
                if (!append_utf8(name.c_str(), arguments))
                    return false;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

} // namespace platform
