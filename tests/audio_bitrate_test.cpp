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

struct layout_case : cases::named {
    esds_layout layout;
    std::size_t max_offset; // in the "mp4a" payload
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

INSTANTIATE_TEST_SUITE_P(Layouts, EsdsLayouts,
                         testing::Values(layout_case{"one_byte_sizes", {false, false}, 52},
                                         layout_case{"four_byte_sizes", {true, true}, 58},
                                         layout_case{"long_es_size_only", {true, false}, 55},
                                         layout_case{"long_config_size_only", {false, true}, 55}),
                         cases::case_name{});

struct failure_case : cases::named {
    bytes file;
    int status;
    const char* message;
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
        failure_case{"no_moov", cat({ftyp_box(), box("mdat", bytes(9, 0))}), -1,
                     "format error(moov)"},
        failure_case{"no_trak", recording({}), -1, "format error(trak)"},
        failure_case{"no_mdia", recording(box("trak", box("tkhd"))), -1, "format error(mdia)"},
        failure_case{"no_minf", recording(box("trak", box("mdia"))), -1, "format error(minf)"},
        failure_case{"no_stbl", recording(box("trak", box("mdia", box("minf")))), -1,
                     "format error(stbl)"},
        failure_case{"no_stsd", recording(box("trak", box("mdia", box("minf", box("stbl"))))), -1,
                     "format error(stsd)"},
        failure_case{"two_entries",
                     recording(track(stsd_box(cat({box("mp4a", mp4a_payload()), video_entry}), 2))),
                     -1, "format error(stsd #1)"},
        failure_case{"version_not_zero",
                     recording(track(stsd_box(box("mp4a", mp4a_payload()), 1, 1))), -1,
                     "format error(stsd #1)"},
        failure_case{"short_stsd_header",
                     cat({ftyp_box(), box("moov", track(box("stsd", be32(0))))}), -1,
                     "format error(stsd #1)"},
        failure_case{"video_track_first",
                     recording(cat({track(stsd_box(video_entry)), audio_track})), -1,
                     "format error(mp4a)"},
        failure_case{"amr_entry", recording(track(stsd_box(box("samr", bytes(20, 0))))), -1,
                     "format error(mp4a)"},
        failure_case{"entry_size_below_header",
                     recording(track(stsd_box(box_sized(4, "mp4a", mp4a_payload())))), -1,
                     "format error(mp4a)"},
        failure_case{"entry_past_end", truncated(audio_recording(), 10), -1, "error!(rd box)"},
        failure_case{"truncated_in_track_header", truncated(audio_recording(), 150), -1,
                     "format error(trak)"},
        failure_case{"truncated_in_sample_description", truncated(audio_recording(), 79), -1,
                     "format error(stsd #1)"},
        failure_case{"box_after_esds", with_entry(cat({mp4a_payload(), box("btrt", bytes(12, 0))})),
                     -1, "format error(esds)"},
        failure_case{"not_esds", entry_byte(32, 'E'), -1, "format error(esds)"},
        failure_case{"wrong_es_tag", entry_byte(40, 5), -1, "format error(esds)"},
        failure_case{"wrong_config_tag", entry_byte(45, 5), -1, "format error(esds)"},
        failure_case{"object_type_0x67", entry_byte(47, 0x67), -1, "format error(esds)"},
        failure_case{"two_byte_es_size", entry_byte(41, 0x81), -1, "format error(esds)"},
        failure_case{"entry_of_31_bytes", short_entry(31), -1, "format error(esds)"},
        failure_case{"entry_of_0_bytes", short_entry(0), -1, "format error(esds)"},
        // Entries that end right before a byte that the walk looks at next.
        failure_case{"ends_before_es_size", short_entry(41), -1, "format error(esds)"},
        failure_case{"ends_before_config_tag", short_entry(45), -1, "format error(esds)"},
        failure_case{"ends_before_config_size", short_entry(46), -1, "format error(esds)"},
        failure_case{"ends_before_object_type", short_entry(47), -1, "format error(esds)"},
        failure_case{"long_es_size_ends_before_config_tag", short_entry(48, {.long_es_size = true}),
                     -1, "format error(esds)"},
        failure_case{"long_es_size_ends_before_config_size",
                     short_entry(49, {.long_es_size = true}), -1, "format error(esds)"},
        // The average's last byte would be the first byte past the payload.
        failure_case{"bitrate_at_payload_end", short_entry(59), -1, "format error(esds)"},
        failure_case{"long_sizes_bitrate_at_end", short_entry(65, {true, true}), -1,
                     "format error(esds)"}),
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
