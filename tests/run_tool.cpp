// What running the tool and handling its files takes on every system; the spawn itself
// is in run_tool_posix.cpp and run_tool_windows.cpp.
#include "run_tool.hpp"

#include "output/output.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

namespace {

std::string slurp(const fs::path& path) {
    std::ifstream in{path, std::ios::binary};
    return {std::istreambuf_iterator<char>{in}, {}};
}

// A folder name that other test processes are unlikely to draw too, and that no other
// folder of this one gets.
std::string fresh_name() {
    static std::atomic<unsigned> drawn{0};
    std::random_device random;
    return "m4afix-test-" + std::to_string(random()) + "-" + std::to_string(drawn++);
}

} // namespace

tool_result run_tool(const fs::path& dir, const std::vector<std::string>& args,
                     const run_limits& limits) {
    const temp_dir capture;
    const fs::path out = capture / "out";
    const fs::path err = capture / "err";
    std::vector<std::string> words{"m4afix"};
    words.insert(words.end(), args.begin(), args.end());
    const char* binary = limits.binary != nullptr ? limits.binary : M4AFIX_BINARY;
    const int status = spawn_tool(binary, words, dir, limits, out, err);
    return {status, slurp(out), slurp(err)};
}

temp_dir::temp_dir() {
    const fs::path parent = fs::temp_directory_path();
    // create_directory is false for a name that exists already: another name is drawn.
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        fs::path candidate = parent / fresh_name();
        std::error_code error;
        if (fs::create_directory(candidate, error))
            path_ = std::move(candidate);
    }
    if (path_.empty())
        std::abort();
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(exact_path(path_), ignored);
}

void write_file(const fs::path& path, const bytes& content) {
    std::ofstream out{path, std::ios::binary | std::ios::trunc};
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
}

bytes read_file(const fs::path& path) {
    const std::string all = slurp(path);
    return {all.begin(), all.end()};
}

std::vector<std::string> names_in(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator{dir}) {
        const std::u8string name = entry.path().filename().u8string();
        names.emplace_back(name.begin(), name.end());
    }
    std::sort(names.begin(), names.end());
    return names;
}

edit_outcome edit_file(const bytes& content, std::span<const payload_edit> edits, bool read_only) {
    const temp_dir dir;
    const fs::path path = dir / "f";
    write_file(path, content);
    int status = -100;
    {
        platform::input_file input;
        platform::working_file work;
        const bool opened = read_only ? platform::open_input(path.string().c_str(), input)
                                      : platform::open_for_update(path.string().c_str(), work);
        if (read_only)
            work.file = input.file; // borrowed: `input` closes it
        if (opened)
            status = apply_edits(work, edits);
        if (read_only)
            work.file = platform::no_file;
    }
    return {status, read_file(path)};
}
