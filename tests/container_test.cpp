#include "box_builder.hpp"
#include "cases.hpp"
#include "container/box.hpp"
#include "container/ftyp.hpp"
#include "run_tool.hpp"

#include <gtest/gtest.h>
#include <string>

namespace {

constexpr std::uint8_t sample_be32[] = {0x12, 0x34, 0xab, 0xcd};
static_assert(read_be32(sample_be32) == 0x1234abcdu);
static_assert([] {
    std::uint8_t out[4] = {};
    write_be32(out, 0xfedcba98u);
    return out[0] == 0xfe && out[1] == 0xdc && out[2] == 0xba && out[3] == 0x98;
}());

struct search_case : cases::named {
    bytes content;
    const char* type;
    std::int32_t result;
    long position; // after a match
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
        search_case{"empty", {}, "moov", -1, 0},
        search_case{"ends_inside_header", {0, 0, 0, 8, 'm'}, "moov", -1, 0},
        search_case{"skips_empty_box", cat({box("free"), box("moov", bytes(3, 7))}), "moov", 3, 16},
        search_case{"matching_empty_box", box("moov"), "moov", 0, 8},
        search_case{"size_zero_ends_search", cat({box_sized(0, "free"), box("moov")}), "moov", -1,
                    0},
        search_case{"size_one_ends_search", cat({box_sized(1, "free"), box("moov")}), "moov", -1,
                    0},
        search_case{"size_seven_ends_search", cat({box_sized(7, "free"), box("moov")}), "moov", -1,
                    0},
        search_case{"size_zero_match_is_negative", box_sized(0, "moov"), "moov", -8, 0},
        search_case{"size_above_2GiB_ends_search",
                    cat({box_sized(0x80000008u, "free"), box("moov")}), "moov", -1, 0},
        search_case{"size_past_end", cat({box_sized(400, "free"), box("moov")}), "moov", -1, 0},
        search_case{"case_sensitive", box("MOOV"), "moov", -1, 0},
        search_case{"search_leaves_enclosing_box",
                    cat({moov_without_trak, box("trak", bytes(2, 0))}), "trak", 2,
                    static_cast<long>(moov_without_trak.size() + 8)}),
    cases::case_name{});

TEST(FindChildBox, DescendsFromMatchToFirstChild) {
    const bytes tree = cat({box("free", bytes(5, 0)), moov_without_trak});
    const stream_handle stream = stream_of(tree);
    ASSERT_EQ(find_child_box(stream.get(), "moov"), 12);
    EXPECT_EQ(find_child_box(stream.get(), "mvhd"), 4);
    EXPECT_EQ(std::ftell(stream.get()), 29);
}

struct ftyp_case : cases::named {
    bytes content;
    int status;
    std::string message;
    bytes payload_after; // expected file-type payload after apply mode; empty: unchanged
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
        ftyp_case{"ndia_moves_behind_m4a",
                  cat({be32(24), text("ftypmp42"), be32(0), text("mp42ndia")}), 0, "",
                  cat({text("M4A "), be32(0), text("M4A mp42")})},
        ftyp_case{"earlier_brands_keep_order", ftyp_with("mp42", brands({"mp42", "isom", "ndia"})),
                  0, "", cat({text("M4A "), be32(0x01020304), text("M4A mp42isom")})},
        ftyp_case{"only_first_replaceable_brand",
                  ftyp_with("3gp6", brands({"isom", "ndam", "ndia", "3gp6"})), 0, "",
                  cat({text("M4A "), be32(0x01020304), text("M4A isomndia3gp6")})},
        ftyp_case{"list_with_m4a_kept", ftyp_with("3gp6", brands({"ndia", "M4A "})), 0, "",
                  cat({text("M4A "), be32(0x01020304), text("ndiaM4A ")})},
        ftyp_case{"no_replaceable_brand", ftyp_with("3gp6", brands({"isom", "3gp6"})), 0, "",
                  cat({text("M4A "), be32(0x01020304), text("isom3gp6")})},
        ftyp_case{"only_brand_ndia", ftyp_with("3gp6", brands({"ndia"})), 0, "",
                  cat({text("M4A "), be32(0x01020304), text("M4A ")})},
        ftyp_case{"ndia_first_nothing_moves", ftyp_with("3gp6", brands({"ndia", "isom"})), 0, "",
                  cat({text("M4A "), be32(0x01020304), text("M4A isom")})},
        ftyp_case{"no_brand_list", ftyp_with("mp42", {}), 0, "",
                  cat({text("M4A "), be32(0x01020304)})},
        ftyp_case{"remainder_bytes_untouched", ftyp_with("3gp6", text("ndia"), {0xee, 0xff}), 0, "",
                  cat({text("M4A "), be32(0x01020304), text("M4A "), {0xee, 0xff}})},
        ftyp_case{"major_isom", ftyp_with("isom", {}), -1, "format error!(ftyp main)", {}},
        ftyp_case{"already_m4a", ftyp_with("M4A ", {}), -1, "format error!(ftyp main)", {}},
        ftyp_case{"payload_shorter_than_brand",
                  box("ftyp", text("3gp")),
                  -1,
                  "format error!(ftyp main)",
                  {}},
        ftyp_case{"empty_payload", box("ftyp"), -1, "format error!(ftyp main)", {}},
        ftyp_case{"moov_first", box("moov", text("3gp6")), -1, "format error!(ftyp)", {}},
        ftyp_case{
            "size_below_header", box_sized(7, "ftyp", text("3gp6")), -2, "error!(malloc)", {}},
        ftyp_case{"size_above_2GiB",
                  box_sized(0x80000008u, "ftyp", text("3gp6")),
                  -2,
                  "error!(malloc)",
                  {}},
        // Claims 2 GiB on a file of a few bytes: a short read, not a 2 GiB buffer.
        ftyp_case{"size_past_end",
                  box_sized(0x7fffffffu, "ftyp", text("3gp6")),
                  -1,
                  "error!(rd box)",
                  {}}),
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
