// Feeds arbitrary bytes through the check pass of the container operations, on an
// in-memory stream of fixed length, and the tool's own edit pass, on a file in memory,
// and traps on any broken promise. Inputs are laid out as fuzz/seeds.hpp says.

#include "container/audio_bitrate.hpp"
#include "container/box.hpp"
#include "container/ftyp.hpp"
#include "fuzz/edit_in_memory.hpp"
#include "fuzz/seeds.hpp"
#include "platform/io.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

constexpr std::size_t ftyp_payload_start = box_header_size;
constexpr std::size_t major_brand_end = ftyp_payload_start + fourcc_size;
constexpr std::size_t minor_version_end = major_brand_end + 4;
constexpr std::size_t field_size = 4;
constexpr std::size_t bitrate_run_size = 2 * field_size; // maximum, then average

void require(bool condition) {
    if (!condition)
        __builtin_trap();
}

// The check pass from the start of the stream, in the driver's order: the bit-rate
// operation runs only when the file-type box passes. Returns whether both passed.
bool passes_check(std::FILE* stream, std::uint32_t ftyp_size, std::int32_t kbps,
                  std::array<payload_edit, 2>& planned) {
    std::rewind(stream);
    const int ftyp = fix_ftyp(stream, planned[0]);
    require(ftyp == 0 || ftyp == -1 || ftyp == -2);
    if (ftyp != 0)
        return false;
    // A passing file-type box leaves the stream directly after itself.
    require(stream_position(stream) == std::int64_t{ftyp_size});
    const int audio = fix_audio_bitrate(stream, kbps, planned[1]);
    require(audio == 0 || audio == -1 || audio == -2);
    return audio == 0;
}

// The tool's edit pass on a copy of `file`; returns the copy after it.
bytes edited_by_tool(bytes file, std::span<const payload_edit> edits) {
    require(edit_in_memory(file, edits));
    return file;
}

void require_length(std::FILE* stream, std::size_t length) {
    require(std::fflush(stream) == 0);
    require(std::fseek(stream, 0, SEEK_END) == 0 &&
            stream_position(stream) == static_cast<std::int64_t>(length));
}

bool same_range(const bytes& a, const bytes& b, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i)
        if (a[i] != b[i])
            return false;
    return true;
}

// Whether `after` holds at `at` a maximum and an average that both equal the target
// for the average `before` held there.
bool bitrate_run_at(const bytes& before, const bytes& after, std::size_t at, std::int32_t kbps) {
    const std::uint32_t target = target_bitrate(kbps, read_be32(&before[at + field_size]));
    return read_be32(&after[at]) == target && read_be32(&after[at + field_size]) == target;
}

// Places where the edit may have set the two bit-rate fields: every 8-byte run past the
// file-type box that covers all changed bytes there and now holds the target twice.
std::vector<std::size_t> bitrate_runs(const bytes& before, const bytes& after, std::size_t ftyp_end,
                                      std::int32_t kbps) {
    std::size_t first = after.size();
    std::size_t last = 0;
    for (std::size_t i = ftyp_end; i < after.size(); ++i)
        if (before[i] != after[i]) {
            first = std::min(first, i);
            last = i;
        }
    std::size_t from = ftyp_end;
    std::size_t to = after.size();
    if (first < after.size()) {
        from = std::max(from, last + 1 >= bitrate_run_size ? last + 1 - bitrate_run_size : 0);
        to = std::min(to, first + bitrate_run_size);
    }
    std::vector<std::size_t> runs;
    for (std::size_t at = from; at + bitrate_run_size <= to; ++at)
        if (bitrate_run_at(before, after, at, kbps))
            runs.push_back(at);
    return runs;
}

bytes with_bitrate_run(bytes file, std::size_t at, std::uint32_t value) {
    write_be32(&file[at], value);
    write_be32(&file[at + field_size], value);
    return file;
}

void check_input(const bytes& input, std::int32_t kbps) {
    bytes file = input;
    const stream_handle stream{fmemopen(file.data(), file.size(), "r")};
    require(stream != nullptr);
    const std::uint32_t ftyp_size = input.size() >= fourcc_size ? read_be32(input.data()) : 0;

    // The check pass reads only; the edit follows only where both operations pass.
    std::array<payload_edit, 2> planned;
    const bool accepted = passes_check(stream.get(), ftyp_size, kbps, planned);
    require_length(stream.get(), input.size());
    require(file == input);
    if (!accepted)
        return;

    // The file-type box changes in its payload only, and keeps its minor version.
    file = edited_by_tool(input, planned);
    require(same_range(file, input, 0, ftyp_payload_start));
    require(same_range(file, input, major_brand_end,
                       std::min<std::size_t>(minor_version_end, ftyp_size)));
    require(same_fourcc(&file[ftyp_payload_start], "M4A "));

    // Past the file-type box only the two bit-rate fields may change.
    const std::vector<std::size_t> runs = bitrate_runs(input, file, ftyp_size, kbps);
    require(!runs.empty());

    // A second bit-rate edit applies the same rule to the value the first one stored.
    const bytes once = file;
    const stream_handle again{fmemopen(file.data(), file.size(), "r")};
    require(again != nullptr && std::fseek(again.get(), long{ftyp_size}, SEEK_SET) == 0);
    payload_edit entry;
    require(fix_audio_bitrate(again.get(), kbps, entry) == 0);
    file = edited_by_tool(once, {&entry, 1});
    bool explained = file == once;
    for (std::size_t at : runs)
        explained = explained ||
                    file == with_bitrate_run(once, at, target_bitrate(kbps, read_be32(&once[at])));
    require(explained);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The operations explain each rejection on standard error, which would cost a write
    // per input. glibc lets a program point `stderr` elsewhere; the fuzzer keeps the
    // stream it took at startup for its own output, and sanitizer reports go to fd 2.
    if (std::FILE* sink = std::fopen("/dev/null", "w"))
        stderr = sink;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // fmemopen may refuse an empty buffer, and an empty file has nothing to edit.
    if (size <= seed_prefix_size)
        return 0;
    check_input(bytes(data + seed_prefix_size, data + size), seed_bitrate_kbps(data));
    return 0;
}
