// The process entry on Windows. The arguments arrive in UTF-16, with any wildcard
// patterns as they were typed; the tool takes them in UTF-8 and expanded, as a POSIX
// shell passes them.
#include "cli/driver.hpp"
#include "platform/windows_arguments.hpp"

#include <cstdlib>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

// The C runtime's own expansion stays off: it matches hidden and system files too.
extern "C" {
int _dowildcard = 0;
}

int wmain(int argc, wchar_t* argv[]) {
    // "/?" is how Windows programs are asked for help, and names no file: '?' is not
    // allowed in a name. On its own it shows the usage text, as no arguments do.
    if (argc == 2 && std::wcscmp(argv[1], L"/?") == 0)
        argc = 1;
    std::vector<std::string> arguments;
    std::vector<char*> pointers;
    try {
        if (!platform::expand_arguments(argc, argv, arguments))
            return EXIT_FAILURE;
        for (std::string& argument : arguments)
            pointers.push_back(argument.data());
        pointers.push_back(nullptr);
    } catch (const std::bad_alloc&) {
        return EXIT_FAILURE;
    }
    return run(static_cast<int>(arguments.size()), pointers.data());
}
