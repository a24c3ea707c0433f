// The Windows programs are built without C++ exceptions, so that the C++
// library's throwing parts (and the threads, unwinding and type information
// they bring) stay out of a program that must stay small. What would have
// thrown, running out of memory above all, ends the program here instead,
// with one error line and status 1, never with a fault.
#include <windows.h>

#include <cstdlib>
#include <new>

namespace {

[[noreturn]] void out_of_memory() {
    static const char text[] = "error: Not enough memory.\r\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, sizeof text - 1, &written, nullptr);
    ExitProcess(1);
}

}  // namespace

namespace std {
void __throw_bad_alloc() { out_of_memory(); }
void __throw_bad_array_new_length() { out_of_memory(); }
void __throw_length_error(const char*) { out_of_memory(); }
void __throw_logic_error(const char*) { out_of_memory(); }
void __throw_out_of_range(const char*) { out_of_memory(); }
void __throw_out_of_range_fmt(const char*, ...) { out_of_memory(); }
}  // namespace std

void* operator new(std::size_t size) {
    void* block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr) out_of_memory();
    return block;
}

void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
