// The console and the standard streams on Windows: the streams open and binary, messages
// in UTF-8, and a console window of the run's own. Explorer starts a console program that
// files were dropped on in a new window, which closes the moment the program ends: a run
// there waits for a key, so that its messages can be read.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include "platform/platform.hpp"
#include "platform/windows_handle.hpp"
#include "platform/windows_parts.hpp"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>

namespace platform {

namespace {

// The console's output code page before the run, restored when it ends; 0 when the run
// did not change it.
UINT saved_output_code_page = 0;

void restore_console_code_page() {
    std::fflush(stdout);
    std::fflush(stderr);
    if (saved_output_code_page != 0)
        ::SetConsoleOutputCP(saved_output_code_page);
}

// The C runtime marks a standard stream that came without a handle with -2.
const HANDLE no_standard_handle = reinterpret_cast<HANDLE>(-2);

bool handle_usable(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || handle == no_standard_handle)
        return false;
    ::SetLastError(NO_ERROR);
    return ::GetFileType(handle) != FILE_TYPE_UNKNOWN || ::GetLastError() == NO_ERROR;
}

// Puts "NUL" under whichever of descriptors 0, 1 and 2 has no usable handle, so that
// no file the tool opens later takes its number and receives messages.
void open_standard_descriptors() {
    constexpr DWORD standard_handles[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int fd = 0; fd <= 2; ++fd) {
        if (handle_usable(handle_of(::_get_osfhandle(fd))))
            continue;
        owned_handle nul{::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       0, nullptr)};
        if (!nul.valid())
            std::_Exit(EXIT_FAILURE);
        const int opened = ::_open_osfhandle(native_of(nul.get()), _O_RDWR | _O_BINARY);
        if (opened < 0)
            std::_Exit(EXIT_FAILURE);
        nul.release();
        if (opened != fd) {
            const bool moved = ::_dup2(opened, fd) == 0;
            ::_close(opened);
            if (!moved)
                std::_Exit(EXIT_FAILURE);
        }
        ::SetStdHandle(standard_handles[fd], handle_of(::_get_osfhandle(fd)));
    }
}

// Messages are UTF-8; a console shows them as such while the run lasts. Redirected
// output gets the same bytes.
void use_utf8_console() {
    const UINT current = ::GetConsoleOutputCP(); // 0 without a console
    if (current == 0 || current == CP_UTF8 || !::SetConsoleOutputCP(CP_UTF8))
        return;
    saved_output_code_page = current;
    std::atexit(restore_console_code_page);
}

bool is_console(HANDLE handle) {
    DWORD mode;
    return ::GetConsoleMode(handle, &mode) != 0;
}

// Asked of user32 only when everything else says that the window is the run's own, so
// that no other run loads it.
bool window_visible(HWND window) {
    const HMODULE user32 = ::LoadLibraryW(L"user32.dll");
    if (user32 == nullptr)
        return false;
    using is_window_visible = BOOL(WINAPI*)(HWND);
    const auto visible = reinterpret_cast<is_window_visible>(
        reinterpret_cast<void (*)()>(::GetProcAddress(user32, "IsWindowVisible")));
    const bool shown = visible != nullptr && visible(window) != 0;
    ::FreeLibrary(user32);
    return shown;
}

} // namespace

void restore_output_code_page() {
    if (saved_output_code_page != 0)
        ::SetConsoleOutputCP(saved_output_code_page);
}

void prepare_process() {
    // A path on an empty drive fails like any other, instead of asking with a dialog.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    open_standard_descriptors();
    // Binary mode: every message ends in "\n", never in "\r\n".
    ::_setmode(::_fileno(stdin), _O_BINARY);
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
    use_utf8_console();
    // Buffered, each message line reaches the console in one write, which it decodes as
    // UTF-8 whole; byte by byte, a name's characters would arrive in pieces. The driver
    // flushes at the end of every line.
    static char error_buffer[4096];
    std::setvbuf(stderr, error_buffer, _IOFBF, sizeof error_buffer);
    install_interrupt_handler();
}

// A run started from cmd or PowerShell shares the console with them; a scheduled task
// gets a console whose window is never shown; redirected streams are no console at all.
bool console_closes_with_run() {
    DWORD processes[2];
    if (::GetConsoleProcessList(processes, 2) != 1 ||
        !is_console(::GetStdHandle(STD_INPUT_HANDLE)) ||
        !is_console(::GetStdHandle(STD_ERROR_HANDLE)))
        return false;
    const HWND window = ::GetConsoleWindow();
    return window != nullptr && window_visible(window);
}

// Keys pressed during the run do not count. Ctrl-C and closing the window end the run
// through the console control handler as at any other time.
void wait_for_key() {
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    ::FlushConsoleInputBuffer(input);
    INPUT_RECORD record;
    DWORD read = 0;
    while (::ReadConsoleInputW(input, &record, 1, &read) && read == 1)
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)
            return;
}

} // namespace platform
