// The program is built without exceptions. The standard library's own throw paths (allocation
// failure, length errors) end up here instead, and so do the program's broken invariants: the
// process ends at once through fail-fast, with no dialog and no log line. Taking these over
// also keeps the library's exception and terminate machinery (and its demangler) out of the exe.
#include "shell/fail_fast.h"

#include <windows.h>

#include <new>

namespace vorn {

void fail_fast() {
    // __fastfail: interrupt 0x29 with the code in ECX (mingw's headers lack the intrinsic).
    asm volatile("int $0x29" : : "c"(FAST_FAIL_FATAL_APP_EXIT) : "memory");
    __builtin_unreachable();
}

}  // namespace vorn

namespace std {

[[noreturn]] void __throw_bad_alloc() {
    vorn::fail_fast();
}
[[noreturn]] void __throw_bad_array_new_length() {
    vorn::fail_fast();
}
[[noreturn]] void __throw_length_error(const char*) {
    vorn::fail_fast();
}
[[noreturn]] void __throw_logic_error(const char*) {
    vorn::fail_fast();
}
[[noreturn]] void __throw_out_of_range(const char*) {
    vorn::fail_fast();
}
[[noreturn]] void __throw_out_of_range_fmt(const char*, ...) {
    vorn::fail_fast();
}
[[noreturn]] void __throw_invalid_argument(const char*) {
    vorn::fail_fast();
}
[[noreturn]] void __throw_system_error(int) {
    vorn::fail_fast();
}
[[noreturn]] void __throw_bad_function_call() {
    vorn::fail_fast();
}
[[noreturn]] void __throw_bad_cast() {
    vorn::fail_fast();
}

}  // namespace std

namespace __gnu_cxx {

[[noreturn]] void __verbose_terminate_handler() {
    vorn::fail_fast();
}

}  // namespace __gnu_cxx

// Memory comes from the process heap; running out of it is a broken invariant.
void* operator new(std::size_t size) {
    void* memory = HeapAlloc(GetProcessHeap(), 0, size != 0 ? size : 1);
    if (memory == nullptr) vorn::fail_fast();
    return memory;
}

void operator delete(void* memory) noexcept {
    if (memory != nullptr) HeapFree(GetProcessHeap(), 0, memory);
}

void operator delete(void* memory, std::size_t) noexcept {
    operator delete(memory);
}
