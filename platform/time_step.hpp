// How long a copy waits before it reads an input that was written a moment ago, shared
// by the systems.
#pragma once

#include <cstdint>

namespace platform {

// A file system keeps a file's modification time in steps: whole seconds, two on disk, on
// FAT and exFAT; on the others the clock tick of the system, a few milliseconds. A write
// within the step of the write before it leaves the time as it was, so a copy that starts
// within that step could take in a change that the time never shows. Nanoseconds of 0
// mark the coarse kind.
constexpr std::int64_t coarse_time_step = 2'000'000'000;
constexpr std::int64_t fine_time_step = 20'000'000;

// Nanoseconds to wait, from `now`, until the step of the modification time `modified` is
// over; 0 when it is, and when the two clocks lie more than a step apart the other way.
constexpr std::int64_t wait_for_time_step(std::int64_t modified_seconds,
                                          std::int64_t modified_nanoseconds,
                                          std::int64_t now_seconds, std::int64_t now_nanoseconds) {
    constexpr std::int64_t nanoseconds_per_second = 1'000'000'000;
    const std::int64_t step = modified_nanoseconds == 0 ? coarse_time_step : fine_time_step;
    const std::int64_t since = (now_seconds - modified_seconds) * nanoseconds_per_second +
                               (now_nanoseconds - modified_nanoseconds);
    return since >= step || since <= -step ? 0 : step - since;
}

} // namespace platform
