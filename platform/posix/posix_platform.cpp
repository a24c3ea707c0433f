#include "platform/posix/posix_platform.h"

#include <fcntl.h>
#include <hivex.h>
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
#include "hive/hive_value_writer.h"
#include "platform/posix/posix_text.h"
#include "platform/text_output.h"

namespace {

constexpr int LOCK_WAIT_SECONDS = 30;

// The one hive file of this process: its image, a file of the process's
// own that hivex reads (hivex opens only files), so that nothing another
// program does to FILE meanwhile can reach the reads.
struct HiveFile {
    HiveImage image;
    hive_h* hive = nullptr;
    std::vector<std::string> keys;  // the keys opened, '\\' between levels; handle n is keys[n - 1]
    int lock = -1;                  // the file held under an advisory lock
};

HiveFile the_file;

void write_error(void*, const char* text, std::size_t length);

// hivex opens the image's own file, which nobody else writes.
std::uint32_t open_hivex(HiveFile* file) {
    if (file->hive != nullptr) hivex_close(file->hive);
    errno = 0;
    file->hive = hivex_open(file->image.name.c_str(), 0);
    if (file->hive != nullptr) return ERROR_CODE_SUCCESS;
    return errno == ENOMEM ? ERROR_CODE_NOT_ENOUGH_MEMORY : HIVE_CORRUPT;
}

// Reads FILE into memory, brought up to date from its logs, for hivex.
std::uint32_t open_hive(HiveFile* file, const std::string& path, bool write) {
    if (file->hive != nullptr) hivex_close(file->hive);
    file->hive = nullptr;
    std::uint32_t status = read_hive_file(path, write, &file->image);
    return status == ERROR_CODE_SUCCESS ? open_hivex(file) : status;
}

// A key's node, found afresh from the root each time, since the hive may
// have been read again (under the lock) since the key was opened. A key
// that is not there is ERROR_CODE_FILE_NOT_FOUND; a subkey list that cannot
// be read is damage, never taken for a missing key.
std::uint32_t node_of(const std::string& path, hive_node_h* node) {
    *node = the_file.hive == nullptr ? 0 : hivex_root(the_file.hive);
    for (std::size_t start = 0; *node != 0 && start <= path.size();) {
        std::size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        errno = 0;
        if (end > start) *node = hivex_node_get_child(the_file.hive, *node, path.substr(start, end - start).c_str());
        if (*node == 0 && errno != 0) return errno == ENOMEM ? ERROR_CODE_NOT_ENOUGH_MEMORY : HIVE_DAMAGED_KEYS;
        start = end + 1;
    }
    return *node != 0 ? ERROR_CODE_SUCCESS : ERROR_CODE_FILE_NOT_FOUND;
}

std::uint32_t node_of_key(RegistryKey key, hive_node_h* node) {
    *node = 0;
    return key >= 1 && key <= the_file.keys.size() ? node_of(the_file.keys[key - 1], node) : ERROR_CODE_FILE_NOT_FOUND;
}

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
    if (root != RegistryRoot::hive_file || sibling != nullptr) return ERROR_CODE_NOT_SUPPORTED;
    std::string path = name_of(file);
    std::uint32_t status = open_hive(&the_file, path, write);
    load->unclean = status == ERROR_CODE_SUCCESS && the_file.image.recovery.state == HiveState::not_recovered;
    if (status == ERROR_CODE_SUCCESS && the_file.image.recovery.state == HiveState::recovered) {
        load->entries_applied = the_file.image.recovery.entries_applied;
    }
    return status;
}

std::uint32_t open_key(void*, RegistryRoot root, const char16_t* path, std::uint32_t, RegistryKey* key) {
    *key = 0;
    std::string name = name_of(path);
    hive_node_h node = 0;
    if (root != RegistryRoot::hive_file) return ERROR_CODE_FILE_NOT_FOUND;
    std::uint32_t status = node_of(name, &node);
    if (status != ERROR_CODE_SUCCESS) return status;
    the_file.keys.push_back(name);
    *key = the_file.keys.size();
    return ERROR_CODE_SUCCESS;
}

std::uint32_t query_value(void*, RegistryKey key, const char16_t* name, std::uint32_t* type, unsigned char* data,
                          std::uint32_t* size) {
    hive_node_h node = 0;
    std::uint32_t status = node_of_key(key, &node);
    if (status != ERROR_CODE_SUCCESS) return status;
    errno = 0;
    hive_value_h value = hivex_node_get_value(the_file.hive, node, name_of(name).c_str());
    if (value == 0) return errno == 0 ? ERROR_CODE_FILE_NOT_FOUND : HIVE_CORRUPT;
    hive_type stored_type{};
    std::size_t length = 0;
    if (data == nullptr) {
        if (hivex_value_type(the_file.hive, value, &stored_type, &length) != 0) return HIVE_CORRUPT;
    } else {
        char* stored = hivex_value_value(the_file.hive, value, &stored_type, &length);
        if (stored == nullptr) return errno == ENOMEM ? ERROR_CODE_NOT_ENOUGH_MEMORY : HIVE_CORRUPT;
        if (length <= *size) std::memcpy(data, stored, length);
        std::free(stored);
        if (length > *size) {
            *size = static_cast<std::uint32_t>(length);
            return ERROR_CODE_MORE_DATA;
        }
    }
    *type = static_cast<std::uint32_t>(stored_type);
    *size = static_cast<std::uint32_t>(length);
    return ERROR_CODE_SUCCESS;
}

// The value's data is written into the image as Windows stores it, every
// other cell as it was; then the whole image goes to a new file that
// replaces FILE (write_hive_file), and hivex reads the new image.
std::uint32_t set_value(void*, RegistryKey key, const char16_t* name, std::uint32_t type, const unsigned char* data,
                        std::uint32_t size) {
    hive_node_h node = 0;
    std::uint32_t status = node_of_key(key, &node);
    if (status != ERROR_CODE_SUCCESS) return status;
    if (the_file.lock < 0) return ERROR_CODE_ACCESS_DENIED;
    errno = 0;
    hive_value_h value = hivex_node_get_value(the_file.hive, node, name_of(name).c_str());
    if (value == 0) return errno == 0 ? ERROR_CODE_FILE_NOT_FOUND : HIVE_CORRUPT;
    // hivex lets its view of the image go first, so that the bytes being
    // changed are the only other copy.
    hivex_close(the_file.hive);
    the_file.hive = nullptr;
    std::vector<unsigned char> bytes;
    status = image_bytes(the_file.image, size + (std::size_t(1) << 16), &bytes);
    ValueWrite written =
        status == ERROR_CODE_SUCCESS ? write_value_data(&bytes, value, type, data, size) : ValueWrite::written;
    if (status != ERROR_CODE_SUCCESS || written != ValueWrite::written) {
        open_hivex(&the_file);
        if (status != ERROR_CODE_SUCCESS) return status;
        return written == ValueWrite::too_large ? HIVE_VALUE_TOO_LARGE : HIVE_CORRUPT;
    }
    // Neither an interrupt nor a hang-up stops the commit halfway, which
    // could leave the named file behind.
    sigset_t blocked;
    sigset_t before;
    sigemptyset(&blocked);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&blocked, signal_number);
    sigprocmask(SIG_BLOCK, &blocked, &before);
    status = write_hive_file(&the_file.image, &bytes);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (status != ERROR_CODE_SUCCESS) return status;
    return open_hivex(&the_file);
}

std::uint32_t delete_value(void*, RegistryKey, const char16_t*) { return ERROR_CODE_NOT_SUPPORTED; }

std::uint32_t enum_value(void*, RegistryKey, std::uint32_t, char16_t*, std::uint32_t*) {
    return ERROR_CODE_NOT_SUPPORTED;
}

void close_key(void*, RegistryKey) {}

std::uint32_t kernel_name(void*, RegistryKey, char16_t*, std::size_t) { return ERROR_CODE_NOT_SUPPORTED; }

// Two bootmove processes changing one file take turns: the lock is on the
// real file itself. A holder renames a new file over it, so the lock is
// taken again on whatever the name leads to once it is had; then the hive is
// read again for writing, with whatever the other process wrote.
std::uint32_t lock(void*, LockToken* token) {
    *token = 0;
    const std::string path = the_file.image.real_path;
    std::time_t until = std::time(nullptr) + LOCK_WAIT_SECONDS;
    for (;;) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return errno_code(errno);
        while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK || std::time(nullptr) >= until) {
                close(fd);
                return errno == EWOULDBLOCK ? ERROR_CODE_WAIT_TIMEOUT : errno_code(errno);
            }
            usleep(20000);
        }
        struct stat held {};
        struct stat named {};
        if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev) {
            the_file.lock = fd;
            break;
        }
        close(fd);
    }
    std::uint32_t status = open_hive(&the_file, path, true);
    if (status == ERROR_CODE_SUCCESS && the_file.image.recovery.state == HiveState::not_recovered) {
        status = HIVE_STILL_DIRTY;
    }
    if (status != ERROR_CODE_SUCCESS) {
        close(the_file.lock);
        the_file.lock = -1;
        return status;
    }
    *token = 1;
    return ERROR_CODE_SUCCESS;
}

void unlock(void*, LockToken token) {
    if (token == 0 || the_file.lock < 0) return;
    close(the_file.lock);
    the_file.lock = -1;
}

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

Platform hive_platform() {
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
    Platform platform{};
    platform.registry = {nullptr,   open_key,  query_value, set_value,     delete_value,
                         enum_value, close_key, kernel_name, load_hive_file};
    platform.files = {nullptr,         disable_redirection, revert_redirection, find_first_file, find_close,
                      file_attributes, move_file_ex,        get_last_error,     same_name};
    platform.heap = {nullptr, allocate, release};
    platform.lock = {nullptr, lock, unlock};
    platform.output = text_output_access(&standard_output_writer);
    platform.running_system = false;
    return platform;
}

const char16_t* const* hive_arguments(int argc, char** argv) {
    static std::vector<std::u16string> arguments;
    static std::vector<const char16_t*> pointers;
    for (int i = 0; i < argc; ++i) arguments.push_back(utf16_of(argv[i], std::strlen(argv[i])));
    for (const std::u16string& argument : arguments) pointers.push_back(argument.c_str());
    pointers.push_back(nullptr);
    return pointers.data();
}
