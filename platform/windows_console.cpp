// A console window of the run's own. Explorer starts a console program that files were
// dropped on in a new window, which closes the moment the program ends: a run there
// waits for a key, so that its messages can be read.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include "platform/platform.hpp"

#include <windows.h>

namespace platform {

namespace {

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
