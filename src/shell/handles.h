// Owners of platform handles, so every path out of a function releases what it opened.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <utility>

namespace vorn {

// Owns one handle; Traits say what "none" is and how the handle is closed. The handle's type is
// that of "none": HANDLE for most, a context pointer for the certificate functions.
template <class Traits>
class UniqueHandle {
  public:
    using Handle = decltype(Traits::none());

    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    Handle get() const { return handle_; }
    bool valid() const { return handle_ != Traits::none(); }
    // Takes ownership; false when the call that made `handle` failed.
    bool open(Handle handle) {
        reset();
        handle_ = handle;
        return valid();
    }
    // Gives up ownership to a new owner, or to the process's end.
    Handle release() { return std::exchange(handle_, Traits::none()); }
    void reset() {
        if (valid()) Traits::close(std::exchange(handle_, Traits::none()));
    }

  private:
    Handle handle_ = Traits::none();
};

struct FileTraits {
    static HANDLE none() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE handle) { CloseHandle(handle); }
};

using FileHandle = UniqueHandle<FileTraits>;

// Threads, events and the other kernel objects whose "none" is null.
struct ObjectTraits {
    static HANDLE none() { return nullptr; }
    static void close(HANDLE handle) { CloseHandle(handle); }
};

using ObjectHandle = UniqueHandle<ObjectTraits>;

struct InternetTraits {
    static HINTERNET none() { return nullptr; }
    static void close(HINTERNET handle) { WinHttpCloseHandle(handle); }
};

using InternetHandle = UniqueHandle<InternetTraits>;

}  // namespace vorn
