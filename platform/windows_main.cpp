// The process entry on Windows. The arguments arrive in UTF-16; the tool takes them,
// as it takes every path, in UTF-8.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include "cli/driver.hpp"

#include <windows.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

// The start-up code expands wildcard patterns in the arguments, as a POSIX shell does,
// since cmd.exe passes them on unexpanded. A pattern that matches nothing is passed on
// as it stands.
extern "C" {
int _dowildcard = -1;
}

namespace {

bool to_utf8(const wchar_t* wide, std::string& text) {
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return false;
    text.resize(static_cast<std::size_t>(length));
    if (::WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), length, nullptr, nullptr) !=
        length)
        return false;
    text.pop_back(); // the terminator
    return true;
}

// The UTF-8 arguments in `arguments`, and in `pointers` the argument vector over them,
// ending in a null pointer.
bool utf8_arguments(int argc, wchar_t* argv[], std::vector<std::string>& arguments,
                    std::vector<char*>& pointers) {
    const auto count = static_cast<std::size_t>(argc);
    try {
        arguments.resize(count);
        pointers.reserve(count + 1);
        for (std::size_t i = 0; i < count; ++i) {
            if (!to_utf8(argv[i], arguments[i]))
                return false;
            pointers.push_back(arguments[i].data());
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    pointers.push_back(nullptr);
    return true;
}

} // namespace

int wmain(int argc, wchar_t* argv[]) {
    std::vector<std::string> arguments;
    std::vector<char*> pointers;
    if (!utf8_arguments(argc, argv, arguments, pointers))
        return EXIT_FAILURE;
    return run(argc, pointers.data());
}
