// The platform seam on its own: what counts as a taken name, and renames that must never
// replace a file.
#include "platform/hidden_name.hpp"
#include "platform/platform.hpp"
#include "platform/time_step.hpp"
#include "run_tool.hpp"

#include <gtest/gtest.h>

namespace {

TEST(RenameNoReplace, KeepsAnExistingName) {
    const temp_dir dir;
    write_file(dir / "from", text("from"));
    write_file(dir / "to", text("to"));
    EXPECT_EQ(
        platform::rename_no_replace((dir / "from").string().c_str(), (dir / "to").string().c_str()),
        platform::name_result::name_taken);
    EXPECT_EQ(read_file(dir / "from"), text("from"));
    EXPECT_EQ(read_file(dir / "to"), text("to"));

    EXPECT_EQ(platform::rename_no_replace((dir / "from").string().c_str(),
                                          (dir / "free").string().c_str()),
              platform::name_result::done);
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"free", "to"}));
}

TEST(NameExists, ForAnythingUnderTheName) {
    const temp_dir dir;
    write_file(dir / "file", text("x"));
    fs::create_directory(dir / "folder");
    EXPECT_TRUE(platform::name_exists((dir / "file").string().c_str()));
    EXPECT_TRUE(platform::name_exists((dir / "folder").string().c_str()));
    EXPECT_FALSE(platform::name_exists((dir / "none").string().c_str()));
}

// Cut short to fit, the visible part of a hidden name ends between two characters.
TEST(HiddenName, CutBetweenCharacters) {
    const std::string name = "\xc3\xa9\xe3\x81\x82\xc3\xa9.m4a"; // "éあé.m4a"
    for (std::size_t longest = 5; longest <= 15; ++longest) {
        const std::string hidden = platform::hidden_name(name, 7, 0, longest);
        ASSERT_TRUE(hidden.ends_with(".7-0")) << longest;
        const std::string kept = hidden.substr(1, hidden.size() - 5);
        EXPECT_TRUE(name.starts_with(kept)) << longest;
        EXPECT_TRUE(kept.size() == name.size() || (name[kept.size()] & 0xc0) != 0x80) << longest;
    }
}

// Two seconds from the input's time where times are whole seconds, a tick elsewhere.
TEST(WaitForTimeStep, CoarseFineAndFuture) {
    using platform::wait_for_time_step;
    EXPECT_EQ(wait_for_time_step(100, 0, 100, 500'000'000), 1'500'000'000);
    EXPECT_EQ(wait_for_time_step(100, 5'000'000, 100, 10'000'000), 15'000'000);
    EXPECT_EQ(wait_for_time_step(103, 0, 100, 0), 0); // beyond a step in the future
}

} // namespace
