// Runs the built m4afix in a folder of its own and captures what it prints.
#pragma once

#include "box_builder.hpp"
#include "container/box.hpp"

#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/types.h>
#endif

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr bool on_windows = true;
#else
constexpr bool on_windows = false;
#endif

struct tool_result {
    int status;
    std::string out;
    std::string err;
};

// How the tool is run.
struct run_limits {
    const char* binary = nullptr;           // the build to run; the tool itself when null
    std::vector<std::string> environment{}; // "NAME=value" words added to the environment
    bool output_full = false;               // standard output on /dev/full (POSIX systems only)
#ifndef _WIN32
    // What only POSIX systems have; tests that need it run there only.
    rlim_t file_size = RLIM_INFINITY;  // writes past this offset fail
    std::optional<uid_t> user{};       // run as this user and group id, no other groups
    int start_gate = -1;               // a descriptor to read one byte from before the start
    bool close_standard_error = false; // start with descriptor 2 closed
    int signal_when_stopped = 0;       // sent, with SIGCONT, when the run stops itself
    int ignored_signal = 0;            // ignored from the start, as nohup does with SIGHUP
    // Called when the run stops itself, before it goes on.
    std::function<void()> when_stopped{};
#endif
};

// The build whose file calls fail as the environment asks (fault_shim.cpp), linked with
// GNU ld's --wrap; null where the linker has no such option (Windows, macOS).
inline const char* const faulty_build = M4AFIX_FAULTY_BINARY;
inline const char* const no_faulty_build =
    "no build with failing calls: the linker cannot wrap them";

// Runs m4afix (argv[0] "m4afix") with `args` in `dir`, under umask 022 on POSIX systems.
// Safe to call from several threads at once.
tool_result run_tool(const fs::path& dir, const std::vector<std::string>& args,
                     const run_limits& limits = {});

// The system's part of run_tool (run_tool_posix.cpp, run_tool_windows.cpp): runs `binary`
// with the argument vector `words` in `dir`, its standard output and error going to the
// files `out` and `err`, and returns its exit status (128 + the signal when one ended it).
int spawn_tool(const char* binary, const std::vector<std::string>& words, const fs::path& dir,
               const run_limits& limits, const fs::path& out, const fs::path& err);

// A fresh empty folder, removed with its contents when the object goes.
class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const fs::path& path() const { return path_; }
    // `name` is UTF-8 on every system, as the tool takes names.
    fs::path operator/(const std::string& name) const {
        return path_ / std::u8string(name.begin(), name.end());
    }

  private:
    fs::path path_;
};

void write_file(const fs::path& path, const bytes& content);
// A named pipe at `path` holding `content`, kept open for writing by the descriptor
// returned (-1 when it cannot be made, as on Windows).
int filled_pipe(const fs::path& path, const bytes& content);
bytes read_file(const fs::path& path);
// Gives the file at `path` the hidden and the system attribute as asked. Nothing on POSIX
// systems, which have neither.
void set_attributes(const fs::path& path, bool hidden, bool system);
// The absolute `path` in the form that keeps a name's trailing dot or blank, "\\?\" on
// Windows; as it is elsewhere.
fs::path exact_path(const fs::path& path);
// The names in `dir`, sorted, in UTF-8.
std::vector<std::string> names_in(const fs::path& dir);
// Whether the file is hidden: on Windows its hidden attribute; other systems have none.
bool hidden_file(const fs::path& path);

// Writes `edits` into a file holding `content` with the tool's own edit pass, the file
// opened for update or, to make every write fail, for reading only. Returns the status
// and the file's bytes afterwards.
struct edit_outcome {
    int status;
    bytes after;
};
edit_outcome edit_file(const bytes& content, std::span<const payload_edit> edits,
                       bool read_only = false);
