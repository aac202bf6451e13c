// Runs the built m4afix in a folder of its own and captures what it prints.
#pragma once

#include "box_builder.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

namespace fs = std::filesystem;

struct tool_result {
    int status;
    std::string out;
    std::string err;
};

// How the tool is run.
struct run_limits {
    rlim_t file_size = RLIM_INFINITY;     // writes past this offset fail
    const char* binary = nullptr;         // the build to run; the tool itself when null
    std::vector<std::string> environment; // "NAME=value" words added to the environment
    std::optional<uid_t> user;            // run as this user and group id, no other groups
    int start_gate = -1;                  // a descriptor to read one byte from before the start
    bool close_standard_error = false;    // start with descriptor 2 closed
    int signal_when_stopped = 0;          // sent, with SIGCONT, when the run stops itself
};

// Runs m4afix (argv[0] "m4afix") with `args` in `dir`, under umask 022. Safe to call from
// several threads at once.
tool_result run_tool(const fs::path& dir, const std::vector<std::string>& args,
                     const run_limits& limits = {});

// A fresh empty folder, removed with its contents when the object goes.
class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

  private:
    fs::path path_;
};

void write_file(const fs::path& path, const bytes& content);
// A named pipe at `path` holding `content`, kept open for writing by the descriptor
// returned (-1 when it cannot be made).
int filled_pipe(const fs::path& path, const bytes& content);
bytes read_file(const fs::path& path);
// The names in `dir`, sorted.
std::vector<std::string> names_in(const fs::path& dir);
