// Files dropped on m4afix.exe in Explorer: the tool runs in a console window of its own,
// which closes when it ends. With a skipped file it asks for a key first; with none, or
// in a console it shares (started from cmd), it never waits.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include "box_builder.hpp"
#include "platform/windows_handle.hpp"
#include "run_tool.hpp"

#include <windows.h>

#include <gtest/gtest.h>
#include <tlhelp32.h>

namespace {

using platform::owned_handle;

struct console_case {
    const char* name = nullptr;
    const wchar_t* args = L""; // after the program's name
    bool through_cmd = false;  // started by cmd in the new console, which it then shares
    bool waits = false;
};

void PrintTo(const console_case& c, std::ostream* out) {
    *out << c.name;
}

std::wstring wide(const std::string& utf8) {
    std::wstring text;
    platform::to_wide(utf8.c_str(), text);
    return text;
}

bool under_wine() {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// `start` gives the program a new console window, as Explorer does. Wine makes console
// windows only where it has a display, or on a desktop of its explorer.exe that draws
// nowhere (the "null" driver).
//
// The launcher's standard streams are NUL, so that the desktop process that wine's
// explorer.exe leaves running keeps none of the test's output open.
void start_in_new_window(const std::wstring& command, const fs::path& dir) {
    std::wstring line = L"cmd.exe /c start \"\" " + command;
    if (under_wine())
        line = L"explorer.exe /desktop=m4afix-tests,640x480,null " + line;
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const owned_handle nul{::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                         OPEN_EXISTING, 0, nullptr)};
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul.get();
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                 dir.c_str(), &startup, &process));
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
}

// The running process of the program file `name`, for the caller to close; null when
// there is none.
HANDLE running(const std::wstring& name) {
    const owned_handle snapshot{::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)};
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (bool more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry))
        if (::lstrcmpiW(entry.szExeFile, name.c_str()) == 0)
            return ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION |
                                     PROCESS_TERMINATE,
                                 FALSE, entry.th32ProcessID);
    return nullptr;
}

// What the console of process `id` shows, line by line.
std::wstring console_text(DWORD id) {
    std::wstring text;
    ::FreeConsole();
    if (!::AttachConsole(id))
        return text;
    const owned_handle screen{::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr)};
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (screen.valid() && ::GetConsoleScreenBufferInfo(screen.get(), &info)) {
        const auto width = static_cast<DWORD>(info.dwSize.X);
        std::wstring row(width, L' ');
        for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
            DWORD read = 0;
            ::ReadConsoleOutputCharacterW(screen.get(), row.data(), width, COORD{0, y}, &read);
            text += row.substr(0, row.find_last_not_of(L' ') + 1) + L"\n";
        }
    }
    ::FreeConsole();
    return text;
}

// A key pressed and let go; or only let go, which is no key press.
void press_key(DWORD id, bool down = true) {
    ::FreeConsole();
    ASSERT_TRUE(::AttachConsole(id));
    const owned_handle keyboard{::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, 0, nullptr)};
    INPUT_RECORD key[2]{};
    for (int i = 0; i < 2; ++i) {
        key[i].EventType = KEY_EVENT;
        key[i].Event.KeyEvent.bKeyDown = down && i == 0;
        key[i].Event.KeyEvent.wRepeatCount = 1;
        key[i].Event.KeyEvent.wVirtualKeyCode = 'X';
        key[i].Event.KeyEvent.uChar.UnicodeChar = L'x';
    }
    DWORD written = 0;
    EXPECT_TRUE(::WriteConsoleInputW(keyboard.get(), key, 2, &written));
    ::FreeConsole();
}

// Ends a tool that a failed check left waiting for its key.
struct ended_at_last {
    HANDLE process;
    ~ended_at_last() {
        if (process != nullptr && ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
            ::TerminateProcess(process, 1);
    }
};

class ConsoleOfItsOwn : public testing::TestWithParam<console_case> {};

TEST_P(ConsoleOfItsOwn, WaitsForAKeyOnlyAfterASkip) {
    const console_case& c = GetParam();
    const temp_dir dir;
    write_file(dir / "f.3gp", audio_recording());
    write_file(dir / "bad.3gp", text("not a recording"));
    // The tool under a name of its own, by which the test finds its process.
    const std::wstring program = dir.path().filename().wstring() + L".exe";
    fs::copy_file(wide(M4AFIX_BINARY), dir.path() / program);
    std::wstring command = program + c.args;
    if (c.through_cmd)
        command = L"cmd.exe /c " + command;
    start_in_new_window(command, dir.path());

    // Found, the tool is running; not found once its copy is there, it has ended.
    HANDLE found = nullptr;
    for (int tries = 0; tries < 600 && found == nullptr; ++tries) {
        const bool converted = fs::exists(dir / "f.m4a");
        found = running(program);
        if (found == nullptr && converted)
            break;
        ::Sleep(50);
    }
    const owned_handle tool{found};
    const ended_at_last guard{tool.get()};
    if (!c.waits) {
        if (tool.valid()) {
            EXPECT_EQ(::WaitForSingleObject(tool.get(), 30'000), WAIT_OBJECT_0);
        }
        EXPECT_TRUE(fs::exists(dir / "f.m4a"));
        return;
    }
    ASSERT_TRUE(tool.valid());
    const DWORD id = ::GetProcessId(tool.get());
    // Double-clicked, with no files: the usage text, its program name as Windows gives it.
    const std::wstring shown =
        std::wstring{*c.args != L'\0' ? L"format error!(ftyp) Skipped:bad.3gp\n"
                                      : L"Options\n-w : overwrite input files.\n"
                                        L"-b br : set bitrate to 'br' kbps.\n"} +
        L"Press any key to close this window.\n\n";
    for (int tries = 0; tries < 300 && !console_text(id).ends_with(shown); ++tries)
        ::Sleep(100);
    EXPECT_TRUE(console_text(id).ends_with(shown)) << console_text(id);
    EXPECT_EQ(fs::exists(dir / "f.m4a"), *c.args != L'\0');
    press_key(id, false);
    EXPECT_EQ(::WaitForSingleObject(tool.get(), 1'000), WAIT_TIMEOUT);
    press_key(id);
    ASSERT_EQ(::WaitForSingleObject(tool.get(), 30'000), WAIT_OBJECT_0);
    DWORD status = 1;
    EXPECT_TRUE(::GetExitCodeProcess(tool.get(), &status));
    EXPECT_EQ(status, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConsoleOfItsOwn,
    testing::Values(
        console_case{.name = "skipped_file", .args = L" bad.3gp f.3gp", .waits = true},
        console_case{.name = "nothing_skipped", .args = L" f.3gp"},
        console_case{.name = "double_clicked", .waits = true},
        console_case{.name = "started_from_cmd", .args = L" bad.3gp f.3gp", .through_cmd = true}),
    [](const auto& info) { return std::string{info.param.name}; });

} // namespace
