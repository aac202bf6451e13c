// The tool's spawn on POSIX systems: fork and exec, with the limits that only POSIX has.
#include "run_tool.hpp"

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// The environment, which POSIX leaves to the program to declare.
extern "C" char** environ;

namespace {

// The words as execve takes them: pointers into `words`, ending in a null pointer.
std::vector<char*> pointers_to(std::vector<std::string>& words) {
    std::vector<char*> pointers;
    for (std::string& word : words)
        pointers.push_back(word.data());
    pointers.push_back(nullptr);
    return pointers;
}

// A cross build's tool runs under the emulator (qemu-user), which takes the binary and
// the tool's own argv[0] as options. Empty in a native build.
constexpr const char* emulator = M4AFIX_EMULATOR;
constexpr bool emulated = emulator[0] != '\0';

// The argument vector of the program that execve starts.
std::vector<std::string> command_for(const char* binary, const std::vector<std::string>& words) {
    if (!emulated)
        return words;
    std::vector<std::string> command{emulator, "-0", words.front(), binary};
    command.insert(command.end(), words.begin() + 1, words.end());
    return command;
}

} // namespace

int spawn_tool(const char* binary, const std::vector<std::string>& words, const fs::path& dir,
               const run_limits& limits, const fs::path& out, const fs::path& err) {
    const char* program = emulated ? emulator : binary;
    std::vector<std::string> arguments = command_for(binary, words);
    const std::vector<char*> argv = pointers_to(arguments);
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable)
        variables.emplace_back(*variable);
    variables.insert(variables.end(), limits.environment.begin(), limits.environment.end());
    const std::vector<char*> envp = pointers_to(variables);

    const pid_t child = fork();
    if (child == 0) {
        const int out_fd = limits.output_full
                               ? ::open("/dev/full", O_WRONLY)
                               : ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out_fd < 0 || err_fd < 0 || ::dup2(out_fd, 1) < 0 || ::dup2(err_fd, 2) < 0 ||
            ::chdir(dir.c_str()) != 0)
            _exit(127);
        ::close(out_fd);
        ::close(err_fd);
        ::umask(022);
        // Signals that dump core leave no core file in the test's folder.
        const rlimit no_core{0, 0};
        ::setrlimit(RLIMIT_CORE, &no_core);
        if (limits.ignored_signal != 0)
            ::signal(limits.ignored_signal, SIG_IGN);
        if (limits.file_size != RLIM_INFINITY) {
            const rlimit limit{limits.file_size, limits.file_size};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (limits.close_standard_error)
            ::close(2);
        if (limits.user) {
            const uid_t id = *limits.user;
            // Run by root, setgid and setuid set the real, effective and saved ids.
            if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0)
                _exit(127);
        }
        char go;
        if (limits.start_gate >= 0 && ::read(limits.start_gate, &go, 1) != 1)
            _exit(127);
        ::execve(program, argv.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, WUNTRACED) == child && WIFSTOPPED(status)) {
        if (limits.when_stopped)
            limits.when_stopped();
        // One SIGCONT: a second could cancel the stop of a sanitizer's leak check at the end.
        if (limits.signal_when_stopped != 0)
            ::kill(child, limits.signal_when_stopped);
        ::kill(child, SIGCONT);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool hidden_file(const fs::path&) {
    return false;
}

void set_attributes(const fs::path&, bool, bool) {}

fs::path exact_path(const fs::path& path) {
    return path;
}

int filled_pipe(const fs::path& path, const bytes& content) {
    if (::mkfifo(path.c_str(), 0644) != 0)
        return -1;
    // Opened for reading and writing, the pipe has a writer and takes the bytes at once.
    const int fd = ::open(path.c_str(), O_RDWR);
    if (fd >= 0 &&
        ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
        ::close(fd);
        return -1;
    }
    return fd;
}
