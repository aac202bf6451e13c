#include "box_builder.hpp"
#include "cases.hpp"
#include "container/audio_bitrate.hpp"
#include "container/box.hpp"
#include "container/ftyp.hpp"
#include "run_tool.hpp"

#include <array>
#include <gtest/gtest.h>
#include <string>

namespace {

using cases::operator<<;

struct rounding_case {
    std::int32_t kbps;
    std::uint32_t average;
    std::uint32_t target;
};

TEST(TargetBitrate, RoundsOrScales) {
    const rounding_case cases[] = {
        {0, 127600, 128000}, {0, 128500, 128000}, {0, 128501, 129000},
        {0, 499, 0},         {0, 501, 1000},      {0, 0, 0},
        {0, 0xfffffe0du, 0}, {0, 0xffffffffu, 0}, {0, 0xfffffe0cu, 4294967000u},
        {1, 128564, 1000},   {128, 0, 128000},    {8192, 5, 8192000},
    };
    for (const rounding_case& c : cases)
        EXPECT_EQ(target_bitrate(c.kbps, c.average), c.target) << c.kbps << " " << c.average;
}

// Runs both passes from the start of `file`, as the driver does.
struct pass_result {
    int status;
    std::string message;
    bytes after;
};

// The check pass, then with `apply` the edit pass as the tool runs it.
pass_result run_passes(const bytes& file, std::int32_t kbps, bool apply) {
    const stream_handle stream = stream_of(file);
    std::array<payload_edit, 2> planned;
    testing::internal::CaptureStderr();
    int status = fix_ftyp(stream.get(), planned[0]);
    if (status == 0)
        status = fix_audio_bitrate(stream.get(), kbps, planned[1]);
    std::string message = testing::internal::GetCapturedStderr();
    pass_result result{status, std::move(message), contents(stream.get())};
    if (apply && status == 0) {
        const edit_outcome edited = edit_file(file, planned);
        result.status = edited.status;
        result.after = edited.after;
    }
    return result;
}

struct layout_case {
    const char* name = nullptr;
    esds_layout layout{};
    std::size_t max_offset{}; // in the "mp4a" payload
};

class EsdsLayouts : public testing::TestWithParam<layout_case> {};

TEST_P(EsdsLayouts, BothFieldsGetTargetAndNothingElseChanges) {
    const layout_case& c = GetParam();
    const bytes file = audio_recording(c.layout);
    const std::size_t entry = find_bytes(file, "mp4a") + 4;
    for (const auto& [kbps, field] :
         {std::pair{0, be32(129000)}, std::pair{96, be32(96000)}, std::pair{8192, be32(8192000)}}) {
        SCOPED_TRACE(kbps);
        bytes expected = file;
        std::copy_n("M4A ", fourcc_size, expected.begin() + major_brand_at); // the file-type edit
        std::copy(field.begin(), field.end(), expected.begin() + long(entry + c.max_offset));
        std::copy(field.begin(), field.end(), expected.begin() + long(entry + c.max_offset + 4));
        EXPECT_EQ(run_passes(file, kbps, false).after, file);
        const pass_result applied = run_passes(file, kbps, true);
        EXPECT_EQ(applied.status, 0);
        EXPECT_EQ(applied.message, "");
        EXPECT_EQ(applied.after, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, EsdsLayouts,
    testing::Values(
        layout_case{.name = "one_byte_sizes", .layout = {false, false}, .max_offset = 52},
        layout_case{.name = "four_byte_sizes", .layout = {true, true}, .max_offset = 58},
        layout_case{.name = "long_es_size_only", .layout = {true, false}, .max_offset = 55},
        layout_case{.name = "long_config_size_only", .layout = {false, true}, .max_offset = 55}),
    cases::case_name{});

struct failure_case {
    const char* name = nullptr;
    bytes file{};
    int status = -1;
    const char* message{};
};

class AudioBitrateFailures : public testing::TestWithParam<failure_case> {};

TEST_P(AudioBitrateFailures, ReportAndLeaveFileAlone) {
    const failure_case& c = GetParam();
    const pass_result result = run_passes(c.file, 0, false);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.message, c.message);
    EXPECT_EQ(result.after, c.file);
}

const bytes video_entry = box("avc1", bytes(70, 0));
const bytes audio_track = track(stsd_box(box("mp4a", mp4a_payload())));

INSTANTIATE_TEST_SUITE_P(
    Cases, AudioBitrateFailures,
    testing::Values(
        failure_case{.name = "no_moov",
                     .file = cat({ftyp_box(), box("mdat", bytes(9, 0))}),
                     .message = "format error(moov)"},
        failure_case{.name = "no_trak", .file = recording({}), .message = "format error(trak)"},
        failure_case{.name = "no_mdia",
                     .file = recording(box("trak", box("tkhd"))),
                     .message = "format error(mdia)"},
        failure_case{.name = "no_minf",
                     .file = recording(box("trak", box("mdia"))),
                     .message = "format error(minf)"},
        failure_case{.name = "no_stbl",
                     .file = recording(box("trak", box("mdia", box("minf")))),
                     .message = "format error(stbl)"},
        failure_case{.name = "no_stsd",
                     .file = recording(box("trak", box("mdia", box("minf", box("stbl"))))),
                     .message = "format error(stsd)"},
        failure_case{
            .name = "two_entries",
            .file = recording(track(stsd_box(cat({box("mp4a", mp4a_payload()), video_entry}), 2))),
            .message = "format error(stsd #1)"},
        failure_case{.name = "version_not_zero",
                     .file = recording(track(stsd_box(box("mp4a", mp4a_payload()), 1, 1))),
                     .message = "format error(stsd #1)"},
        failure_case{.name = "short_stsd_header",
                     .file = cat({ftyp_box(), box("moov", track(box("stsd", be32(0))))}),
                     .message = "format error(stsd #1)"},
        failure_case{.name = "video_track_first",
                     .file = recording(cat({track(stsd_box(video_entry)), audio_track})),
                     .message = "format error(mp4a)"},
        failure_case{.name = "amr_entry",
                     .file = recording(track(stsd_box(box("samr", bytes(20, 0))))),
                     .message = "format error(mp4a)"},
        failure_case{.name = "entry_size_below_header",
                     .file = recording(track(stsd_box(box_sized(4, "mp4a", mp4a_payload())))),
                     .message = "format error(mp4a)"},
        failure_case{.name = "entry_past_end",
                     .file = truncated(audio_recording(), 10),
                     .message = "error!(rd box)"},
        failure_case{.name = "truncated_in_track_header",
                     .file = truncated(audio_recording(), 150),
                     .message = "format error(trak)"},
        failure_case{.name = "truncated_in_sample_description",
                     .file = truncated(audio_recording(), 79),
                     .message = "format error(stsd #1)"},
        failure_case{.name = "box_after_esds",
                     .file = with_entry(cat({mp4a_payload(), box("btrt", bytes(12, 0))})),
                     .message = "format error(esds)"},
        failure_case{
            .name = "not_esds", .file = entry_byte(32, 'E'), .message = "format error(esds)"},
        failure_case{
            .name = "wrong_es_tag", .file = entry_byte(40, 5), .message = "format error(esds)"},
        failure_case{
            .name = "wrong_config_tag", .file = entry_byte(45, 5), .message = "format error(esds)"},
        failure_case{.name = "object_type_0x67",
                     .file = entry_byte(47, 0x67),
                     .message = "format error(esds)"},
        failure_case{.name = "two_byte_es_size",
                     .file = entry_byte(41, 0x81),
                     .message = "format error(esds)"},
        failure_case{
            .name = "entry_of_31_bytes", .file = short_entry(31), .message = "format error(esds)"},
        failure_case{
            .name = "entry_of_0_bytes", .file = short_entry(0), .message = "format error(esds)"},
        // Entries that end right before a byte that the walk looks at next.
        failure_case{.name = "ends_before_es_size",
                     .file = short_entry(41),
                     .message = "format error(esds)"},
        failure_case{.name = "ends_before_config_tag",
                     .file = short_entry(45),
                     .message = "format error(esds)"},
        failure_case{.name = "ends_before_config_size",
                     .file = short_entry(46),
                     .message = "format error(esds)"},
        failure_case{.name = "ends_before_object_type",
                     .file = short_entry(47),
                     .message = "format error(esds)"},
        failure_case{.name = "long_es_size_ends_before_config_tag",
                     .file = short_entry(48, {.long_es_size = true}),
                     .message = "format error(esds)"},
        failure_case{.name = "long_es_size_ends_before_config_size",
                     .file = short_entry(49, {.long_es_size = true}),
                     .message = "format error(esds)"},
        // The average's last byte would be the first byte past the payload.
        failure_case{.name = "bitrate_at_payload_end",
                     .file = short_entry(59),
                     .message = "format error(esds)"},
        failure_case{.name = "long_sizes_bitrate_at_end",
                     .file = short_entry(65, {true, true}),
                     .message = "format error(esds)"}),
    cases::case_name{});

TEST(AudioBitrate, ShortestWholeEntryIsAccepted) {
    const pass_result result = run_passes(short_entry(60), 128, true);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.message, "");
}

TEST(AudioBitrate, RefusedWriteBackIsShortWrite) {
    const bytes file = audio_recording();
    const stream_handle stream = stream_of(file);
    payload_edit planned;
    ASSERT_EQ(fix_ftyp(stream.get(), planned), 0);
    ASSERT_EQ(fix_audio_bitrate(stream.get(), 0, planned), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(edit_file(file, {&planned, 1}, true).status, -3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

} // namespace
