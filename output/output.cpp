#include "output/output.hpp"

#include <array>
#include <cstdio>
#include <new>
#include <vector>

std::string output_path;

namespace {

constexpr int max_names = 100;                  // stem.m4a, then stem00.m4a to stem98.m4a
constexpr std::size_t min_extension_length = 4; // the dot and three characters

// Where the current name sequence puts its number, and which name of it is current.
std::size_t sequence_dot = 0;
int sequence_index = 0;

// Position of the dot that starts the extension, or npos. Only the last path component
// can hold it, so the output always stays beside the input.
std::size_t extension_dot(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    const std::size_t separator = path.find_last_of(platform::path_separators);
    if (dot == std::string::npos || (separator != std::string::npos && dot < separator) ||
        path.size() - dot < min_extension_length)
        return std::string::npos;
    return dot;
}

// Makes `output_path` the name of `sequence_index`: stem.m4a for 0, stem00.m4a for 1.
void name_of_index() {
    std::array<char, 16> ending;
    if (sequence_index == 0)
        std::snprintf(ending.data(), ending.size(), ".m4a");
    else
        std::snprintf(ending.data(), ending.size(), "%02d.m4a", sequence_index - 1);
    output_path.replace(sequence_dot, std::string::npos, ending.data());
}

// Moves on to the first name of the sequence from `sequence_index` on that nothing
// holds; false when none is left.
bool free_name_from_here() {
    for (; sequence_index < max_names; ++sequence_index) {
        name_of_index();
        if (!platform::name_exists(output_path.c_str()))
            return true;
    }
    return false;
}

bool choose_output_name(const char* input_path) {
    try {
        output_path.assign(input_path);
    } catch (const std::bad_alloc&) {
        std::fputs("malloc failed!", stderr);
        return false;
    }
    sequence_dot = extension_dot(output_path);
    if (sequence_dot == std::string::npos) {
        std::fprintf(stderr, "input file:%s extension error!", input_path);
        return false;
    }
    sequence_index = 0;
    if (free_name_from_here())
        return true;
    std::fputs("output file: create failed!", stderr);
    return false;
}

bool open_in_place(const char* input_path, platform::working_file& work) {
    // The edit is made only where the rename after it can succeed.
    if (!platform::name_can_be_made(output_path.c_str())) {
        std::fprintf(stderr, "output file:%s open failed!", output_path.c_str());
        return false;
    }
    if (!platform::open_for_update(input_path, work)) {
        std::fprintf(stderr, "file:%s open failed!", input_path);
        return false;
    }
    return true;
}

bool open_copy(const platform::input_file& input, platform::working_file& copy) {
    if (!platform::create_copy(output_path.c_str(), input, copy)) {
        std::fprintf(stderr, "output file:%s open failed!", output_path.c_str());
        return false;
    }
    if (!platform::copy_contents(input, copy)) {
        std::fputs("copy failed!", stderr);
        return false;
    }
    return true;
}

// Tries `give_name` on `output_path` and, while another file holds that name, on the
// next free names of the sequence. The messages (formats taking the name) are for a
// sequence used up and for any other refusal.
template <typename Namer>
bool name_with_retries(Namer give_name, const char* used_up, const char* failure) {
    for (;;) {
        switch (give_name(output_path.c_str())) {
        case platform::name_result::done:
            return true;
        case platform::name_result::name_taken:
            ++sequence_index;
            if (free_name_from_here())
                continue;
            std::fprintf(stderr, used_up, output_path.c_str());
            return false;
        case platform::name_result::failed:
            std::fprintf(stderr, failure, output_path.c_str());
            return false;
        }
    }
}

} // namespace

bool open_output(const char* input_path, bool overwrite, const platform::input_file& input,
                 platform::working_file& work) {
    if (!choose_output_name(input_path))
        return false;
    return overwrite ? open_in_place(input_path, work) : open_copy(input, work);
}

container_status apply_edit(const platform::working_file& work, const payload_edit& edit) {
    std::vector<std::uint8_t> found;
    try {
        found.resize(edit.original.size());
    } catch (const std::bad_alloc&) {
        return report("error!(malloc)", status_no_buffer);
    }
    if (!platform::read_at(work, edit.position, found.data(), found.size()) ||
        found != edit.original)
        return report("error!(rd box)", status_format_error);
    if (!platform::write_at(work, edit.position, edit.edited.data(), edit.edited.size()))
        return edit.short_write;
    return status_ok;
}

bool publish_copy(platform::working_file& copy) {
    return name_with_retries([&](const char* path) { return platform::publish(copy, path); },
                             "output file: create failed!", "output file:%s open failed!");
}

bool rename_input(const char* input_path) {
    return name_with_retries(
        [&](const char* path) { return platform::rename_no_replace(input_path, path); },
        "output file:%s rename failed!", "output file:%s rename failed!");
}
