#include "cli/driver.hpp"

#include "container/audio_bitrate.hpp"
#include "container/ftyp.hpp"
#include "output/output.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <array>
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
constexpr int usage_error = -1; // 255 as a POSIX exit status

bool is_option(const char* argument) {
    return argument[0] == '-';
}

// Files dropped on the program in a file manager, or none when it is double-clicked, run
// in a console window that closes as the run ends: a skipped file's line, or the usage
// text, stays readable until a key is pressed.
void keep_on_screen() {
    if (!platform::console_closes_with_run())
        return;
    std::fputs("Press any key to close this window.\n", stderr);
    std::fflush(stderr);
    platform::wait_for_key();
}

// What the check pass found to rewrite: the file-type payload and the "mp4a" entry.
using planned_edits = std::array<payload_edit, 2>;

// The check pass: validates the input and works out the edit in memory only.
bool passes_check(std::FILE* input, std::int32_t bitrate_kbps, planned_edits& edits) {
    return fix_ftyp(input, edits[0]) == status_ok &&
           fix_audio_bitrate(input, bitrate_kbps, edits[1]) == status_ok;
}

// Converts one file; false when it was skipped, its line written.
bool process_file(const char* path, const options& opts, output_name& output) {
    platform::input_file input;
    planned_edits edits;
    if (!platform::open_input(path, input) ||
        !passes_check(input.stream.get(), opts.bitrate_kbps, edits)) {
        write_message(" Skipped:%s\n", path);
        return false;
    }
    // In place, the input is closed before the file is opened for the edit: on systems
    // where a lock belongs to the process, any close of the file would drop the lock that
    // keeps other runs out of the edit.
    if (opts.overwrite)
        input.stream.reset();
    platform::working_file work;
    const bool opened = open_output(path, opts.overwrite, input, output, work);
    input.stream.reset();
    if (!opened) {
        write_message("Skipped:%s\n", path);
        return false;
    }
    const finish_result result = opts.overwrite
                                     ? finish_in_place(path, work, output, edits, input.times)
                                     : finish_copy(work, output, edits, input.times);
    if (result == finish_result::edit_failed)
        write_message(" Skipped File:%s\n", path);
    else if (result == finish_result::not_published)
        write_message("Skipped:%s\n", path);
    return result == finish_result::done;
}

// Writes the usage text to standard output and closes it; false when the text did not
// get there whole.
bool print_usage(const char* program_name) {
    std::printf("Usage:%s [-w] [-b br] file1 [file2 [...]]\n", program_name);
    std::fputs("Options\n-w : overwrite input files.\n-b br : set bitrate to 'br' kbps.\n", stdout);
    return std::fclose(stdout) == 0;
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
        const bool shown = print_usage(program_name);
        keep_on_screen();
        return shown ? 0 : usage_error;
    }
    options opts;
    if (!scan_options(argc, argv, opts)) {
        print_usage(program_name);
        keep_on_screen();
        return usage_error;
    }
    output_name output; // one name buffer for the whole run
    bool skipped_any = false;
    for (int i = opts.first_file; i < argc; ++i)
        skipped_any = !process_file(argv[i], opts, output) || skipped_any;
    // A converted file prints nothing: the end of the run says that they are all done,
    // names and all.
    platform::sync_names();
    if (skipped_any)
        keep_on_screen();
    return 0;
}
