// The check pass of the tool for the web page: for one file, the edits that make the
// converted copy, or the status of the check that refused it. The check writes its
// message to standard error, where the page's worker collects it.

#include "container/audio_bitrate.hpp"
#include "container/ftyp.hpp"

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>

#include <emscripten/emscripten.h>

namespace {

struct file_closer {
    void operator()(std::FILE* stream) const { std::fclose(stream); }
};

// The file-type payload and the "mp4a" entry, in the order they lie in the file.
std::array<payload_edit, 2> planned;

} // namespace

extern "C" {

// Runs the check pass on the file at `path` (a file of the worker's file system, read
// on demand from the dropped file). Returns 0 when both edits are planned; otherwise
// the status of the check that failed, its message written to standard error, or 1
// when the file cannot be opened.
EMSCRIPTEN_KEEPALIVE int check_file(const char* path, int bitrate_kbps) {
    planned = {};
    const std::unique_ptr<std::FILE, file_closer> input{std::fopen(path, "rb")};
    if (!input)
        return 1;
    const container_status status = fix_ftyp(input.get(), planned[0]);
    if (status != status_ok)
        return status;
    const container_status audio = fix_audio_bitrate(input.get(), bitrate_kbps, planned[1]);
    std::fflush(stderr);
    return audio;
}

// The planned edits: where edit `index` starts in the file, how many bytes it replaces
// and the bytes that replace them.
EMSCRIPTEN_KEEPALIVE double edit_position(int index) {
    return static_cast<double>(planned[static_cast<std::size_t>(index)].position);
}
EMSCRIPTEN_KEEPALIVE int edit_size(int index) {
    return static_cast<int>(planned[static_cast<std::size_t>(index)].edited.size());
}
EMSCRIPTEN_KEEPALIVE const std::uint8_t* edit_bytes(int index) {
    return planned[static_cast<std::size_t>(index)].edited.data();
}

} // extern "C"
