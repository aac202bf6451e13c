// The tool's spawn on Windows: CreateProcessW with a command line that the C runtime
// splits back into the same words, so that a pattern reaches the tool's start-up code
// as it would from cmd.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include "run_tool.hpp"

#include "platform/windows_handle.hpp"

#include <windows.h>

#include <cwchar>
#include <memory>
#include <mutex>

namespace {

using platform::owned_handle;

// The words are the tests' own, always UTF-8.
std::wstring wide(const std::string& utf8) {
    std::wstring text;
    platform::to_wide(utf8.c_str(), text);
    return text;
}

// Appends `word` as the C runtime splits a command line: in quotes when it is empty or
// holds white space or a quote, a quote in it escaped with a backslash, and the
// backslashes before a quote doubled; elsewhere backslashes are taken as they are.
void append_word(std::wstring& line, const std::wstring& word) {
    if (!line.empty())
        line += L' ';
    if (!word.empty() && word.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += word;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (const wchar_t c : word) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        line += c;
        backslashes = 0;
    }
    line.append(2 * backslashes, L'\\');
    line += L'"';
}

// The environment with `additions` after it, as CreateProcessW takes it: each
// "NAME=value" ending in a null character, and one more at the end.
std::wstring environment_block(const std::vector<std::string>& additions) {
    const std::unique_ptr<wchar_t, decltype(&::FreeEnvironmentStringsW)> inherited{
        ::GetEnvironmentStringsW(), &::FreeEnvironmentStringsW};
    std::wstring block;
    for (const wchar_t* at = inherited.get(); at != nullptr && *at != L'\0';
         at += std::wcslen(at) + 1)
        block.append(at, std::wcslen(at) + 1);
    for (const std::string& addition : additions) {
        block += wide(addition);
        block += L'\0';
    }
    block += L'\0';
    return block;
}

} // namespace

// The limits that only POSIX has do not exist in this build, so no test can ask for them.
int spawn_tool(const char* binary, const std::vector<std::string>& words, const fs::path& dir,
               const run_limits& limits, const fs::path& out, const fs::path& err) {
    // The path of the program is given apart from its words, which begin with the name
    // the tests expect in the usage text.
    const std::wstring application = fs::absolute(wide(binary)).wstring();
    std::wstring line;
    for (const std::string& word : words)
        append_word(line, wide(word));
    std::wstring environment;
    if (!limits.environment.empty())
        environment = environment_block(limits.environment);

    PROCESS_INFORMATION process{};
    {
        // Every process started while a handle is inheritable inherits it; one spawn at a
        // time keeps the files of one run out of the other runs' processes.
        static std::mutex spawning;
        const std::lock_guard lock{spawning};
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        const owned_handle input{::CreateFileW(L"NUL", GENERIC_READ,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                               OPEN_EXISTING, 0, nullptr)};
        const owned_handle output{::CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                                &inheritable, CREATE_ALWAYS, 0, nullptr)};
        const owned_handle error{::CreateFileW(err.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                               &inheritable, CREATE_ALWAYS, 0, nullptr)};
        if (!input.valid() || !output.valid() || !error.valid())
            return 127;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input.get();
        startup.hStdOutput = output.get();
        startup.hStdError = error.get();
        if (!::CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE,
                              CREATE_UNICODE_ENVIRONMENT,
                              environment.empty() ? nullptr : environment.data(), dir.c_str(),
                              &startup, &process))
            return 127;
    }
    const owned_handle child{process.hProcess};
    const owned_handle thread{process.hThread};
    DWORD status = 127;
    if (::WaitForSingleObject(child.get(), INFINITE) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(child.get(), &status))
        return 127;
    // All 32 bits: main's -1 is -1 here, not 255 as on POSIX systems.
    return static_cast<int>(status);
}

bool hidden_file(const fs::path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_HIDDEN) != 0;
}

void set_attributes(const fs::path& path, bool hidden, bool system) {
    ::SetFileAttributesW(path.c_str(), (hidden ? FILE_ATTRIBUTE_HIDDEN : 0) |
                                           (system ? FILE_ATTRIBUTE_SYSTEM : 0));
}

fs::path exact_path(const fs::path& path) {
    return L"\\\\?\\" + fs::path{path}.make_preferred().native();
}

int filled_pipe(const fs::path&, const bytes&) {
    return -1; // no named pipes in a Windows file system
}
