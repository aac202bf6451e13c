// What the Windows sources of the platform share among themselves.
#pragma once

#include "platform/platform.hpp"

#include <windows.h>

#include <cstddef>
#include <string>

namespace platform {

// The longest path of the "\\?\" form, terminator included.
constexpr std::size_t longest_path = 32768;

inline HANDLE handle_of(native_file file) {
    return reinterpret_cast<HANDLE>(file);
}

inline native_file native_of(HANDLE handle) {
    return reinterpret_cast<native_file>(handle);
}

// Paths (windows_paths.cpp). The path as the wide API takes it: a long one becomes a full
// path in the "\\?\" form, which is the only form that reaches past MAX_PATH, and so
// does one whose name ends in a dot or a blank, which only that form keeps.
bool system_path(const char* path, std::wstring& wide);

// Files (windows.cpp): removes a file, its read-only attribute too.
void delete_file(const wchar_t* name);

// Interruption (windows_interrupt.cpp). The copy that an interrupted run removes, set
// while the ending events are deferred; empty: none.
void set_pending_name(const std::wstring& name);
// Removes that copy, and forgets it.
void remove_pending_file();
void install_interrupt_handler();

// The console (windows_console.cpp): its output code page as it was before the run.
void restore_output_code_page();

} // namespace platform
