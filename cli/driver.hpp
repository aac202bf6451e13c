#pragma once

#include <cstdint>

struct options {
    bool overwrite = false;        // edit the input itself instead of a copy
    std::int32_t bitrate_kbps = 0; // 0: derive from the file
    int first_file = 1;            // index of the first file argument
};

// Writes the usage text to standard output.
void print_usage(const char* program_name);

// Reads the leading option words of `argv`. False on a usage error.
bool scan_options(int argc, char* const argv[], options& parsed);

// Decimal text to integer: leading white space and a sign, digits up to the first
// other character, no digits giving 0; values beyond 32 bits saturate.
std::int32_t parse_bitrate(const char* text);

// Runs the tool: options, then every file in turn. Returns the exit status.
int run(int argc, char* argv[]);
