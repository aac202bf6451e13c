// Pieces of the Windows platform that the tests' spawn of the tool uses too: the owner
// of a kernel handle and the UTF-8 to UTF-16 conversion of paths and words.
#pragma once

#include <windows.h>

#include <string>

namespace platform {

// Owns a handle from CreateFileW or CreateProcessW until it is released to another
// owner.
class owned_handle {
  public:
    explicit owned_handle(HANDLE handle) : handle_(handle) {}
    ~owned_handle() {
        if (valid())
            ::CloseHandle(handle_);
    }
    owned_handle(const owned_handle&) = delete;
    owned_handle& operator=(const owned_handle&) = delete;

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE get() const { return handle_; }
    HANDLE release() {
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }

  private:
    HANDLE handle_;
};

// Converts UTF-8 `text` into `wide`; false for text that is not UTF-8 or when memory
// runs out.
bool to_wide(const char* text, std::wstring& wide);

} // namespace platform
