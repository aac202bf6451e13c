// Feeds arbitrary bytes through the check pass and the edit pass of the container
// operations, on an in-memory stream of fixed length, and traps on any broken promise.
//
// Input layout: the first two bytes, big-endian, modulo 8193 give the bit rate in kbps
// (0 to 8192, the range the command line admits); the remaining bytes are the file.

#include "container/audio_bitrate.hpp"
#include "container/box.hpp"
#include "container/ftyp.hpp"
#include "platform/io.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

constexpr std::size_t bitrate_prefix_size = 2;
constexpr std::uint32_t bitrate_choices = 8193;
constexpr std::size_t ftyp_payload_start = box_header_size;
constexpr std::size_t major_brand_end = ftyp_payload_start + fourcc_size;
constexpr std::size_t minor_version_end = major_brand_end + 4;
constexpr std::size_t field_size = 4;
constexpr std::size_t bitrate_run_size = 2 * field_size; // maximum, then average

void require(bool condition) {
    if (!condition)
        __builtin_trap();
}

// Statuses of one pass; the bit-rate operation runs only when the file-type box passes,
// and reads 0 otherwise.
struct verdict {
    int ftyp = 0;
    int audio = 0;
    bool accepted() const { return ftyp == 0 && audio == 0; }
    bool operator==(const verdict&) const = default;
};

bool ftyp_status_known(int status) {
    return status == 0 || status == -1 || status == -2;
}

bool audio_status_known(int status) {
    return status == 0 || status == -1 || status == -2 || status == -3;
}

// One pass from the start of the stream, in the driver's order.
verdict run_pass(std::FILE* stream, std::uint32_t ftyp_size, std::int32_t kbps, bool apply) {
    require(fseeko(stream, 0, SEEK_SET) == 0);
    verdict result;
    result.ftyp = fix_ftyp(stream, apply);
    require(ftyp_status_known(result.ftyp));
    if (result.ftyp != 0)
        return result;
    // A passing file-type box leaves the stream directly after itself.
    require(ftello(stream) == static_cast<off_t>(ftyp_size));
    result.audio = fix_audio_bitrate(stream, kbps, apply);
    require(audio_status_known(result.audio));
    return result;
}

void require_length(std::FILE* stream, std::size_t length) {
    require(std::fflush(stream) == 0);
    require(fseeko(stream, 0, SEEK_END) == 0 && ftello(stream) == static_cast<off_t>(length));
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

// The input with the payloads that a check pass plans written over it, as the tool's
// edit pass writes them; each must lie in the file and match what the check pass read.
bytes with_planned_edits(const bytes& input, std::int32_t kbps) {
    bytes file = input;
    payload_edit ftyp;
    payload_edit entry;
    {
        const stream_handle stream{fmemopen(file.data(), file.size(), "r")};
        require(stream != nullptr);
        require(fix_ftyp(stream.get(), false, &ftyp) == 0 &&
                fix_audio_bitrate(stream.get(), kbps, false, &entry) == 0);
    }
    for (const payload_edit* edit : {&ftyp, &entry}) {
        const auto at = static_cast<std::size_t>(edit->position);
        require(edit->position >= 0 && edit->edited.size() == edit->original.size() &&
                at + edit->original.size() <= input.size());
        require(std::equal(edit->original.begin(), edit->original.end(), input.data() + at));
        std::copy(edit->edited.begin(), edit->edited.end(), file.data() + at);
    }
    return file;
}

void check_input(const bytes& input, std::int32_t kbps) {
    bytes file = input;
    const stream_handle stream{fmemopen(file.data(), file.size(), "r+")};
    require(stream != nullptr);
    const std::uint32_t ftyp_size = input.size() >= fourcc_size ? read_be32(input.data()) : 0;

    const verdict checked = run_pass(stream.get(), ftyp_size, kbps, false);
    require_length(stream.get(), input.size());
    require(file == input);

    // The edit pass reaches the same verdict; a file-type box it rejects is left alone,
    // and one it accepts changes in its payload only.
    const verdict edited = run_pass(stream.get(), ftyp_size, kbps, true);
    require_length(stream.get(), input.size());
    require(edited == checked);
    if (checked.ftyp != 0) {
        require(file == input);
        return;
    }
    require(same_range(file, input, 0, ftyp_payload_start));
    require(same_range(file, input, major_brand_end,
                       std::min<std::size_t>(minor_version_end, ftyp_size)));
    require(same_fourcc(&file[ftyp_payload_start], "M4A "));
    if (!checked.accepted()) {
        require(same_range(file, input, ftyp_size, file.size()));
        return;
    }

    // Past the file-type box only the two bit-rate fields may change.
    const std::vector<std::size_t> runs = bitrate_runs(input, file, ftyp_size, kbps);
    require(!runs.empty());

    // The edits planned by the check pass make the same file as the edit pass.
    const bytes once = file;
    require(with_planned_edits(input, kbps) == once);

    // A second bit-rate edit applies the same rule to the value the first one stored.
    require(fseeko(stream.get(), ftyp_size, SEEK_SET) == 0);
    require(fix_audio_bitrate(stream.get(), kbps, true) == 0);
    require_length(stream.get(), input.size());
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
    if (size <= bitrate_prefix_size)
        return 0;
    const auto kbps =
        static_cast<std::int32_t>((std::uint32_t{data[0]} << 8 | data[1]) % bitrate_choices);
    check_input(bytes(data + bitrate_prefix_size, data + size), kbps);
    return 0;
}
