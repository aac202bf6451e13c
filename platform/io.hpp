// Small I/O types shared by the driver, the output files and the tests.
#pragma once

#include <cstdio>
#include <memory>

struct stream_closer {
    void operator()(std::FILE* stream) const noexcept { std::fclose(stream); }
};

// A stdio stream that is closed when the handle goes. A stream that was written to is
// closed with close_written instead, so that a failed last write is seen.
using stream_handle = std::unique_ptr<std::FILE, stream_closer>;

// Closes a stream that was written to; false when its last buffered bytes did not
// reach the file or the close itself failed.
inline bool close_written(stream_handle stream) {
    return std::fclose(stream.release()) == 0;
}
