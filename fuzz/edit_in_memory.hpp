// The tool's own edit pass on a file that lives in memory, for the programs in fuzz/ that
// run many files through it.
#pragma once

#include "output/output.hpp"

#include <cstdint>
#include <span>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

// Applies `edits` to `file` with apply_edits, on one memory file kept from call to call.
// False when the memory file cannot be had or the edit pass does not return 0.
inline bool edit_in_memory(std::vector<std::uint8_t>& file, std::span<const payload_edit> edits) {
    static const int memory_file = memfd_create("m4afix-edit", MFD_CLOEXEC);
    const auto size = static_cast<ssize_t>(file.size());
    if (memory_file < 0 || ftruncate(memory_file, 0) != 0 ||
        pwrite(memory_file, file.data(), file.size(), 0) != size)
        return false;
    platform::working_file work;
    work.file = memory_file;
    const container_status status = apply_edits(work, edits);
    work.file = platform::no_file; // kept for the next call
    return status == status_ok && pread(memory_file, file.data(), file.size(), 0) == size;
}
