#include "box_builder.hpp"
#include "cases.hpp"
#include "container/box.hpp"
#include "container/ftyp.hpp"
#include "run_tool.hpp"

#include <gtest/gtest.h>
#include <string>

namespace {

using cases::operator<<;

constexpr std::uint8_t sample_be32[] = {0x12, 0x34, 0xab, 0xcd};
static_assert(read_be32(sample_be32) == 0x1234abcdu);
static_assert([] {
    std::uint8_t out[4] = {};
    write_be32(out, 0xfedcba98u);
    return out[0] == 0xfe && out[1] == 0xdc && out[2] == 0xba && out[3] == 0x98;
}());

struct search_case {
    const char* name = nullptr;
    bytes content{};
    const char* type = "moov";
    std::int32_t result = -1;
    long position{}; // after a match
};

class FindChildBox : public testing::TestWithParam<search_case> {};

TEST_P(FindChildBox, FindsFirstMatchingSibling) {
    const search_case& c = GetParam();
    const stream_handle stream = stream_of(c.content);
    EXPECT_EQ(find_child_box(stream.get(), c.type), c.result);
    if (c.result >= 0) {
        EXPECT_EQ(std::ftell(stream.get()), c.position);
    }
}

const bytes moov_without_trak = box("moov", box("mvhd", bytes(4, 1)));

INSTANTIATE_TEST_SUITE_P(
    Cases, FindChildBox,
    testing::Values(
        search_case{.name = "empty"},
        search_case{.name = "ends_inside_header", .content = {0, 0, 0, 8, 'm'}},
        search_case{.name = "skips_empty_box",
                    .content = cat({box("free"), box("moov", bytes(3, 7))}),
                    .result = 3,
                    .position = 16},
        search_case{
            .name = "matching_empty_box", .content = box("moov"), .result = 0, .position = 8},
        search_case{.name = "size_zero_ends_search",
                    .content = cat({box_sized(0, "free"), box("moov")})},
        search_case{.name = "size_one_ends_search",
                    .content = cat({box_sized(1, "free"), box("moov")})},
        search_case{.name = "size_seven_ends_search",
                    .content = cat({box_sized(7, "free"), box("moov")})},
        search_case{
            .name = "size_zero_match_is_negative", .content = box_sized(0, "moov"), .result = -8},
        search_case{.name = "size_above_2GiB_ends_search",
                    .content = cat({box_sized(0x80000008u, "free"), box("moov")})},
        search_case{.name = "size_past_end", .content = cat({box_sized(400, "free"), box("moov")})},
        search_case{.name = "case_sensitive", .content = box("MOOV")},
        search_case{.name = "search_leaves_enclosing_box",
                    .content = cat({moov_without_trak, box("trak", bytes(2, 0))}),
                    .type = "trak",
                    .result = 2,
                    .position = static_cast<long>(moov_without_trak.size() + 8)}),
    cases::case_name{});

TEST(FindChildBox, DescendsFromMatchToFirstChild) {
    const bytes tree = cat({box("free", bytes(5, 0)), moov_without_trak});
    const stream_handle stream = stream_of(tree);
    ASSERT_EQ(find_child_box(stream.get(), "moov"), 12);
    EXPECT_EQ(find_child_box(stream.get(), "mvhd"), 4);
    EXPECT_EQ(std::ftell(stream.get()), 29);
}

struct ftyp_case {
    const char* name = nullptr;
    bytes content{};
    int status{};
    std::string message{};
    bytes payload_after{}; // expected file-type payload after apply mode; empty: unchanged
};

class FixFtyp : public testing::TestWithParam<ftyp_case> {};

bytes brands(std::initializer_list<const char*> codes) {
    bytes list;
    for (const char* code : codes)
        list = cat({list, text(code)});
    return list;
}

TEST_P(FixFtyp, CheckAndApply) {
    const ftyp_case& c = GetParam();
    const bytes file = cat({c.content, box("moov")});
    const stream_handle stream = stream_of(file);
    payload_edit planned;
    testing::internal::CaptureStderr();
    EXPECT_EQ(fix_ftyp(stream.get(), planned), c.status);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    if (c.status == 0) {
        EXPECT_EQ(std::ftell(stream.get()), static_cast<long>(c.content.size()));
    }
    EXPECT_EQ(contents(stream.get()), file);
    if (c.status != 0)
        return;
    bytes expected = file;
    std::copy(c.payload_after.begin(), c.payload_after.end(), expected.begin() + major_brand_at);
    const edit_outcome edited = edit_file(file, {&planned, 1});
    EXPECT_EQ(edited.status, 0);
    EXPECT_EQ(edited.after, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FixFtyp,
    testing::Values(
        ftyp_case{.name = "ndia_moves_behind_m4a",
                  .content = cat({be32(24), text("ftypmp42"), be32(0), text("mp42ndia")}),
                  .payload_after = cat({text("M4A "), be32(0), text("M4A mp42")})},
        ftyp_case{.name = "earlier_brands_keep_order",
                  .content = ftyp_with("mp42", brands({"mp42", "isom", "ndia"})),
                  .payload_after = cat({text("M4A "), be32(0x01020304), text("M4A mp42isom")})},
        ftyp_case{.name = "only_first_replaceable_brand",
                  .content = ftyp_with("3gp6", brands({"isom", "ndam", "ndia", "3gp6"})),
                  .payload_after = cat({text("M4A "), be32(0x01020304), text("M4A isomndia3gp6")})},
        ftyp_case{.name = "list_with_m4a_kept",
                  .content = ftyp_with("3gp6", brands({"ndia", "M4A "})),
                  .payload_after = cat({text("M4A "), be32(0x01020304), text("ndiaM4A ")})},
        ftyp_case{.name = "no_replaceable_brand",
                  .content = ftyp_with("3gp6", brands({"isom", "3gp6"})),
                  .payload_after = cat({text("M4A "), be32(0x01020304), text("isom3gp6")})},
        ftyp_case{.name = "only_brand_ndia",
                  .content = ftyp_with("3gp6", brands({"ndia"})),
                  .payload_after = cat({text("M4A "), be32(0x01020304), text("M4A ")})},
        ftyp_case{.name = "ndia_first_nothing_moves",
                  .content = ftyp_with("3gp6", brands({"ndia", "isom"})),
                  .payload_after = cat({text("M4A "), be32(0x01020304), text("M4A isom")})},
        ftyp_case{.name = "no_brand_list",
                  .content = ftyp_with("mp42", {}),
                  .payload_after = cat({text("M4A "), be32(0x01020304)})},
        ftyp_case{
            .name = "remainder_bytes_untouched",
            .content = ftyp_with("3gp6", text("ndia"), {0xee, 0xff}),
            .payload_after = cat({text("M4A "), be32(0x01020304), text("M4A "), {0xee, 0xff}})},
        ftyp_case{.name = "major_isom",
                  .content = ftyp_with("isom", {}),
                  .status = -1,
                  .message = "format error!(ftyp main)"},
        ftyp_case{.name = "already_m4a",
                  .content = ftyp_with("M4A ", {}),
                  .status = -1,
                  .message = "format error!(ftyp main)"},
        ftyp_case{.name = "payload_shorter_than_brand",
                  .content = box("ftyp", text("3gp")),
                  .status = -1,
                  .message = "format error!(ftyp main)"},
        ftyp_case{.name = "empty_payload",
                  .content = box("ftyp"),
                  .status = -1,
                  .message = "format error!(ftyp main)"},
        ftyp_case{.name = "moov_first",
                  .content = box("moov", text("3gp6")),
                  .status = -1,
                  .message = "format error!(ftyp)"},
        ftyp_case{.name = "size_below_header",
                  .content = box_sized(7, "ftyp", text("3gp6")),
                  .status = -2,
                  .message = "error!(malloc)"},
        ftyp_case{.name = "size_above_2GiB",
                  .content = box_sized(0x80000008u, "ftyp", text("3gp6")),
                  .status = -2,
                  .message = "error!(malloc)"},
        // Claims 2 GiB on a file of a few bytes: a short read, not a 2 GiB buffer.
        ftyp_case{.name = "size_past_end",
                  .content = box_sized(0x7fffffffu, "ftyp", text("3gp6")),
                  .status = -1,
                  .message = "error!(rd box)"}),
    cases::case_name{});

TEST(FixFtyp, FileShorterThanHeader) {
    const stream_handle stream = stream_of({0, 0, 0, 24, 'f', 't', 'y'});
    payload_edit planned;
    testing::internal::CaptureStderr();
    EXPECT_EQ(fix_ftyp(stream.get(), planned), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "format error!(size)");
}

TEST(FixFtyp, RefusedWriteBackIsShortWrite) {
    const bytes file = ftyp_with("3gp6", text("ndia"));
    payload_edit planned;
    ASSERT_EQ(fix_ftyp(stream_of(file).get(), planned), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(edit_file(file, {&planned, 1}, true).status, -2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

} // namespace
