// Paths and words on Windows: the tool takes them in UTF-8, the wide API in UTF-16.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include "platform/path_parts.hpp"
#include "platform/windows_handle.hpp"
#include "platform/windows_parts.hpp"

#include <windows.h>

#include <new>
#include <string>
#include <string_view>

namespace platform {

const char* const path_separators = windows_path_separators;

bool to_wide(const char* text, std::wstring& wide) {
    const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (length <= 0)
        return false;
    try {
        wide.resize(static_cast<std::size_t>(length));
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.data(), length) !=
        length)
        return false;
    wide.pop_back(); // the terminator
    return true;
}

bool to_utf8(const wchar_t* wide, std::string& text) {
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return false;
    try {
        text.resize(static_cast<std::size_t>(length));
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (::WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), length, nullptr, nullptr) !=
        length)
        return false;
    text.pop_back(); // the terminator
    return true;
}

namespace {

// Paths from this length on are given in the "\\?\" form, below the MAX_PATH limit of
// the plain form even for a folder (MAX_PATH less room for an 8.3 name).
constexpr std::size_t long_path_from = MAX_PATH - 12;

// Windows drops a trailing dot or blank from a name in the plain form, and so opens
// another file or none; Linux, macOS and Samba make such names on shared disks.
bool ends_in_dot_or_blank(std::string_view name) {
    return !name.empty() && (name.back() == '.' || name.back() == ' ') && name != "." &&
           name != "..";
}

} // namespace

bool system_path(const char* path, std::wstring& wide) {
    if (!to_wide(path, wide))
        return false;
    const bool exact_name = ends_in_dot_or_blank(name_part(path));
    if ((wide.size() < long_path_from && !exact_name) || wide.starts_with(L"\\\\?\\") ||
        wide.starts_with(L"\\\\.\\"))
        return true;
    // GetFullPathNameW drops those characters too: such a name's folder is resolved
    // alone, and the name put back behind it as it stands.
    std::wstring name;
    if (exact_name && (!to_wide(folder_of(path).c_str(), wide) || !to_wide(name_part(path), name)))
        return false;
    const DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return false;
    std::wstring full;
    try {
        full.resize(needed);
    } catch (const std::bad_alloc&) {
        return false;
    }
    const DWORD length = ::GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed)
        return false;
    full.resize(length);
    try {
        if (!name.empty() && !full.ends_with(L'\\'))
            full += L'\\';
        full += name;
        // "\\server\share\..." becomes "\\?\UNC\server\share\...".
        wide = full.starts_with(L"\\\\") ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

} // namespace platform
