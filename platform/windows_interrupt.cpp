// Interruption on Windows: Ctrl-C, Ctrl-Break, a closed console window, a log-off or a
// shutdown remove the copy being made, once the main thread has finished what it must
// not leave half done.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include "platform/platform.hpp"
#include "platform/windows_parts.hpp"

#include <windows.h>

#include <algorithm>
#include <cwchar>

namespace platform {

namespace {

// The hidden name of the copy being made, if it has one, for the console control
// handler: a run that is interrupted removes it before it ends. The handler runs on a
// thread of its own; the lock, held by the main thread while an ending_signals_deferred
// lives, keeps it from seeing half a name, from removing a file while the main thread
// creates, publishes or removes it, and from ending the run in the middle of a rename.
SRWLOCK pending_lock = SRWLOCK_INIT;
wchar_t pending_name[longest_path];
int deferral_depth = 0; // of the main thread's ending_signals_deferred

// On Ctrl-C, Ctrl-Break, a closed console window, a log-off or a shutdown: waits until the
// main thread has finished what it must not leave half done, then removes the copy
// being made. The lock stays held, so that the main thread makes and publishes no
// further copy; the default handler after this one then ends the process.
BOOL WINAPI remove_pending_copy(DWORD) {
    ::AcquireSRWLockExclusive(&pending_lock);
    remove_pending_file();
    restore_output_code_page();
    return FALSE;
}

} // namespace

// Called with the lock held.
void set_pending_name(const std::wstring& name) {
    const std::size_t length = std::min(name.size(), longest_path - 1);
    std::wmemcpy(pending_name, name.data(), length);
    pending_name[length] = L'\0';
}

// Called with the lock held.
void remove_pending_file() {
    if (pending_name[0] != L'\0')
        delete_file(pending_name);
    pending_name[0] = L'\0';
}

void install_interrupt_handler() {
    ::SetConsoleCtrlHandler(remove_pending_copy, TRUE);
}

ending_signals_deferred::ending_signals_deferred() {
    if (deferral_depth++ == 0)
        ::AcquireSRWLockExclusive(&pending_lock);
}

ending_signals_deferred::~ending_signals_deferred() {
    if (--deferral_depth == 0)
        ::ReleaseSRWLockExclusive(&pending_lock);
}

} // namespace platform
