#include "platform/posix/posix_platform.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/posix/posix_hive_file.h"
#include "platform/posix/posix_text.h"
#include "platform/text_output.h"

namespace {

std::string name_of(const char16_t* units) {
    std::size_t length = 0;
    while (units[length] != u'\0') ++length;
    return utf8_of(units, length);
}

// Read-only until the lock: only then is it read again for writing. With
// `write`, FILE must be one that /c can replace, which is checked first.
std::uint32_t load_hive_file(void*, RegistryRoot root, const char16_t* file, const char16_t* sibling, bool write,
                             HiveLoad* load) {
    *load = HiveLoad{};
    HiveFileCalls calls{};
    std::string sibling_name = sibling != nullptr ? name_of(sibling) : std::string();
    std::uint32_t code =
        open_posix_hive(name_of(file), sibling != nullptr ? sibling_name.c_str() : nullptr, write, &calls);
    if (code != ERROR_CODE_SUCCESS) {
        calls.close(calls.context);
        return code;
    }
    return load_hive(root, calls, write, load);
}

std::uint32_t open_key(void*, RegistryRoot root, const char16_t* path, std::uint32_t, RegistryKey* key) {
    return hive_open_key(root, path, key);
}

std::uint32_t query_value(void*, RegistryKey key, const char16_t* name, std::uint32_t* type, unsigned char* data,
                          std::uint32_t* size) {
    return hive_query_value(key, name, type, data, size);
}

std::uint32_t set_value(void*, RegistryKey key, const char16_t* name, std::uint32_t type, const unsigned char* data,
                        std::uint32_t size) {
    return hive_set_value(key, name, type, data, size);
}

std::uint32_t delete_value(void*, RegistryKey, const char16_t*) { return ERROR_CODE_NOT_SUPPORTED; }

std::uint32_t enum_value(void*, RegistryKey key, std::uint32_t index, char16_t* name, std::uint32_t* length) {
    return hive_enum_value(key, index, name, length);
}

void close_key(void*, RegistryKey) {}

std::uint32_t kernel_name(void*, RegistryKey, char16_t*, std::size_t) { return ERROR_CODE_NOT_SUPPORTED; }

// Two bootmove processes changing one file take turns on a lock on the file.
std::uint32_t lock(void*, LockToken* token) { return hive_lock(token); }

void unlock(void*, LockToken token) { hive_unlock(token); }

// No file of the offline system is looked up or moved from here.
RedirectionToken disable_redirection(void*) { return 0; }
void revert_redirection(void*, RedirectionToken) {}
SearchHandle find_first_file(void*, const char16_t*) { return INVALID_SEARCH_HANDLE; }
void find_close(void*, SearchHandle) {}
std::uint32_t file_attributes(void*, const char16_t*, std::uint32_t*) { return ERROR_CODE_NOT_SUPPORTED; }
int move_file_ex(void*, const char16_t*, const char16_t*, std::uint32_t) { return 0; }
std::uint32_t get_last_error(void*) { return ERROR_CODE_NOT_SUPPORTED; }
bool same_name(void*, const char16_t*, std::size_t, const char16_t*, std::size_t) { return true; }

void* allocate(void*, std::size_t size) { return std::malloc(size); }
void release(void*, void* block) { std::free(block); }

// Standard output and standard error: UTF-8 and line feeds, to a terminal
// or a file alike; on a terminal the writer escapes control characters in
// names first. Each writer's context is its file descriptor.
int standard_output = STDOUT_FILENO;
int standard_error = STDERR_FILENO;
int output_error = 0;

bool write_all(int fd, const char* bytes, std::size_t count) {
    while (count > 0) {
        ssize_t written = write(fd, bytes, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            output_error = written < 0 ? errno : EIO;
            return false;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

bool write_terminal(void* context, const char16_t* units, std::size_t count) {
    std::string bytes = utf8_of(units, count);
    return write_all(*static_cast<int*>(context), bytes.data(), bytes.size());
}

bool write_file(void* context, const char* bytes, std::size_t count) {
    return write_all(*static_cast<int*>(context), bytes, count);
}

std::size_t encode(void*, const char16_t* units, std::size_t count, char* bytes, std::size_t) {
    std::string encoded = utf8_of(units, count);
    std::memcpy(bytes, encoded.data(), encoded.size());
    return encoded.size();
}

std::size_t decode(void*, const char* bytes, std::size_t count, char16_t* units, std::size_t) {
    std::u16string decoded = utf16_of(bytes, count);
    decoded.copy(units, decoded.size());
    return decoded.size();
}

void write_error(void*, const char* text, std::size_t length) {
    while (length > 0) {
        ssize_t written = write(STDERR_FILENO, text, length);
        if (written <= 0) return;
        text += written;
        length -= static_cast<std::size_t>(written);
    }
}

void report_failure(void* context) {
    std::string text =
        std::string("error: standard output could not be written: ") + std::strerror(output_error) + "\n";
    write_error(context, text.data(), text.size());
}

// Nowhere is left to say that the error stream failed.
void report_nothing(void*) {}

TextOutput standard_output_writer;
TextOutput standard_error_writer;

}  // namespace

Platform posix_platform() {
    // A closed pipe is a failed write, not the end of the process.
    signal(SIGPIPE, SIG_IGN);
    start_text_output(&standard_output_writer,
                      {&standard_output, isatty(STDOUT_FILENO) != 0, true, false, "\xEF\xBF\xBD", write_terminal,
                       write_file, encode, decode, report_failure, write_error});
    // Error lines go to standard error, escaped on a terminal as standard
    // output is.
    start_text_output(&standard_error_writer,
                      {&standard_error, isatty(STDERR_FILENO) != 0, true, false, "\xEF\xBF\xBD", write_terminal,
                       write_file, encode, decode, report_nothing, write_error});
    keep_errors_apart(&standard_output_writer, &standard_error_writer);
    keep_warnings_apart(&standard_output_writer, &standard_error_writer);
    Platform platform{};
    platform.registry = {nullptr,    open_key,  query_value, set_value,     delete_value,
                         enum_value, close_key, kernel_name, load_hive_file};
    platform.files = {nullptr,         disable_redirection, revert_redirection, find_first_file, find_close,
                      file_attributes, move_file_ex,        get_last_error,     same_name};
    platform.heap = {nullptr, allocate, release};
    platform.lock = {nullptr, lock, unlock};
    platform.output = text_output_access(&standard_output_writer);
    platform.running_system = false;
    return platform;
}

const char16_t* const* posix_arguments(int argc, char** argv) {
    static std::vector<std::u16string> arguments;
    static std::vector<const char16_t*> pointers;
    for (int i = 0; i < argc; ++i) arguments.push_back(utf16_of(argv[i], std::strlen(argv[i])));
    for (const std::u16string& argument : arguments) pointers.push_back(argument.c_str());
    pointers.push_back(nullptr);
    return pointers.data();
}
