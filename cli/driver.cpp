#include "cli/driver.hpp"

#include "container/audio_bitrate.hpp"
#include "container/ftyp.hpp"
#include "output/output.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <limits>

namespace {

struct options {
    bool overwrite = false;        // edit the input itself instead of a copy
    std::int32_t bitrate_kbps = 0; // 0: derive from the file
    int first_file = 1;            // index of the first file argument
};

constexpr std::int32_t max_bitrate_kbps = 8192;

// Whether the run skipped a file, which it may have to keep on the screen.
bool skipped_any = false;

bool is_option(const char* argument) {
    return argument[0] == '-';
}

// Ends the line of a skipped file with its notice. The line goes out whole: where
// standard error is buffered, this is where it is written.
void skip_notice(const char* notice, const char* path) {
    std::fprintf(stderr, notice, path);
    std::fflush(stderr);
    skipped_any = true;
}

// Files dropped on the program in a file manager run in a console window that closes
// as the run ends: where a file was skipped, its line stays readable until a key is
// pressed.
void keep_skips_on_screen() {
    if (!skipped_any || !platform::console_closes_with_run())
        return;
    std::fputs("Press any key to close this window.\n", stderr);
    std::fflush(stderr);
    platform::wait_for_key();
}

// What the check pass found to rewrite: the file-type payload and the "mp4a" entry.
struct planned_edits {
    payload_edit ftyp;
    payload_edit entry;
};

// The check pass: validates the input and works out the edit in memory only.
bool passes_check(std::FILE* input, std::int32_t bitrate_kbps, planned_edits& edits) {
    return fix_ftyp(input, false, &edits.ftyp) == status_ok &&
           fix_audio_bitrate(input, bitrate_kbps, false, &edits.entry) == status_ok;
}

// The edit pass on the working file, from what the check pass planned.
bool edit(const platform::working_file& work, const planned_edits& edits) {
    return apply_edit(work, edits.ftyp) == status_ok && apply_edit(work, edits.entry) == status_ok;
}

// A copy gets its name only once it is whole; a failed one is never seen.
void finish_copy(const char* path, platform::working_file& copy, bool edited) {
    if (!edited) {
        skip_notice(" Skipped File:%s\n", path);
        return;
    }
    if (!publish_copy(copy)) {
        skip_notice("Skipped:%s\n", path);
        return;
    }
    if (!platform::close_file(copy)) {
        platform::remove_name(output_path.c_str());
        skip_notice(" Skipped File:%s\n", path);
    }
}

void finish_in_place(const char* path, platform::working_file& file, bool edited) {
    const bool closed = platform::close_file(file);
    if (!edited || !closed || !rename_input(path))
        skip_notice(" Skipped File:%s\n", path);
}

void process_file(const char* path, const options& opts) {
    platform::input_file input;
    planned_edits edits;
    if (!platform::open_input(path, input) ||
        !passes_check(input.stream.get(), opts.bitrate_kbps, edits)) {
        skip_notice(" Skipped:%s\n", path);
        return;
    }
    platform::working_file work;
    const bool opened = open_output(path, opts.overwrite, input, work);
    input.stream.reset();
    if (!opened) {
        skip_notice("Skipped:%s\n", path);
        return;
    }
    const bool edited = edit(work, edits);
    if (edited)
        platform::keep_times(work, input.times);
    if (opts.overwrite)
        finish_in_place(path, work, edited);
    else
        finish_copy(path, work, edited);
}

// Writes the usage text to standard output.
void print_usage(const char* program_name) {
    std::printf("Usage:%s [-w] [-b br] file1 [file2 [...]]\n", program_name);
    std::fputs("Options\n-w : overwrite input files.\n-b br : set bitrate to 'br' kbps.\n", stdout);
}

// Decimal text to integer: leading white space and a sign, digits up to the first other
// character, no digits giving 0; values beyond 32 bits saturate.
std::int32_t parse_bitrate(const char* text) {
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    // The magnitude stops growing at 2^31, so the result saturates at the 32-bit limits.
    constexpr std::int64_t limit = -std::int64_t{std::numeric_limits<std::int32_t>::min()};
    std::int64_t magnitude = 0;
    for (; std::isdigit(static_cast<unsigned char>(*text)); ++text)
        magnitude = std::min<std::int64_t>(magnitude * 10 + (*text - '0'), limit);
    if (negative)
        return static_cast<std::int32_t>(-magnitude);
    return static_cast<std::int32_t>(std::min<std::int64_t>(magnitude, limit - 1));
}

// Reads the leading option words of `argv`. False on a usage error.
bool scan_options(int argc, char* const argv[], options& parsed) {
    int k = 1;
    if (!is_option(argv[k])) {
        parsed.first_file = k;
        return true;
    }
    for (;;) {
        const char* word = argv[k];
        const char c1 = word[1];
        const char c2 = c1 != '\0' ? word[2] : '\0';
        bool takes_bitrate;
        if (c1 == 'w') {
            parsed.overwrite = true;
            takes_bitrate = c2 == 'b';
        } else {
            takes_bitrate = c1 == 'b' || c2 == 'b';
        }
        if (++k >= argc)
            return false;
        if (takes_bitrate) {
            // The value is taken whatever it looks like, a leading '-' included.
            parsed.bitrate_kbps = parse_bitrate(argv[k]);
            if (++k >= argc)
                return false;
        }
        if (!is_option(argv[k]))
            break;
    }
    parsed.first_file = k;
    return parsed.bitrate_kbps >= 0 && parsed.bitrate_kbps <= max_bitrate_kbps;
}

} // namespace

int run(int argc, char* argv[]) {
    platform::prepare_process();
    const char* program_name = argc > 0 && argv[0] != nullptr ? argv[0] : "m4afix";
    if (argc < 2) {
        print_usage(program_name);
        return 0;
    }
    options opts;
    if (!scan_options(argc, argv, opts)) {
        print_usage(program_name);
        return -1;
    }
    for (int i = opts.first_file; i < argc; ++i)
        process_file(argv[i], opts);
    output_path = std::string{};
    keep_skips_on_screen();
    return 0;
}
