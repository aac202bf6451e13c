// The command line as the Windows process entry hands it to the tool.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The words `argv` in UTF-8, as a POSIX shell would pass them: each word after the
// program's name whose last part holds a wildcard (`*` or `?`) is replaced by the names
// it matches, in name order, as `dir` lists them: hidden and system files and the hidden
// copies that an interrupted run leaves (".NAME.m4a.PID-N") are left out, and a name
// that begins with '-' comes as ".\NAME", never to be read as an option. A word without
// a wildcard, and a pattern that matches nothing, stay as they stand. False when memory
// runs out.
bool expand_arguments(int argc, wchar_t* argv[], std::vector<std::string>& arguments);

} // namespace platform
