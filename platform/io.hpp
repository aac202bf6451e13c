// Small I/O types shared by the driver, the output files and the tests.
#pragma once

#include <cstdio>
#include <memory>

struct stream_closer {
    void operator()(std::FILE* stream) const noexcept { std::fclose(stream); }
};

// A stdio stream that is closed when the handle goes. Only read streams are held this
// way: the result of their close does not matter.
using stream_handle = std::unique_ptr<std::FILE, stream_closer>;
