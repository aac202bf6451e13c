// The platform seam on its own: what counts as a taken name, and renames that must never
// replace a file.
#include "platform/platform.hpp"
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

} // namespace
