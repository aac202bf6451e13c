// Output naming and the working stream that the edit pass modifies.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

struct stream_closer {
    void operator()(std::FILE* stream) const noexcept { std::fclose(stream); }
};
using stream_handle = std::unique_ptr<std::FILE, stream_closer>;

// Closes a stream that was written to; false when its last buffered bytes did not
// reach the file or the close itself failed.
bool close_written(stream_handle stream);

// The output name of the last successful open_output; it lives for the whole run.
extern std::string output_path;

// Chooses `output_path` for `input_path` and returns the stream to edit, positioned at
// its start: a fresh copy of the input in copy mode, the input opened for update with
// `overwrite`. On failure it writes its message to standard error and returns no stream;
// a partial copy is removed first.
stream_handle open_output(const char* input_path, bool overwrite);

// Renames `from` to `to` unless a file named `to` exists; never replaces a file.
bool rename_no_replace(const char* from, const char* to);
