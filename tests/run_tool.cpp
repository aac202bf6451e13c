#include "run_tool.hpp"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <iterator>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string slurp(const fs::path& path) {
    std::ifstream in{path, std::ios::binary};
    return {std::istreambuf_iterator<char>{in}, {}};
}

} // namespace

tool_result run_tool(const fs::path& dir, const std::vector<std::string>& args,
                     const run_limits& limits) {
    const temp_dir capture;
    const fs::path out = capture / "out";
    const fs::path err = capture / "err";
    std::vector<std::string> words{"m4afix"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable)
        variables.emplace_back(*variable);
    variables.insert(variables.end(), limits.environment.begin(), limits.environment.end());
    std::vector<char*> envp;
    for (std::string& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    const char* binary = limits.binary != nullptr ? limits.binary : M4AFIX_BINARY;

    const pid_t child = fork();
    if (child == 0) {
        const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out_fd < 0 || err_fd < 0 || ::dup2(out_fd, 1) < 0 || ::dup2(err_fd, 2) < 0 ||
            ::chdir(dir.c_str()) != 0)
            _exit(127);
        ::close(out_fd);
        ::close(err_fd);
        ::umask(022);
        if (limits.file_size != RLIM_INFINITY) {
            const rlimit limit{limits.file_size, limits.file_size};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (limits.close_standard_error)
            ::close(2);
        if (limits.user) {
            const uid_t id = *limits.user;
            if (::setgroups(0, nullptr) != 0 || ::setresgid(id, id, id) != 0 ||
                ::setresuid(id, id, id) != 0)
                _exit(127);
        }
        char go;
        if (limits.start_gate >= 0 && ::read(limits.start_gate, &go, 1) != 1)
            _exit(127);
        ::execve(binary, argv.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, WUNTRACED) == child && WIFSTOPPED(status)) {
        ::kill(child, limits.signal_when_stopped != 0 ? limits.signal_when_stopped : SIGCONT);
        ::kill(child, SIGCONT);
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), slurp(out),
            slurp(err)};
}

temp_dir::temp_dir() {
    std::string pattern = (fs::temp_directory_path() / "m4afix-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        std::abort();
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

void write_file(const fs::path& path, const bytes& content) {
    std::ofstream out{path, std::ios::binary | std::ios::trunc};
    out.write(reinterpret_cast<const char*>(content.data()), static_cast<long>(content.size()));
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

bytes read_file(const fs::path& path) {
    const std::string all = slurp(path);
    return {all.begin(), all.end()};
}

std::vector<std::string> names_in(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator{dir})
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}
