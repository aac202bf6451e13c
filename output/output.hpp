// Output naming and the working file that the edit pass modifies.
#pragma once

#include "container/box.hpp"
#include "platform/platform.hpp"

#include <string>

// The output name of the last successful open_output; it lives for the whole run.
extern std::string output_path;

// Chooses `output_path` for `input_path` and opens the file to edit: a new copy of
// `input`, which has no name until publish_copy gives it one, or with `overwrite` the
// input itself opened for update, once the output name is known to be possible there.
// On failure it writes its message to standard error and returns false; nothing is
// left behind.
bool open_output(const char* input_path, bool overwrite, const platform::input_file& input,
                 platform::working_file& work);

// Writes a payload that the check pass planned, after reading back the bytes that it
// replaces: they must still be the ones the check pass saw.
container_status apply_edit(const platform::working_file& work, const payload_edit& edit);

// Gives the finished copy `output_path`, or the next free name of its sequence when
// another file took that name meanwhile. On failure it writes its message.
bool publish_copy(platform::working_file& copy);

// Renames the edited input to `output_path`, or to the next free name of its sequence
// when that one was taken meanwhile. On failure it writes its message.
bool rename_input(const char* input_path);
