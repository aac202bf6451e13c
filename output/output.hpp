// Output naming, the working file that the edit pass modifies, and the edit pass itself.
#pragma once

#include "container/box.hpp"
#include "platform/platform.hpp"

#include <span>
#include <string>

// The output name of a file and where it stands in its sequence: stem.m4a, then
// stem00.m4a to stem98.m4a. One value serves the whole run; open_output fills it for
// each file, and the functions that finish the file take it.
struct output_name {
    std::string output_path;
    std::size_t number_at = 0; // where the number goes: the extension's dot
    int index = 0;             // 0 for stem.m4a, 1 for stem00.m4a, ...
};

// Chooses `output.output_path` for `input_path` and opens the file to edit: a new copy of
// `input`, which has no name until it is finished, or with `overwrite` the input itself
// opened for update, once the output name is known to be possible there. On failure it
// writes its message to standard error and returns false; nothing is left behind.
bool open_output(const char* input_path, bool overwrite, const platform::input_file& input,
                 output_name& output, platform::working_file& work);

// Gives the finished copy `output.output_path`, or the next free name of its sequence
// when another file took that name meanwhile. On failure it writes its message.
bool publish_copy(output_name& output, platform::working_file& copy);

// Renames the edited input, open as `input`, to `output.output_path`, or to the next free
// name of its sequence when that one was taken meanwhile. On failure it writes its
// message.
bool rename_input(output_name& output, const char* input_path, const platform::working_file& input);

// The edit pass on its own: writes the payloads that the check pass planned over the
// working file, once every region they replace has been read back and still holds the
// bytes the check pass saw; otherwise nothing is written. Returns 0; -1 with
// "error!(rd box)" when a region changed or could not be read; -2 with "error!(malloc)";
// or, with no message, the short_write status of the first edit whose write fell short.
container_status apply_edits(const platform::working_file& work,
                             std::span<const payload_edit> edits);

// How finishing a file ended.
enum class finish_result {
    done,          // converted under its output name
    edit_failed,   // nothing converted: no copy is left, and an input keeps its bytes and name
    not_published, // the finished copy could not be given a name; it is gone
};

// Copy mode: writes the `edits` that the check pass planned into the new copy, gives it
// the input's `times` and then its name. Failures write their message, if they have one.
finish_result finish_copy(platform::working_file& copy, output_name& output,
                          std::span<const payload_edit> edits, const platform::file_times& times);

// In-place mode: the same edit on the input, then the rename to its output name, as one
// step: whatever fails after the first write (a write, the rename, the close), the
// original bytes are put back and the input keeps its name. An interruption leaves it
// either as it was or finished.
finish_result finish_in_place(const char* input_path, platform::working_file& file,
                              output_name& output, std::span<const payload_edit> edits,
                              const platform::file_times& times);
