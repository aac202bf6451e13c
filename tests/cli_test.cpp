#include "box_builder.hpp"
#include "cases.hpp"
#include "container/box.hpp"
#include "run_tool.hpp"

#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <unistd.h>

namespace {

using cases::operator<<;

const std::string usage =
    "Usage:m4afix [-w] [-b br] file1 [file2 [...]]\n"
    "Options\n-w : overwrite input files.\n-b br : set bitrate to 'br' kbps.\n";
constexpr bool writers_kept_out = on_windows || M4AFIX_LINUX_CALLS;
// main's -1: POSIX systems keep the low 8 bits of an exit status, Windows all 32.
constexpr int usage_error = on_windows ? -1 : 255;

// The built recording stores an average of 128564 bit/s: derived, that is 129000.
const bytes input = audio_recording();

// The maximum and average bit rate of a built recording.
std::pair<std::uint32_t, std::uint32_t> bitrates(const bytes& file) {
    const std::size_t fields = max_bitrate_at(file);
    return {read_be32(&file[fields]), read_be32(&file[fields + 4])};
}

struct command_case {
    const char* name = nullptr;
    std::vector<std::string> args{};
    int status{};
    std::string out{};
    std::string err{};
    std::optional<std::uint32_t> bitrate{}; // of f.m4a; none: no output expected
    bool input_kept = true;                 // f.3gp still there afterwards
    // Makes more files in the folder; returns a descriptor to close after the run, or -1.
    int (*setup)(const fs::path& dir) = nullptr;
    const char* posix_only = nullptr; // what the case needs that only POSIX systems have
    bool output_full = false;         // standard output on a device that is always full
};

class CommandLine : public testing::TestWithParam<command_case> {};

TEST_P(CommandLine, PrintsExitsAndConverts) {
    const command_case& c = GetParam();
    if (on_windows && c.posix_only != nullptr)
        GTEST_SKIP() << c.posix_only;
    if (c.output_full && !fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full here (macOS, the BSDs)";
    const temp_dir dir;
    write_file(dir / "f.3gp", input);
    // A whole second, as file systems that keep no finer times store them.
    const auto modified = std::chrono::floor<std::chrono::seconds>(
        fs::last_write_time(dir / "f.3gp") - std::chrono::hours{24 * 400});
    fs::last_write_time(dir / "f.3gp", modified);
    const int held = c.setup != nullptr ? c.setup(dir.path()) : -1;
    const tool_result result = run_tool(dir.path(), c.args, {.output_full = c.output_full});
    if (held >= 0)
        ::close(held);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(fs::exists(dir / "f.3gp"), c.input_kept);
    if (c.input_kept) {
        EXPECT_EQ(read_file(dir / "f.3gp"), input);
    }
    ASSERT_EQ(fs::exists(dir / "f.m4a"), c.bitrate.has_value());
    if (c.bitrate) {
        EXPECT_EQ(bitrates(read_file(dir / "f.m4a")), std::pair(*c.bitrate, *c.bitrate));
        // Dated as the input, and shown like any file.
        EXPECT_EQ(fs::last_write_time(dir / "f.m4a"), modified);
        EXPECT_FALSE(hidden_file(dir / "f.m4a"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLine,
    testing::Values(
        command_case{.name = "no_arguments", .out = usage},
        // A usage text that cannot be written is no success.
        command_case{.name = "no_arguments_output_full",
                     .status = usage_error,
                     .posix_only = "/dev/full",
                     .output_full = true},
        command_case{.name = "only_w", .args = {"-w"}, .status = usage_error, .out = usage},
        // How Windows programs are asked for help; elsewhere a name like any other.
        command_case{.name = "slash_question_mark",
                     .args = {"/?"},
                     .out = on_windows ? usage : "",
                     .err = on_windows ? "" : " Skipped:/?\n"},
        command_case{
            .name = "only_b_value", .args = {"-b", "128"}, .status = usage_error, .out = usage},
        command_case{
            .name = "b_without_value", .args = {"-b"}, .status = usage_error, .out = usage},
        command_case{.name = "w_then_b_without_value",
                     .args = {"-w", "-b"},
                     .status = usage_error,
                     .out = usage},
        command_case{.name = "lone_dash_only", .args = {"-"}, .status = usage_error, .out = usage},
        command_case{.name = "top_of_range", .args = {"-b", "8192", "f.3gp"}, .bitrate = 8192000},
        command_case{.name = "above_range",
                     .args = {"-b", "8193", "f.3gp"},
                     .status = usage_error,
                     .out = usage},
        command_case{
            .name = "negative", .args = {"-b", "-1", "f.3gp"}, .status = usage_error, .out = usage},
        command_case{.name = "beyond_32_bits",
                     .args = {"-b", "99999999999", "f.3gp"},
                     .status = usage_error,
                     .out = usage},
        command_case{.name = "beyond_32_bits_negative",
                     .args = {"-b", "-99999999999", "f.3gp"},
                     .status = usage_error,
                     .out = usage},
        command_case{.name = "last_b_wins_over_overflow",
                     .args = {"-b", "99999999999", "-b", "128", "f.3gp"},
                     .bitrate = 128000},
        command_case{
            .name = "no_digits_derives", .args = {"-b", "abc", "f.3gp"}, .bitrate = 129000},
        command_case{.name = "leading_space_and_tail",
                     .args = {"-b", " +64kbps", "f.3gp"},
                     .bitrate = 64000},
        command_case{
            .name = "last_b_wins", .args = {"-b", "96", "-b", "128", "f.3gp"}, .bitrate = 128000},
        command_case{.name = "bw_is_copy_mode", .args = {"-bw", "128", "f.3gp"}, .bitrate = 128000},
        command_case{.name = "wb_in_place",
                     .args = {"-wb", "128", "f.3gp"},
                     .bitrate = 128000,
                     .input_kept = false},
        command_case{.name = "xb_takes_bitrate", .args = {"-xb", "64", "f.3gp"}, .bitrate = 64000},
        command_case{.name = "wx_in_place_only",
                     .args = {"-wx", "f.3gp"},
                     .bitrate = 129000,
                     .input_kept = false},
        command_case{.name = "unknown_letters_ignored",
                     .args = {"-x", "--", "-", "f.3gp"},
                     .bitrate = 129000},
        command_case{.name = "trailing_w_is_a_file",
                     .args = {"f.3gp", "-w"},
                     .err = " Skipped:-w\n",
                     .bitrate = 129000},
        command_case{.name = "trailing_b_is_a_file",
                     .args = {"-b", "1", "f.3gp", "-b"},
                     .err = " Skipped:-b\n",
                     .bitrate = 1000},
        command_case{.name = "missing_file_then_next",
                     .args = {"missing.3gp", "f.3gp"},
                     .err = " Skipped:missing.3gp\n",
                     .bitrate = 129000},
        command_case{.name = "lone_dash_then_files",
                     .args = {"-", "bad.3gp", "f.3gp"},
                     .err = " Skipped:bad.3gp\n",
                     .bitrate = 129000},
        // A named pipe that holds a whole recording, its writer still there: no second
        // open may wait for another writer.
        command_case{.name = "named_pipe_input",
                     .args = {"p.3gp", "f.3gp"},
                     .err = " Skipped:p.3gp\n",
                     .bitrate = 129000,
                     .setup = [](const fs::path& dir) { return filled_pipe(dir / "p.3gp", input); },
                     .posix_only = "a named pipe"},
        // Another program holds the file open, as the C runtime opens files: on Windows
        // without sharing its deletion, which would refuse the rename, so -w leaves it
        // alone from the start; elsewhere that is no obstacle.
        command_case{.name = "in_place_while_open_elsewhere",
                     .args = {"-w", "f.3gp"},
                     .err = on_windows ? "file:f.3gp open failed!Skipped:f.3gp\n" : "",
                     .bitrate = on_windows ? std::optional<std::uint32_t>{} : 129000,
                     .input_kept = on_windows,
                     .setup =
                         [](const fs::path& dir) {
                             return ::open((dir / "f.3gp").string().c_str(), O_RDONLY);
                         }},
        // Where the system can keep writers out of the copy (a lease on Linux, the sharing
        // mode on Windows), a file that another program holds open for writing is not copied.
        // clang-format off
        command_case{.name = "copy_while_open_for_writing", .args = {"f.3gp"}, .err = writers_kept_out ? "copy failed!Skipped:f.3gp\n" : "", .bitrate = writers_kept_out ? std::optional<std::uint32_t>{} : 129000, .setup = [](const fs::path& dir) { return ::open((dir / "f.3gp").string().c_str(), O_WRONLY); }}),
    // clang-format on
    cases::case_name{});

struct naming_case {
    const char* name = nullptr;
    std::string input{};
    std::vector<std::string> existing{};
    std::string err{};
    std::string output{};                      // empty: none made
    std::vector<std::string> dangling_links{}; // names taken by links to nothing
    std::vector<std::string> folders{};        // names taken by empty folders
    const char* posix_only = nullptr;          // what the case needs that only POSIX systems have
    const char* faults = nullptr;              // run the faulty build with this plan
};

class Naming : public testing::TestWithParam<naming_case> {};

std::vector<std::string> numbered_names(int count) {
    std::vector<std::string> names{"song.m4a"};
    for (int i = 0; i < count; ++i)
        names.push_back("song" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".m4a");
    return names;
}

TEST_P(Naming, ChoosesFreeNameBesideInput) {
    const naming_case& c = GetParam();
    if (on_windows && c.posix_only != nullptr)
        GTEST_SKIP() << c.posix_only;
    if (c.faults != nullptr && faulty_build == nullptr)
        GTEST_SKIP() << no_faulty_build;
    for (const bool overwrite : {false, true}) {
        SCOPED_TRACE(overwrite ? "in place" : "copy");
        const temp_dir dir;
        fs::create_directories(dir / "dir.old");
        write_file(dir / c.input, input);
        for (const std::string& name : c.existing)
            write_file(dir / name, text("taken"));
        for (const std::string& name : c.dangling_links)
            fs::create_symlink(dir / "nowhere", dir / name);
        for (const std::string& name : c.folders)
            fs::create_directory(dir / name);
        std::vector<std::string> args{c.input};
        if (overwrite)
            args.insert(args.begin(), "-w");
        run_limits limits;
        if (c.faults != nullptr)
            limits = {.binary = faulty_build,
                      .environment = {std::string{"M4AFIX_FAULTS="} + c.faults}};
        const tool_result result = run_tool(dir.path(), args, limits);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, c.err);
        for (const std::string& name : c.existing)
            EXPECT_EQ(read_file(dir / name), text("taken")) << name;
        for (const std::string& name : c.dangling_links)
            EXPECT_EQ(fs::read_symlink(dir / name), dir / "nowhere") << name;
        for (const std::string& name : c.folders)
            EXPECT_TRUE(fs::is_empty(dir / name)) << name;
        const bool converted = !c.output.empty();
        EXPECT_EQ(fs::exists(dir / c.input), !(overwrite && converted));
        if (converted) {
            ASSERT_TRUE(fs::exists(dir / c.output)) << c.output;
            EXPECT_EQ(bitrates(read_file(dir / c.output)).first, 129000u);
        }
        if (!overwrite || !converted) {
            EXPECT_EQ(read_file(dir / c.input), input);
        }
    }
}

// With its extension, the longest name that most file systems take (255 bytes).
const std::string longest_stem(251, 's');

std::string extension_error(const std::string& path) {
    return "input file:" + path + " extension error!Skipped:" + path + "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Naming,
    testing::Values(
        naming_case{.name = "plain", .input = "song.3gp", .output = "song.m4a"},
        naming_case{.name = "m4a_taken",
                    .input = "song.3gp",
                    .existing = {"song.m4a"},
                    .output = "song00.m4a"},
        naming_case{.name = "two_taken",
                    .input = "song.3gp",
                    .existing = {"song.m4a", "song00.m4a"},
                    .output = "song01.m4a"},
        naming_case{
            .name = "dangling_link_taken",
            .input = "song.3gp",
            .output = "song00.m4a",
            .dangling_links = {"song.m4a"},
            .posix_only = "symbolic links, which the C++ library makes on POSIX systems only"},
        naming_case{.name = "folder_taken",
                    .input = "song.3gp",
                    .output = "song00.m4a",
                    .folders = {"song.m4a"}},
        // The longest name that most file systems allow, also for a copy that is made
        // under a hidden name first.
        naming_case{.name = "longest_name",
                    .input = longest_stem + ".3gp",
                    .output = longest_stem + ".m4a"},
        naming_case{.name = "longest_name_hidden_copy",
                    .input = longest_stem + ".3gp",
                    .output = longest_stem + ".m4a",
                    .posix_only = "the fault shim",
                    .faults = "open_unnamed:*:EOPNOTSUPP"},
        // The numbered name is two characters longer than most file systems allow.
        naming_case{.name = "numbered_name_too_long",
                    .input = longest_stem + ".3gp",
                    .existing = {longest_stem + ".m4a"},
                    .err = "output file:" + longest_stem +
                           "00.m4a open failed!Skipped:" + longest_stem + ".3gp\n"},
        naming_case{.name = "input_is_m4a", .input = "song.m4a", .output = "song00.m4a"},
        naming_case{.name = "long_extension", .input = "song.mpeg4", .output = "song.m4a"},
        naming_case{.name = "in_folder", .input = "dir.old/song.3gp", .output = "dir.old/song.m4a"},
        naming_case{.name = "last_free_name",
                    .input = "song.3gp",
                    .existing = numbered_names(98),
                    .output = "song98.m4a"},
        naming_case{.name = "all_names_taken",
                    .input = "song.3gp",
                    .existing = numbered_names(99),
                    .err = "output file: create failed!Skipped:song.3gp\n"},
        naming_case{.name = "no_extension", .input = "song", .err = extension_error("song")},
        naming_case{
            .name = "short_extension", .input = "song.3g", .err = extension_error("song.3g")},
        naming_case{.name = "one_letter_extension", .input = "a.b", .err = extension_error("a.b")},
        naming_case{.name = "dot_in_folder_only",
                    .input = "dir.old/song",
                    .err = extension_error("dir.old/song")},
        naming_case{.name = "dot_slash", .input = "./song", .err = extension_error("./song")}),
    cases::case_name{});

// A file that a case adds to the folder, holding the recording.
struct extra_file {
    std::string name;
    bool hidden = false; // with the hidden attribute (Windows only)
    bool system = false; // with the system attribute too
};

// Arguments as typed in cmd, which passes patterns on as they stand: the Windows build's
// start-up code expands them, where a POSIX shell has expanded them before the tool
// starts. Either way the tool makes the same files and prints the same messages.
struct typed_case {
    const char* name = nullptr;
    std::vector<std::string> typed{};    // as cmd passes them to the Windows build
    std::vector<std::string> expanded{}; // as a POSIX shell passes them; none: Windows only
    std::string err{};
    std::vector<std::string> after{}; // every file in the folder afterwards, sorted
    std::uint32_t bitrate = 129000;   // of every .m4a made
    std::vector<extra_file> extra{};  // more files in the folder
};

class TypedInCmd : public testing::TestWithParam<typed_case> {};

const std::string broken_name = "壊れた-ñ.3gp";
// Cut off where the movie box starts, as an interrupted recorder leaves a file.
const bytes broken(input.begin(),
                   input.begin() + static_cast<std::ptrdiff_t>(find_bytes(input, "moov") - 4));
const std::string broken_err = "format error(moov) Skipped:" + broken_name + "\n";

// The files in `dir` and its folders, sorted, as UTF-8 paths relative to `dir` with "/".
std::vector<std::string> files_below(const fs::path& dir) {
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator{dir}) {
        // Cut off as text: lexically_relative does not take the "\\?\" form.
        const fs::path relative = entry.path().native().substr(dir.native().size() + 1);
        const std::u8string name = relative.generic_u8string();
        if (entry.is_regular_file())
            files.emplace_back(name.begin(), name.end());
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST_P(TypedInCmd, SameFilesAndMessagesAsFromAShell) {
    const typed_case& c = GetParam();
    if (!on_windows && c.expanded.empty())
        GTEST_SKIP() << "a backslash separates folders on Windows only";
    const temp_dir dir;
    fs::create_directory(dir / "dir.old");
    for (const char* name : {"a.3gp", "dir.old/song", "dir.old/song.3gp", "ü-テスト.3gp"})
        write_file(dir / name, input);
    write_file(dir / broken_name, broken);
    for (const extra_file& file : c.extra) {
        fs::create_directories((dir / file.name).parent_path());
        write_file(exact_path(dir / file.name), input);
        if (file.hidden || file.system)
            set_attributes(dir / file.name, file.hidden, file.system);
        // Wine shows a dot-file as hidden unless told not to.
        if (on_windows) {
            ASSERT_EQ(hidden_file(exact_path(dir / file.name)), file.hidden) << file.name;
        }
    }
    const tool_result result = run_tool(dir.path(), on_windows ? c.typed : c.expanded);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.err);
    ASSERT_EQ(files_below(exact_path(dir.path())), c.after);
    for (const std::string& name : c.after) {
        const bytes content = read_file(exact_path(dir / name));
        if (name.ends_with(".m4a")) {
            EXPECT_EQ(bitrates(content), std::pair(c.bitrate, c.bitrate)) << name;
        } else {
            EXPECT_EQ(content, name == broken_name ? broken : input) << name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TypedInCmd,
    testing::Values(
        typed_case{.name = "bitrate_for_every_match",
                   .typed = {"-b", "64", "*.3gp"},
                   .expanded = {"-b", "64", "a.3gp", "ü-テスト.3gp", broken_name},
                   .err = broken_err,
                   .after = {"a.3gp", "a.m4a", "dir.old/song", "dir.old/song.3gp", "ü-テスト.3gp",
                             "ü-テスト.m4a", broken_name},
                   .bitrate = 64000},
        typed_case{.name = "pattern_in_folder",
                   .typed = {"dir.old\\*.3gp"},
                   .expanded = {"dir.old/song.3gp"},
                   .after = {"a.3gp", "dir.old/song", "dir.old/song.3gp", "dir.old/song.m4a",
                             "ü-テスト.3gp", broken_name}},
        // Taken as a file name, as a shell does by default.
        typed_case{
            .name = "pattern_matching_nothing",
            .typed = {"*.nomatch"},
            .expanded = {"*.nomatch"},
            .err = " Skipped:*.nomatch\n",
            .after = {"a.3gp", "dir.old/song", "dir.old/song.3gp", "ü-テスト.3gp", broken_name}},
        typed_case{
            .name = "unicode_names_in_place",
            .typed = {"-w", "ü-テスト.3gp", broken_name},
            .expanded = {"-w", "ü-テスト.3gp", broken_name},
            .err = broken_err,
            .after = {"a.3gp", "dir.old/song", "dir.old/song.3gp", "ü-テスト.m4a", broken_name}},
        typed_case{.name = "backslash_in_folder",
                   .typed = {"dir.old\\song.3gp"},
                   .expanded = {"dir.old/song.3gp"},
                   .after = {"a.3gp", "dir.old/song", "dir.old/song.3gp", "dir.old/song.m4a",
                             "ü-テスト.3gp", broken_name}},
        // The dot is the folder's: the name has no extension.
        typed_case{
            .name = "backslash_no_extension",
            .typed = {"dir.old\\song"},
            .err = extension_error("dir.old\\song"),
            .after = {"a.3gp", "dir.old/song", "dir.old/song.3gp", "ü-テスト.3gp", broken_name}},
        // As dir lists them: no hidden or system file, and no hidden copy that an
        // interrupted run left, even one that lost its hidden attribute. A folder is
        // listed, and skipped as no file.
        typed_case{.name = "pattern_skips_hidden_and_system",
                   .typed = {"*.*"},
                   .err = " Skipped:dir.old\n" + broken_err,
                   .after = {".a.m4a.284-0", ".b.m4a.285-10", "a.3gp", "a.m4a", "dir.old/song",
                             "dir.old/song.3gp", "hid.3gp", "sys-only.3gp", "sys.3gp",
                             "ü-テスト.3gp", "ü-テスト.m4a", broken_name},
                   .extra = {{"hid.3gp", true},
                             {"sys.3gp", true, true},
                             {"sys-only.3gp", false, true},
                             {".a.m4a.284-0", true},
                             {".b.m4a.285-10"}}},
        typed_case{.name = "hidden_name_given_literally",
                   .typed = {".\\hid.3gp"},
                   .expanded = {"./hid.3gp"},
                   .after = {"a.3gp", "dir.old/song", "dir.old/song.3gp", "hid.3gp", "hid.m4a",
                             "ü-テスト.3gp", broken_name},
                   .extra = {{"hid.3gp", true}}},
        // Expanded names are never options.
        typed_case{.name = "expanded_dash_name_is_a_file",
                   .typed = {"*.3gp"},
                   .err = broken_err,
                   .after = {"-w.3gp", "-w.m4a", "a.3gp", "a.m4a", "dir.old/song",
                             "dir.old/song.3gp", "ü-テスト.3gp", "ü-テスト.m4a", broken_name},
                   .extra = {{"-w.3gp"}}},
        // Names that Linux or Samba made, which Windows trims in the plain form. A
        // trailing dot leaves no extension.
        typed_case{.name = "trailing_dot_or_blank",
                   .typed = {"trail*", "space.3gp "},
                   .expanded = {"trail.3gp.", "space.3gp "},
                   .err = extension_error("trail.3gp."),
                   .after = {"a.3gp", "dir.old/song", "dir.old/song.3gp", "space.3gp ", "space.m4a",
                             "trail.3gp.", "ü-テスト.3gp", broken_name},
                   .extra = {{"trail.3gp."}, {"space.3gp "}}},
        // Quotes, which a blank needs, leave the pattern a pattern, as in dir.
        typed_case{.name = "quoted_pattern_with_blank",
                   .typed = {"my dir\\*.3gp"},
                   .expanded = {"my dir/x.3gp"},
                   .after = {"a.3gp", "dir.old/song", "dir.old/song.3gp", "my dir/x.3gp",
                             "my dir/x.m4a", "ü-テスト.3gp", broken_name},
                   .extra = {{"my dir/x.3gp"}}}),
    cases::case_name{});

// Offsets at which `after` differs from `before`, which must be as long.
std::vector<std::size_t> changed_offsets(const bytes& before, const bytes& after) {
    EXPECT_EQ(before.size(), after.size());
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < std::min(before.size(), after.size()); ++i)
        if (before[i] != after[i])
            changed.push_back(i);
    return changed;
}

// Only the file-type payload and the two bit-rate fields may change.
void expect_only_allowed_changes(const bytes& before, const bytes& after) {
    ASSERT_EQ(after.size(), before.size());
    const std::size_t ftyp_end = read_be32(before.data());
    const std::size_t esds = find_bytes(before, "esds");
    const std::size_t max_field = esds - esds_type_in_entry + max_bitrate_in_long_entry;
    for (const std::size_t offset : changed_offsets(before, after))
        EXPECT_TRUE((offset >= major_brand_at && offset < ftyp_end) ||
                    (offset >= max_field && offset < max_field + bitrate_fields_size))
            << offset;
    EXPECT_EQ(text("M4A "),
              bytes(after.begin() + major_brand_at, after.begin() + major_brand_at + fourcc_size));
    const std::uint32_t average = read_be32(&before[max_field + 4]);
    EXPECT_EQ(read_be32(&after[max_field]), (average + 499) / 1000 * 1000);
    EXPECT_EQ(read_be32(&after[max_field + 4]), (average + 499) / 1000 * 1000);
}

TEST(Recordings, ConvertInCopyModeAndInPlace) {
    for (const char* path : {M4AFIX_SAMPLES "/tone.3gp", M4AFIX_DATA "/tone-mp42.mp4"}) {
        SCOPED_TRACE(path);
        const bytes original = read_file(path);
        const temp_dir dir;
        write_file(dir / "a.3gp", original);
        write_file(dir / "b.3gp", original);
        const tool_result copy = run_tool(dir.path(), {"a.3gp"});
        const tool_result in_place = run_tool(dir.path(), {"-w", "b.3gp"});
        EXPECT_EQ(copy.err + in_place.err, "");
        EXPECT_EQ(read_file(dir / "a.3gp"), original);
        expect_only_allowed_changes(original, read_file(dir / "a.m4a"));
        EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"a.3gp", "a.m4a", "b.m4a"}));
        EXPECT_EQ(read_file(dir / "b.m4a"), read_file(dir / "a.m4a"));

        // Its own output is no longer a 3GP/MP4 file.
        const tool_result again = run_tool(dir.path(), {"a.m4a"});
        EXPECT_EQ(again.err, "format error!(ftyp main) Skipped:a.m4a\n");
    }
}

TEST(Recordings, TrailingBoxInEntryIsRejected) {
    const temp_dir dir;
    fs::copy_file(M4AFIX_DATA "/tone-btrt.mp4", dir / "t.mp4");
    const tool_result result = run_tool(dir.path(), {"t.mp4"});
    EXPECT_EQ(result.err, "format error(esds) Skipped:t.mp4\n");
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"t.mp4"});
}

TEST(InPlace, RenameNeverReplaces) {
    const temp_dir dir;
    write_file(dir / "f.3gp", input);
    // A first run converts f.3gp; its result moves aside. Then a file is put under f.m4a
    // before a second run on a new f.3gp: that run takes the next name, f00.m4a, and the
    // file under f.m4a stays as it was.
    ASSERT_EQ(run_tool(dir.path(), {"-w", "f.3gp"}).err, "");
    fs::rename(dir / "f.m4a", dir / "g.m4a");
    write_file(dir / "f.3gp", input);
    write_file(dir / "f.m4a", text("keep me"));
    ASSERT_EQ(run_tool(dir.path(), {"-w", "f.3gp"}).err, "");
    EXPECT_EQ(read_file(dir / "f.m4a"), text("keep me"));
    EXPECT_EQ(bitrates(read_file(dir / "f00.m4a")).first, 129000u);
}

} // namespace
