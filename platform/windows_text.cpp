// UTF-16 to UTF-8, the other way of to_wide: the tool takes every path and word in UTF-8.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include "platform/windows_handle.hpp"

#include <windows.h>

#include <new>
#include <string>

namespace platform {

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

} // namespace platform
