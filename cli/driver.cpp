#include "cli/driver.hpp"

#include "container/audio_bitrate.hpp"
#include "container/ftyp.hpp"
#include "output/output.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct options {
    bool overwrite = false;        // edit the input itself instead of a copy
    std::int32_t bitrate_kbps = 0; // 0: derive from the file
    int first_file = 1;            // index of the first file argument
};

constexpr std::int32_t max_bitrate_kbps = 8192;

bool is_option(const char* argument) {
    return argument[0] == '-';
}

// The input's access and modification times before this run read it.
struct file_times {
    std::timespec both[2];
};

// Opens the input for reading and takes its times. The open does not wait on a named
// pipe that has no writer; such a pipe then reads as empty and fails the check like any
// short file.
stream_handle open_input(const char* path, file_times& times) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return {};
    struct stat status;
    // Reads of a regular file never block, so only other files need the flag cleared.
    const bool usable =
        ::fstat(fd, &status) == 0 && (S_ISREG(status.st_mode) || ::fcntl(fd, F_SETFL, 0) == 0);
    stream_handle stream{usable ? ::fdopen(fd, "rb") : nullptr};
    if (!stream) {
        ::close(fd);
        return {};
    }
    times = {{status.st_atim, status.st_mtim}};
    return stream;
}

// The check pass: validates the input and works out the edit in memory only.
bool passes_check(std::FILE* input, std::int32_t bitrate_kbps) {
    return fix_ftyp(input, false) == 0 && fix_audio_bitrate(input, bitrate_kbps, false) == 0;
}

// The edit pass on the working stream, which stands at its start.
bool edit(std::FILE* stream, std::int32_t bitrate_kbps) {
    return fix_ftyp(stream, true) == 0 && fix_audio_bitrate(stream, bitrate_kbps, true) == 0;
}

// Gives the edited file the input's times, so that a converted recording keeps its date.
// Best effort: the file is whole either way.
void keep_times(std::FILE* stream, const file_times& times) {
    ::futimens(fileno(stream), times.both);
}

void process_file(const char* path, const options& opts) {
    file_times times{};
    {
        const stream_handle input = open_input(path, times);
        if (!input || !passes_check(input.get(), opts.bitrate_kbps)) {
            std::fprintf(stderr, " Skipped:%s\n", path);
            return;
        }
    }
    stream_handle stream = open_output(path, opts.overwrite);
    if (!stream) {
        std::fprintf(stderr, "Skipped:%s\n", path);
        return;
    }
    bool edited = edit(stream.get(), opts.bitrate_kbps);
    if (edited)
        keep_times(stream.get(), times);
    edited = close_written(std::move(stream)) && edited;
    if (!edited)
        std::fprintf(stderr, " Skipped File:%s\n", path);

    if (opts.overwrite && edited)
        rename_no_replace(path, output_path.c_str());
    else if (!opts.overwrite && !edited)
        ::unlink(output_path.c_str());
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
    return 0;
}
