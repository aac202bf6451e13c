#include "output/output.hpp"
#include "platform/path_parts.hpp"

#include <array>
#include <cstdio>
#include <new>

namespace {

constexpr int max_names = 100;                  // stem.m4a, then stem00.m4a to stem98.m4a
constexpr std::size_t min_extension_length = 4; // the dot and three characters

// Position of the dot that starts the extension, or npos. Only the last path component
// can hold it, so the output always stays beside the input.
std::size_t extension_dot(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot < platform::name_at(path) ||
        path.size() - dot < min_extension_length)
        return std::string::npos;
    return dot;
}

// Makes `output_path` the name of `index`: stem.m4a for 0, stem00.m4a for 1.
void name_of_index(output_name& output) {
    std::array<char, 16> ending;
    if (output.index == 0)
        std::snprintf(ending.data(), ending.size(), ".m4a");
    else
        std::snprintf(ending.data(), ending.size(), "%02d.m4a", output.index - 1);
    output.output_path.replace(output.number_at, std::string::npos, ending.data());
}

// Moves on to the first name of the sequence from `index` on that nothing holds; false
// when none is left.
bool free_name_from_here(output_name& output) {
    for (; output.index < max_names; ++output.index) {
        name_of_index(output);
        if (!platform::name_exists(output.output_path.c_str()))
            return true;
    }
    return false;
}

bool choose_output_name(const char* input_path, output_name& output) {
    try {
        output.output_path.assign(input_path);
    } catch (const std::bad_alloc&) {
        write_message("malloc failed!");
        return false;
    }
    output.number_at = extension_dot(output.output_path);
    if (output.number_at == std::string::npos) {
        write_message("input file:%s extension error!", input_path);
        return false;
    }
    output.index = 0;
    if (free_name_from_here(output))
        return true;
    write_message("output file: create failed!");
    return false;
}

bool open_in_place(const char* input_path, const output_name& output,
                   platform::working_file& work) {
    // The edit is made only where the rename after it can succeed.
    if (!platform::name_can_be_made(output.output_path.c_str(), input_path)) {
        write_message("output file:%s open failed!", output.output_path.c_str());
        return false;
    }
    if (!platform::open_for_update(input_path, work)) {
        write_message("file:%s open failed!", input_path);
        return false;
    }
    return true;
}

bool open_copy(const platform::input_file& input, const output_name& output,
               platform::working_file& copy) {
    if (!platform::create_copy(output.output_path.c_str(), input, copy)) {
        write_message("output file:%s open failed!", output.output_path.c_str());
        return false;
    }
    if (!platform::copy_contents(input, copy)) {
        write_message("copy failed!");
        return false;
    }
    return true;
}

// Tries `give_name` on `output_path` and, while another file holds that name, on the
// next free names of the sequence. The messages (formats taking the name) are for a
// sequence used up and for any other refusal. A name that ended up holding another
// program's file is left to it, with the message of a refused rename. A name made is
// synced with its folder's others.
template <typename Namer>
bool name_with_retries(output_name& output, Namer give_name, const char* used_up,
                       const char* failure) {
    for (;;) {
        switch (give_name(output.output_path.c_str())) {
        case platform::name_result::done:
            platform::named_in_folder_of(output.output_path.c_str());
            return true;
        case platform::name_result::name_taken:
            ++output.index;
            if (free_name_from_here(output))
                continue;
            write_message(used_up, output.output_path.c_str());
            return false;
        case platform::name_result::failed:
            write_message(failure, output.output_path.c_str());
            return false;
        case platform::name_result::not_ours:
            write_message("output file:%s rename failed!", output.output_path.c_str());
            return false;
        }
    }
}

} // namespace

bool open_output(const char* input_path, bool overwrite, const platform::input_file& input,
                 output_name& output, platform::working_file& work) {
    if (!choose_output_name(input_path, output))
        return false;
    return overwrite ? open_in_place(input_path, output, work) : open_copy(input, output, work);
}

bool publish_copy(output_name& output, platform::working_file& copy) {
    return name_with_retries(
        output, [&](const char* path) { return platform::publish(copy, path); },
        "output file: create failed!", "output file:%s open failed!");
}

bool rename_input(output_name& output, const char* input_path,
                  const platform::working_file& input) {
    return name_with_retries(
        output,
        [&](const char* path) { return platform::rename_own_file(input, input_path, path); },
        "output file:%s rename failed!", "output file:%s rename failed!");
}
