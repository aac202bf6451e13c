// Pieces of the Windows platform that the process entry and the tests' spawn of the tool
// use too: the owner of a kernel handle and the conversions between UTF-8 and UTF-16 of
// paths and words.
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

// Converts UTF-16 `wide` into UTF-8 `text`; a lone surrogate, which a file name may hold,
// becomes U+FFFD. False when memory runs out.
bool to_utf8(const wchar_t* wide, std::string& text);

} // namespace platform
