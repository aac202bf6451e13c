// What only POSIX systems can put the tool through: failing I/O, file-size limits, signals,
// concurrent runs started at one instant, files beyond 4 GiB with holes, permission bits,
// times to the nanosecond and other users.
#include "box_builder.hpp"
#include "cases.hpp"
#include "container/box.hpp"
#include "platform/posix_stat_times.hpp"
#include "run_tool.hpp"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <pwd.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using cases::operator<<;

bytes moov_box(const esds_layout& layout = {}) {
    return box("moov", cat({box("mvhd", bytes(100, 0)),
                            track(stsd_box(box("mp4a", mp4a_payload(layout))))}));
}

// Media data larger than a stdio buffer, so that the input is read in several calls.
bytes big_recording(const esds_layout& layout = {}) {
    return cat({ftyp_box(), box("mdat", bytes(16 * 1024, 0x5a)), moov_box(layout)});
}

const bytes input = big_recording();

bytes with_m4a_brand(bytes file) {
    std::copy_n("M4A ", fourcc_size, file.begin() + major_brand_at);
    return file;
}

// What the tool makes of a built recording: the major brand "M4A " and both bit-rate
// fields set to `bitrate` (the built average of 128564 bit/s derives 129000).
bytes converted(const bytes& file, std::uint32_t bitrate = 129000) {
    bytes result = with_m4a_brand(file);
    const std::size_t fields = max_bitrate_at(file);
    write_be32(&result[fields], bitrate);
    write_be32(&result[fields + 4], bitrate);
    return result;
}

const bytes input_converted = converted(input);

std::vector<std::string> with_option(bool in_place, std::vector<std::string> args) {
    if (in_place)
        args.insert(args.begin(), "-w");
    return args;
}

// ---- Fault injection: the faulty build fails chosen calls (see fault_shim.cpp).

// What becomes of f.3gp, the faulty file of the batch.
enum class outcome {
    skipped,        // unchanged under its own name, no f.m4a
    converted,      // f.m4a made
    converted_next, // f00.m4a made: another file took f.m4a meanwhile
};

struct fault_case {
    const char* name = nullptr;
    std::string plan{};
    bool in_place{};
    std::string err{};
    outcome result = outcome::skipped;
};

class Faults : public testing::TestWithParam<fault_case> {};

// Each rule of `plan` fired: its call "kind:N" is in the log, or any call of its kind
// for "kind:*".
void expect_fired(const std::string& plan, const std::string& log) {
    std::istringstream rules{plan};
    for (std::string rule; std::getline(rules, rule, ',');) {
        const std::string call = rule.substr(0, rule.find(':', rule.find(':') + 1));
        const std::string line = call.back() == '*' ? call.substr(0, call.size() - 1) : call + "\n";
        EXPECT_NE(("\n" + log).find("\n" + line), std::string::npos) << rule << " never fired";
    }
}

TEST_P(Faults, ReportedCleanedUpAndBatchGoesOn) {
    const fault_case& c = GetParam();
    if (faulty_build == nullptr)
        GTEST_SKIP() << no_faulty_build;
    const temp_dir dir;
    const temp_dir logs;
    write_file(dir / "f.3gp", input);
    write_file(dir / "g.3gp", input);
    const auto modified = fs::last_write_time(dir / "f.3gp") - std::chrono::hours{24};
    fs::last_write_time(dir / "f.3gp", modified);
    const tool_result result =
        run_tool(dir.path(), with_option(c.in_place, {"f.3gp", "g.3gp"}),
                 {.binary = faulty_build,
                  .environment = {std::string{"M4AFIX_FAULTS="} + c.plan,
                                  "M4AFIX_FAULT_LOG=" + (logs / "fired").string()}});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, c.err);
    const bytes log = fs::exists(logs / "fired") ? read_file(logs / "fired") : bytes{};
    expect_fired(c.plan, std::string(log.begin(), log.end()));

    // The good file after the faulty one is converted.
    EXPECT_EQ(read_file(dir / "g.m4a"), input_converted);
    std::vector<std::string> names{"g.m4a"};
    if (!c.in_place) {
        EXPECT_EQ(read_file(dir / "g.3gp"), input);
        names.push_back("g.3gp");
    }
    const bool made = c.result == outcome::converted || c.result == outcome::converted_next;
    const std::string output = c.result == outcome::converted_next ? "f00.m4a" : "f.m4a";
    if (made) {
        EXPECT_EQ(read_file(dir / output), input_converted);
    }
    if (!c.in_place || !made)
        names.push_back("f.3gp");
    if (made)
        names.push_back(output);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names_in(dir.path()), names);

    if (fs::exists(dir / "f.3gp")) {
        EXPECT_EQ(read_file(dir / "f.3gp"), input);
        EXPECT_EQ(fs::last_write_time(dir / "f.3gp"), modified);
    }
}

const std::string check_failed = " Skipped:f.3gp\n";
const std::string copy_failed = "copy failed!Skipped:f.3gp\n";
const std::string not_created = "output file:f.m4a open failed!Skipped:f.3gp\n";
const std::string edit_failed = " Skipped File:f.3gp\n";
const std::string read_back_failed = "error!(rd box)" + edit_failed;

// What differs between the build with Linux's own calls and the one with standard calls
// only: whether the kernel copies and must be made to decline first, whether copies are
// made without a name, and the call that gives a copy or an input its new name.
constexpr bool linux_calls = M4AFIX_LINUX_CALLS;
const std::string kernel_declines = linux_calls ? "copy_file_range:*:EXDEV," : "";
const std::string no_unnamed_files = linux_calls ? "open_unnamed:*:EOPNOTSUPP," : "";
const std::string publish_call = linux_calls ? "linkat" : "link";
const std::string rename_call = linux_calls ? "renameat2" : "link";
// A file system that can neither rename without replacing nor link, as FAT and exFAT
// through FUSE: a name is reserved, then renamed over.
const std::string no_links =
    std::string{linux_calls ? "renameat2:*:EINVAL," : ""} + "link:*:EPERM,";
const std::string rename_failed = "output file:f.m4a rename failed! Skipped File:f.3gp\n";
const std::string sync_call = linux_calls ? "fdatasync" : "fsync"; // of a file's data

INSTANTIATE_TEST_SUITE_P(
    Cases, Faults,
    testing::Values(
        // Control: the faulty build is faithful when nothing fails, and calls that move
        // fewer bytes than asked (which the kernel may do) are no failure.
        fault_case{.name = "no_fault", .result = outcome::converted},
        fault_case{.name = "short_transfers",
                   .plan = "in_read:*:short,work_read:*:short",
                   .result = outcome::converted},
        fault_case{.name = "short_reads_and_writes_of_copy",
                   .plan = kernel_declines + "copy_read:*:short,copy_write:*:short",
                   .result = outcome::converted},
        // The check pass reads the input through a stream: the first read, then the
        // seek over the media data and the read after it.
        fault_case{.name = "input_not_opened", .plan = "fdopen:1", .err = check_failed},
        fault_case{.name = "input_first_read",
                   .plan = "in_read:1",
                   .err = "format error!(size)" + check_failed},
        fault_case{.name = "input_read_of_movie_box",
                   .plan = "in_read:2",
                   .err = "format error(moov)" + check_failed},
        fault_case{
            .name = "input_seek", .plan = "in_seek:1", .err = "format error(moov)" + check_failed},
        // The copy by reads and writes, and an input that holds fewer bytes than it did at
        // the check.
        fault_case{.name = "copy_read",
                   .plan = kernel_declines + "copy_read:1:short,copy_read:2",
                   .err = copy_failed},
        fault_case{.name = "copy_write",
                   .plan = kernel_declines + "copy_write:1:short,copy_write:2:ENOSPC",
                   .err = copy_failed},
        fault_case{.name = "input_shrank",
                   .plan = kernel_declines + "copy_read:1:short,copy_read:2:zero",
                   .err = copy_failed},
        // The publication of the copy under its name, where another run may have taken the
        // name, and the hidden name where the file system makes no files without a name.
        fault_case{.name = "publication", .plan = publish_call + ":1", .err = not_created},
        fault_case{.name = "name_taken_at_publication",
                   .plan = publish_call + ":1:EEXIST",
                   .result = outcome::converted_next},
        fault_case{.name = "hidden_name", .plan = no_unnamed_files, .result = outcome::converted},
        fault_case{.name = "hidden_name_not_made",
                   .plan = no_unnamed_files + "open_temp:1",
                   .err = not_created},
        fault_case{.name = "hidden_name_not_renamed",
                   .plan = no_unnamed_files + rename_call + ":1",
                   .err = not_created},
        // The edit pass on the copy: reading back the file-type payload, its write, the
        // write of the "mp4a" entry, the close.
        fault_case{.name = "copy_edit_read", .plan = "work_read:1", .err = read_back_failed},
        // Another program changed the bytes between the check and the edit.
        fault_case{
            .name = "copy_input_changed", .plan = "work_read:1:garble", .err = read_back_failed},
        fault_case{.name = "copy_ftyp_write_back", .plan = "work_write:1", .err = edit_failed},
        fault_case{.name = "copy_mp4a_write_back", .plan = "work_write:2", .err = edit_failed},
        fault_case{.name = "copy_close", .plan = "work_close:1", .err = edit_failed},
        // In place: the open for update, the edit pass on the input itself, the close and
        // the rename. Whatever fails after the first write, the input gets its bytes back.
        fault_case{.name = "in_place_not_opened",
                   .plan = "open_update:1",
                   .in_place = true,
                   .err = "file:f.3gp open failed!Skipped:f.3gp\n"},
        fault_case{.name = "in_place_edit_read",
                   .plan = "work_read:1",
                   .in_place = true,
                   .err = read_back_failed},
        fault_case{.name = "in_place_ftyp_write_back",
                   .plan = "work_write:1",
                   .in_place = true,
                   .err = edit_failed},
        fault_case{.name = "in_place_input_changed",
                   .plan = "work_read:2:garble",
                   .in_place = true,
                   .err = read_back_failed},
        fault_case{.name = "in_place_mp4a_write_back",
                   .plan = "work_write:2",
                   .in_place = true,
                   .err = edit_failed},
        fault_case{.name = "in_place_beyond_size_limit",
                   .plan = "work_write:2:EFBIG",
                   .in_place = true,
                   .err = edit_failed},
        fault_case{
            .name = "in_place_close", .plan = "work_close:1", .in_place = true, .err = edit_failed},
        fault_case{.name = "in_place_rename",
                   .plan = rename_call + ":1",
                   .in_place = true,
                   .err = rename_failed},
        fault_case{.name = "in_place_name_taken_at_rename",
                   .plan = rename_call + ":1:EEXIST",
                   .in_place = true,
                   .result = outcome::converted_next},
        // Neither a link nor a rename that never replaces.
        fault_case{.name = "hidden_name_over_reservation",
                   .plan = no_unnamed_files + no_links,
                   .result = outcome::converted},
        fault_case{.name = "in_place_over_reservation",
                   .plan = no_links,
                   .in_place = true,
                   .result = outcome::converted},
        fault_case{.name = "in_place_reservation_taken",
                   .plan = no_links + "open_temp:1:EEXIST",
                   .in_place = true,
                   .result = outcome::converted_next},
        fault_case{.name = "in_place_not_renamed_over_reservation",
                   .plan = no_links + "rename:1",
                   .in_place = true,
                   .err = rename_failed},
        // After a failed close the file cannot have its name back: it stays converted.
        fault_case{.name = "in_place_close_then_no_rename_back",
                   .plan = "work_close:1," + rename_call + ":2",
                   .in_place = true,
                   .err = rename_failed,
                   .result = outcome::converted},
        // clang-format off
        fault_case{.name = "copy_not_synced", .plan = sync_call + ":1", .err = edit_failed},
        fault_case{.name = "in_place_not_synced", .plan = sync_call + ":1", .in_place = true, .err = edit_failed},
        // clang-format on
        fault_case{.name = "in_place_linked_old_name_not_removed",
                   .plan = std::string{linux_calls ? "renameat2:*:EINVAL," : ""} + "unlink:1",
                   .in_place = true,
                   .err = rename_failed}),
    cases::case_name{});

// Linux's own calls: the kernel copy, the copy without a name, and the rename that never
// replaces, with the link that stands in for it where a file system does not know it.
INSTANTIATE_TEST_SUITE_P(
    LinuxCalls, Faults,
    testing::ValuesIn(linux_calls
                          ? std::vector<fault_case>{
                                // A kernel copy that moves nothing leaves the whole copy
                                // to reads and writes.
                                fault_case{.name = "kernel_copy_moves_nothing", .plan = "copy_file_range:1:zero", .result = outcome::converted},
                                fault_case{.name = "kernel_copy", .plan = "copy_file_range:1", .err = copy_failed},
                                fault_case{.name = "kernel_copy_after_part", .plan = "copy_file_range:1:short,copy_file_range:2", .err = copy_failed},
                                fault_case{.name = "input_shrank_in_kernel_copy", .plan = "copy_file_range:1:short,copy_file_range:2:zero,"
                                           "copy_read:1:zero", .err = copy_failed},
                                fault_case{.name = "unnamed_copy_not_made", .plan = "open_unnamed:1", .err = not_created},
                                // A refusal, as in a sticky folder, is no lack of support.
                                fault_case{.name = "in_place_rename_refused", .plan = "renameat2:1:EPERM", .in_place = true, .err = rename_failed},
                                // Older kernels refuse unnamed files so.
                                fault_case{.name = "unnamed_copy_refused_as_folder", .plan = "open_unnamed:*:EISDIR", .result = outcome::converted},
                                fault_case{.name = "hidden_name_renamed_by_link", .plan = no_unnamed_files + "renameat2:*:EINVAL", .result = outcome::converted},
                                fault_case{.name = "hidden_name_link_fails", .plan = no_unnamed_files + "renameat2:*:EINVAL,link:1", .err = not_created}}
                          : std::vector<fault_case>{}),
    cases::case_name{});

// ---- A file-size limit: real write failures, with standard error open or closed.

TEST(WriteFailures, FailedCopyLeavesNothing) {
    const temp_dir dir;
    write_file(dir / "f.3gp", input);
    const tool_result result = run_tool(dir.path(), {"f.3gp", "f.3gp"}, {.file_size = 100});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "copy failed!Skipped:f.3gp\ncopy failed!Skipped:f.3gp\n");
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"f.3gp"});
    EXPECT_EQ(read_file(dir / "f.3gp"), input);
}

TEST(WriteFailures, FailedInPlaceEditKeepsName) {
    // With standard error closed at the start, the message goes nowhere, and the file is
    // put back all the same.
    for (const bool closed_error : {false, true}) {
        SCOPED_TRACE(closed_error ? "standard error closed" : "standard error open");
        const temp_dir dir;
        write_file(dir / "f.3gp", input);
        // The file-type box lies below the limit, the audio entry beyond it.
        const rlim_t limit = find_bytes(input, "moov");
        const tool_result result =
            run_tool(dir.path(), {"-w", "f.3gp"},
                     {.file_size = limit, .close_standard_error = closed_error});
        if (!closed_error) {
            EXPECT_EQ(result.err, " Skipped File:f.3gp\n");
        }
        EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"f.3gp"});
        EXPECT_EQ(read_file(dir / "f.3gp"), input);
    }
}

// ---- What a converted file keeps: permission bits and times to the nanosecond.

struct stat stat_of(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status;
}

TEST(Converted, KeepsTimesAndPrivacy) {
    const std::timespec past[2] = {{1000000000, 5}, {999999999, 123456789}}; // access, modification
    for (const bool overwrite : {false, true}) {
        SCOPED_TRACE(overwrite ? "in place" : "copy");
        const temp_dir dir;
        write_file(dir / "f.3gp", input);
        ASSERT_EQ(::chmod((dir / "f.3gp").c_str(), 0600), 0);
        ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "f.3gp").c_str(), past, 0), 0);
        const tool_result result =
            run_tool(dir.path(), overwrite ? std::vector<std::string>{"-w", "f.3gp"}
                                           : std::vector<std::string>{"f.3gp"});
        ASSERT_EQ(result.err, "");
        const struct stat converted = stat_of(dir / "f.m4a");
        EXPECT_EQ(converted.st_mode & 07777, 0600u);
        const std::timespec modified = platform::modification_time(converted);
        const std::timespec accessed = platform::access_time(converted);
        EXPECT_EQ(modified.tv_sec, past[1].tv_sec);
        EXPECT_EQ(modified.tv_nsec, past[1].tv_nsec);
        EXPECT_EQ(accessed.tv_sec, past[0].tv_sec);
        EXPECT_EQ(accessed.tv_nsec, past[0].tv_nsec);
    }
}

TEST(Converted, CopyModeNeverMoreOpenThanInputOrUmask) {
    const temp_dir dir;
    write_file(dir / "f.3gp", input);
    ASSERT_EQ(::chmod((dir / "f.3gp").c_str(), 0777), 0);
    ASSERT_EQ(run_tool(dir.path(), {"f.3gp"}).err, "");
    EXPECT_EQ(stat_of(dir / "f.m4a").st_mode & 07777, 0755u); // umask 022
}

// ---- Interruption: a run ended by a signal while a file is being made.

struct interruption_case {
    const char* name = nullptr;
    std::string plan{};               // stops the run at the point of interruption
    std::vector<int> signals{};       // each in a run of its own
    bool needs_unnamed_files = false; // a killed run can remove no hidden name
    bool in_place = false;
    // The files afterwards: .3gp as they were, .m4a converted. The run ends by the signal
    // unless it was ignored from the start.
    std::vector<std::string> after = {"f.3gp", "g.3gp"};
    bool ignored = false;
};

class Interrupted : public testing::TestWithParam<interruption_case> {};

TEST_P(Interrupted, LeavesEachFileAsItWasOrFinished) {
    const interruption_case& c = GetParam();
    if (c.needs_unnamed_files && !linux_calls)
        GTEST_SKIP() << "this build names its copies from the start";
    if (faulty_build == nullptr)
        GTEST_SKIP() << no_faulty_build;
    for (const int signal : c.signals) {
        SCOPED_TRACE("signal " + std::to_string(signal));
        const temp_dir dir;
        write_file(dir / "f.3gp", input);
        write_file(dir / "g.3gp", input);
        const tool_result result = run_tool(dir.path(), with_option(c.in_place, {"f.3gp", "g.3gp"}),
                                            {.binary = faulty_build,
                                             .environment = {"M4AFIX_FAULTS=" + c.plan},
                                             .signal_when_stopped = signal,
                                             .ignored_signal = c.ignored ? signal : 0});
        EXPECT_EQ(result.status, c.ignored ? 0 : 128 + signal);
        EXPECT_EQ(names_in(dir.path()), c.after);
        for (const std::string& name : names_in(dir.path()))
            EXPECT_EQ(read_file(dir / name), name.ends_with(".m4a") ? input_converted : input)
                << name;
    }
}

// The edit pass reads back what it rewrites while the copy has no name of its own yet; in
// place, the first write starts what must not be left half done.
const std::string inside_copy = "work_read:1:stop";
const std::string while_finishing = "work_write:1:stop";

INSTANTIATE_TEST_SUITE_P(
    Cases, Interrupted,
    testing::Values(
        interruption_case{
            .name = "ending_signals", .plan = inside_copy, .signals = {SIGINT, SIGTERM, SIGHUP}},
        interruption_case{
            .name = "kill", .plan = inside_copy, .signals = {SIGKILL}, .needs_unnamed_files = true},
        // Every signal that ends the run removes the hidden name first.
        interruption_case{.name = "ending_signals_hidden_name",
                          .plan = no_unnamed_files + inside_copy,
                          .signals = {SIGINT, SIGTERM, SIGQUIT, SIGPIPE, SIGUSR1, SIGALRM, SIGXCPU,
                                      SIGUSR2, SIGVTALRM, SIGPROF}},
        // The file being finished is finished first; the run ends before the next one.
        interruption_case{.name = "ending_signals_while_finishing_in_place",
                          .plan = while_finishing,
                          .signals = {SIGINT, SIGHUP},
                          .in_place = true,
                          .after = {"f.m4a", "g.3gp"}},
        // A signal that the caller ignores, as nohup does, does not end the run.
        interruption_case{.name = "ignored_hang_up",
                          .plan = no_unnamed_files + inside_copy,
                          .signals = {SIGHUP},
                          .after = {"f.3gp", "f.m4a", "g.3gp", "g.m4a"},
                          .ignored = true}),
    cases::case_name{});

// ---- Neighbours: what another program does while the run is stopped at `plan`.

struct neighbour_case {
    const char* name = nullptr;
    std::string plan{};
    bool in_place{};
    std::string (*act)(const fs::path& dir) = nullptr; // returns what a run of its own printed
    std::string err{};                                 // of the run, then of the neighbour's
    // Every name afterwards, sorted, a hidden copy as ".hidden", with what it holds.
    std::vector<std::pair<std::string, bytes>> after{};
    int signal{}; // then ends the run
};

class Neighbour : public testing::TestWithParam<neighbour_case> {};

TEST_P(Neighbour, NothingOfItsIsMovedOrTakenForAConversion) {
    const neighbour_case& c = GetParam();
    if (faulty_build == nullptr)
        GTEST_SKIP() << no_faulty_build;
    const temp_dir dir;
    write_file(dir / "f.3gp", input);
    fs::last_write_time(dir / "f.3gp", fs::last_write_time(dir / "f.3gp") - std::chrono::hours{1});
    std::string neighbour_err;
    const tool_result result =
        run_tool(dir.path(), with_option(c.in_place, {"f.3gp"}),
                 {.binary = faulty_build,
                  .environment = {"M4AFIX_FAULTS=" + c.plan},
                  .signal_when_stopped = c.signal,
                  .when_stopped = [&] { neighbour_err = c.act(dir.path()); }});
    EXPECT_EQ(result.err + neighbour_err, c.err);
    std::vector<std::pair<std::string, bytes>> after;
    for (const std::string& name : names_in(dir.path()))
        after.emplace_back(name[0] == '.' ? ".hidden" : name, read_file(dir / name));
    EXPECT_EQ(after, c.after);
}

const bytes own = text("mine");
const bytes rewritten = [] {
    bytes changed = input;
    changed[100] = '!'; // in the media data
    return changed;
}();

std::string put_own(const fs::path& path) {
    fs::remove(path);
    write_file(path, own);
    return "";
}

std::string swap_hidden_copy(const fs::path& dir) {
    for (const std::string& name : names_in(dir))
        if (name[0] == '.')
            put_own(dir / name);
    return "";
}

std::string replace_input(const fs::path& dir) {
    fs::rename(dir / "f.3gp", dir / "h.3gp");
    return put_own(dir / "f.3gp");
}

// Writes into the input and sets its times back, as tag editors that keep dates do.
std::string rewrite_keeping_times(const fs::path& dir) {
    const auto modified = fs::last_write_time(dir / "f.3gp");
    write_file(dir / "f.3gp", rewritten);
    fs::last_write_time(dir / "f.3gp", modified);
    return "";
}

// Gives the run's output a new name and puts a file of its own under the old one.
std::string swap_output(const fs::path& dir) {
    fs::rename(dir / "f.m4a", dir / "h.m4a");
    return put_own(dir / "f.m4a");
}

// Opens the input for writing without waiting for a lease to go, and writes nothing.
std::string open_for_writing(const fs::path& dir) {
    const int fd = ::open((dir / "f.3gp").c_str(), O_WRONLY | O_NONBLOCK);
    const bool kept_out = fd < 0 && errno == EWOULDBLOCK;
    if (fd >= 0)
        ::close(fd);
    return kept_out ? "kept out" : "";
}

const std::string hidden_copy_made = no_unnamed_files + "work_read:1:stop";
const std::string not_published = "output file:f.m4a rename failed!Skipped:f.3gp\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, Neighbour,
    testing::Values(
        // The second run finds the file locked while the first edits it.
        neighbour_case{.name = "second_in_place_run_kept_out",
                       .plan = while_finishing,
                       .in_place = true,
                       .act =
                           [](const fs::path& dir) {
                               return run_tool(dir, {"-w", "f.3gp"}).err;
                           },
                       .err = "file:f.3gp open failed!Skipped:f.3gp\n",
                       .after = {{"f.m4a", input_converted}}},
        neighbour_case{.name = "hidden_copy_swapped_then_signal",
                       .plan = hidden_copy_made,
                       .act = swap_hidden_copy,
                       .after = {{".hidden", own}, {"f.3gp", input}},
                       .signal = SIGTERM},
        neighbour_case{.name = "hidden_copy_swapped_at_rename",
                       .plan = no_unnamed_files + rename_call + ":1:stop",
                       .act = swap_hidden_copy,
                       .err = not_published,
                       .after = {{"f.3gp", input}, {"f.m4a", own}}},
        neighbour_case{.name = "hidden_copy_swapped_then_edit_fails",
                       .plan = hidden_copy_made + ",work_write:1",
                       .act = swap_hidden_copy,
                       .err = edit_failed,
                       .after = {{".hidden", own}, {"f.3gp", input}}},
        neighbour_case{.name = "reservation_swapped",
                       .plan = no_links + "open_temp:1:stop_after",
                       .in_place = true,
                       .act = [](const fs::path& dir) { return put_own(dir / "f.m4a"); },
                       .after = {{"f.m4a", own}, {"f00.m4a", input_converted}}},
        // The edited file left its name: it is no longer the run's to put back.
        neighbour_case{.name = "input_replaced",
                       .plan = while_finishing,
                       .in_place = true,
                       .act = replace_input,
                       .err = rename_failed,
                       .after = {{"f.3gp", own}, {"h.3gp", input_converted}}},
        neighbour_case{.name = "input_rewritten_during_copy",
                       .plan = "in_read:1:stop",
                       .act =
                           [](const fs::path& dir) {
                               write_file(dir / "f.3gp", rewritten);
                               return std::string{};
                           },
                       .err = copy_failed,
                       .after = {{"f.3gp", rewritten}}},
        // clang-format off
        neighbour_case{.name = "input_rewritten_with_times_kept", .plan = "in_read:1:stop", .act = rewrite_keeping_times, .err = copy_failed, .after = {{"f.3gp", rewritten}}},
        // Where a name is reserved: the input swapped after that is not renamed, and a file
        // put under the new name is neither removed after a failed rename nor renamed back
        // by the undo after a failed close.
        neighbour_case{.name = "input_swapped_after_reservation", .plan = no_links + "open_temp:1:stop_after", .in_place = true, .act = replace_input, .err = rename_failed, .after = {{"f.3gp", own}, {"h.3gp", input_converted}}},
        neighbour_case{.name = "reservation_swapped_then_rename_fails", .plan = no_links + "rename:1:stop,rename:1", .in_place = true, .act = [](const fs::path& dir) { return put_own(dir / "f.m4a"); }, .err = rename_failed, .after = {{"f.3gp", input}, {"f.m4a", own}}},
        neighbour_case{.name = "output_swapped_before_undo", .plan = "work_close:1,open_update:2:stop", .in_place = true, .act = swap_output, .err = rename_failed, .after = {{"f.m4a", own}, {"h.m4a", input_converted}}}),
    // clang-format on
    cases::case_name{});

// Linux's read lease: a program that opens the input for writing while it is copied
// breaks the lease, is kept out, and the copy is dropped.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    LinuxCalls, Neighbour,
    testing::ValuesIn(linux_calls ? std::vector<neighbour_case>{
        neighbour_case{.name = "writer_kept_out_of_copy", .plan = "copy_file_range:1:stop", .act = open_for_writing, .err = copy_failed + "kept out", .after = {{"f.3gp", input}}}}
        : std::vector<neighbour_case>{}),
    cases::case_name{});
// clang-format on

// ---- Load: several processes at once on one folder, in copy mode.

TEST(Load, ConcurrentRunsMakeEveryCopyWhole) {
    constexpr int processes = 8;
    constexpr int files = 20;
    const temp_dir dir;
    std::vector<std::string> inputs;
    std::map<char, bytes> originals;
    std::map<char, bytes> expected;
    for (int i = 0; i < files; ++i) {
        const char stem = static_cast<char>('a' + i);
        // A different average bit rate in each, so that no output could pass for another's.
        const auto bitrate = static_cast<std::uint32_t>((100 + i) * 1000);
        originals[stem] = big_recording({.average = bitrate + 300});
        expected[stem] = converted(originals[stem], bitrate);
        inputs.push_back(std::string{stem} + ".3gp");
        write_file(dir / inputs.back(), originals[stem]);
    }
    // The processes wait at a gate that opens once they are all on their way.
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<tool_result> results(processes);
    std::vector<std::thread> runs;
    for (tool_result& result : results)
        runs.emplace_back([&] { result = run_tool(dir.path(), inputs, {.start_gate = gate[0]}); });
    EXPECT_EQ(::write(gate[1], "go!!go!!", processes), processes);
    for (std::thread& run : runs)
        run.join();
    ::close(gate[0]);
    ::close(gate[1]);

    // A name lost to another process is no failure: the copy takes the next one.
    for (const tool_result& result : results) {
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
    }
    const std::regex output{R"(([a-t])(\d\d)?\.m4a)"};
    std::map<char, int> outputs;
    std::smatch match;
    for (const std::string& name : names_in(dir.path())) {
        if (name.ends_with(".3gp")) {
            EXPECT_EQ(read_file(dir / name), originals.at(name[0])) << name;
        } else if (std::regex_match(name, match, output)) {
            EXPECT_EQ(read_file(dir / name), expected.at(name[0])) << name;
            ++outputs[name[0]];
        } else {
            ADD_FAILURE() << "unexpected " << name;
        }
    }
    for (const auto& [stem, original] : originals)
        EXPECT_EQ(outputs[stem], processes) << stem;
}

// ---- Large files: a sparse recording whose movie box lies beyond 4 GiB.

bool write_at(int fd, const bytes& content, off_t offset) {
    return ::pwrite(fd, content.data(), content.size(), offset) ==
           static_cast<ssize_t>(content.size());
}

bytes read_at(const fs::path& path, off_t offset, std::size_t count) {
    bytes content(count);
    const int fd = ::open(path.c_str(), O_RDONLY);
    const ssize_t got = ::pread(fd, content.data(), count, offset);
    ::close(fd);
    content.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return content;
}

TEST(LargeFile, EditedInPlaceBeyondFourGiB) {
    // Three "free" boxes just under 2 GiB each put the movie box past 6 GiB; their
    // contents are holes, so the file takes a few blocks of disk.
    constexpr std::uint32_t free_size = 0x7fff0000;
    constexpr int free_boxes = 3;
    const bytes head = ftyp_box();
    const bytes moov = moov_box();
    const auto free_at = [&](int i) {
        return static_cast<off_t>(head.size()) + off_t{i} * free_size;
    };
    const off_t moov_at = free_at(free_boxes);
    const temp_dir dir;
    const fs::path path = dir / "big.3gp";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    // A zero byte inside the first free box: where it takes 1 MiB or more, the file system
    // keeps no holes (HFS+) and the file would take 6 GiB of disk.
    bool written = write_at(fd, head, 0) && write_at(fd, bytes(1, 0), off_t{1} << 24);
    struct stat status {};
    if (::fstat(fd, &status) == 0 && status.st_blocks * 512 >= 1 << 20) {
        ::close(fd);
        GTEST_SKIP() << "the file system keeps no holes";
    }
    written = written && write_at(fd, moov, moov_at);
    for (int i = 0; i < free_boxes; ++i)
        written = written && write_at(fd, box_sized(free_size, "free"), free_at(i));
    ::close(fd);
    ASSERT_TRUE(written) << "cannot make a file beyond " << moov_at << " bytes here";

    const tool_result result = run_tool(dir.path(), {"-w", "big.3gp"});
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"big.m4a"});
    const fs::path edited = dir / "big.m4a";
    EXPECT_EQ(fs::file_size(edited), static_cast<std::uintmax_t>(moov_at) + moov.size());
    EXPECT_EQ(cat({read_at(edited, 0, head.size()), read_at(edited, moov_at, moov.size())}),
              converted(cat({head, moov})));
    for (int i = 0; i < free_boxes; ++i)
        EXPECT_EQ(read_at(edited, free_at(i), 8), box_sized(free_size, "free"));
}

// ---- Unprivileged runs: the tool as another user, on a folder and files made for it.

struct access_case {
    const char* name = nullptr;
    bool in_place{};
    bool folder_writable{};   // by that user
    fs::perms file_mode{};    // of f.3gp, which that user owns
    bool output_unreadable{}; // a file f.m4a is there that the user may not read
    std::string err{};
    const char* output{}; // the converted file, if any; in place, the input's new name
    // A shared folder with the sticky bit, as /tmp, where f.3gp belongs to someone else:
    // the user may write the file, but not rename it.
    bool sticky_shared = false;
};

class Unprivileged : public testing::TestWithParam<access_case> {};

TEST_P(Unprivileged, ReportsAndKeepsNames) {
    const access_case& c = GetParam();
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can run the tool as another user";
    const passwd* entry = ::getpwnam("nobody"); // 65534 on Linux, -2 on macOS
    if (entry == nullptr)
        GTEST_SKIP() << "the system has no user nobody";
    const uid_t nobody = entry->pw_uid;
    // A copy of the tool that the user may run, wherever the build lies.
    const temp_dir bin;
    const fs::path tool = bin / "m4afix";
    fs::copy_file(M4AFIX_BINARY, tool);
    fs::permissions(bin.path(), fs::perms{0755});
    const temp_dir dir;
    write_file(dir / "f.3gp", input);
    if (!c.sticky_shared) {
        ASSERT_EQ(::chown((dir / "f.3gp").c_str(), nobody, nobody), 0);
    }
    fs::permissions(dir / "f.3gp", c.file_mode);
    std::vector<std::string> names{"f.3gp"};
    if (c.output_unreadable) {
        write_file(dir / "f.m4a", text("taken"));
        fs::permissions(dir / "f.m4a", fs::perms{0600});
        names.push_back("f.m4a");
    }
    if (c.folder_writable) {
        ASSERT_EQ(::chown(dir.path().c_str(), nobody, nobody), 0);
    }
    fs::permissions(dir.path(), c.sticky_shared ? fs::perms{01777} : fs::perms{0755});

    const tool_result result = run_tool(dir.path(), with_option(c.in_place, {"f.3gp"}),
                                        {.binary = tool.c_str(), .user = nobody});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, c.err);
    if (c.output != nullptr) {
        EXPECT_EQ(read_file(dir / c.output), input_converted);
        names.push_back(c.output);
        if (c.in_place)
            names.erase(names.begin());
    }
    if (fs::exists(dir / "f.3gp")) {
        EXPECT_EQ(read_file(dir / "f.3gp"), input);
    }
    if (c.output_unreadable) {
        EXPECT_EQ(read_file(dir / "f.m4a"), text("taken"));
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names_in(dir.path()), names);
}

const fs::perms read_write{0644};
const std::string output_not_created = "output file:f.m4a open failed!Skipped:f.3gp\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, Unprivileged,
    testing::Values(access_case{.name = "copy_in_read_only_folder",
                                .file_mode = read_write,
                                .err = output_not_created},
                    // The input is left alone where its rename could not be made.
                    access_case{.name = "in_place_in_read_only_folder",
                                .in_place = true,
                                .file_mode = read_write,
                                .err = output_not_created},
                    access_case{.name = "in_place_on_read_only_file",
                                .in_place = true,
                                .folder_writable = true,
                                .file_mode = fs::perms{0444},
                                .err = "file:f.3gp open failed!Skipped:f.3gp\n"},
                    access_case{.name = "unreadable_input",
                                .folder_writable = true,
                                .file_mode = fs::perms{0200},
                                .err = " Skipped:f.3gp\n"},
                    // A name that the user cannot read is taken all the same.
                    access_case{.name = "copy_onto_unreadable_name",
                                .folder_writable = true,
                                .file_mode = read_write,
                                .output_unreadable = true,
                                .output = "f00.m4a"},
                    access_case{.name = "in_place_onto_unreadable_name",
                                .in_place = true,
                                .folder_writable = true,
                                .file_mode = read_write,
                                .output_unreadable = true,
                                .output = "f00.m4a"},
                    // No lease on another user's file: a watch for writes stands in.
                    access_case{.name = "copy_of_another_users_file",
                                .file_mode = read_write,
                                .output = "f.m4a",
                                .sticky_shared = true},
                    // The rename is refused after the edit: the file gets its bytes back.
                    access_case{.name = "in_place_in_sticky_shared_folder",
                                .in_place = true,
                                .file_mode = fs::perms{0666},
                                .err = "output file:f.m4a rename failed! Skipped File:f.3gp\n",
                                .sticky_shared = true}),
    cases::case_name{});

} // namespace
