#include "platform/hive/hive_platform.h"

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

#include "platform/hive/posix_text.h"
#include "platform/text_output.h"

namespace {

// The regf base block: its signature, the two sequence numbers that agree
// once the hive was written out whole, the format's minor version, and the
// XOR checksum of the 127 words before it.
constexpr std::size_t BASE_BLOCK = 4096;
constexpr std::size_t SEQUENCE_1 = 4;
constexpr std::size_t SEQUENCE_2 = 8;
constexpr std::size_t MINOR_VERSION = 0x18;
constexpr std::size_t CHECKSUM = 508;
// From minor version 4 on, Windows reads a value of more data than this as
// a list of segments, which hivex does not write.
constexpr std::size_t SINGLE_CELL_LIMIT = 16344;
constexpr int LOCK_WAIT_SECONDS = 30;

// A failure of the file system, in its own words (strerror).
std::uint32_t errno_code(int error) {
    if (error == ENOMEM) return ERROR_CODE_NOT_ENOUGH_MEMORY;
    return APPLICATION_CODE_BIT | static_cast<std::uint32_t>(error);
}

std::uint32_t word_at(const unsigned char* bytes, std::size_t at) {
    return std::uint32_t(bytes[at]) | std::uint32_t(bytes[at + 1]) << 8 | std::uint32_t(bytes[at + 2]) << 16 |
           std::uint32_t(bytes[at + 3]) << 24;
}

// The one hive file of this process.
struct HiveFile {
    std::string path;  // as the file system takes it
    bool write = false;
    hive_h* hive = nullptr;
    std::uint32_t minor = 0;
    std::vector<std::string> keys;  // the keys opened, '\\' between levels; handle n is keys[n - 1]
    int lock = -1;                  // the file held under an advisory lock
};

HiveFile the_file;

// Checks the base block, then has hivex open the hive.
std::uint32_t open_hive(HiveFile* file, bool* unclean) {
    int fd = open(file->path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno_code(errno);
    struct stat status {};
    unsigned char base[BASE_BLOCK];
    ssize_t got = fstat(fd, &status) != 0 ? -1 : S_ISDIR(status.st_mode) ? (errno = EISDIR, -1) : 0;
    while (got >= 0 && static_cast<std::size_t>(got) < BASE_BLOCK) {
        ssize_t more = read(fd, base + got, BASE_BLOCK - static_cast<std::size_t>(got));
        if (more <= 0) break;
        got += more;
    }
    int error = errno;
    close(fd);
    if (got < 0) return errno_code(error);
    bool signature = got >= 4 && std::memcmp(base, "regf", 4) == 0;
    if (!signature) return HIVE_NOT_A_HIVE;
    if (static_cast<std::size_t>(got) < BASE_BLOCK) return HIVE_TRUNCATED;
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at < CHECKSUM; at += 4) sum ^= word_at(base, at);
    if (sum == 0) sum = 1;
    if (sum == 0xFFFFFFFF) sum = 0xFFFFFFFE;
    if (sum != word_at(base, CHECKSUM)) return HIVE_BAD_CHECKSUM;
    *unclean = word_at(base, SEQUENCE_1) != word_at(base, SEQUENCE_2);
    file->minor = word_at(base, MINOR_VERSION);

    if (file->hive != nullptr) hivex_close(file->hive);
    errno = 0;
    file->hive = hivex_open(file->path.c_str(), file->write ? HIVEX_OPEN_WRITE : 0);
    if (file->hive == nullptr) return errno == ENOMEM ? ERROR_CODE_NOT_ENOUGH_MEMORY : HIVE_CORRUPT;
    return ERROR_CODE_SUCCESS;
}

// A key's node, found afresh from the root each time, since the hive may
// have been read again (under the lock) since the key was opened.
hive_node_h node_of(const std::string& path) {
    if (the_file.hive == nullptr) return 0;
    hive_node_h node = hivex_root(the_file.hive);
    for (std::size_t start = 0; node != 0 && start <= path.size();) {
        std::size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) node = hivex_node_get_child(the_file.hive, node, path.substr(start, end - start).c_str());
        start = end + 1;
    }
    return node;
}

hive_node_h node_of_key(RegistryKey key) {
    return key >= 1 && key <= the_file.keys.size() ? node_of(the_file.keys[key - 1]) : 0;
}

std::string name_of(const char16_t* units) {
    std::size_t length = 0;
    while (units[length] != u'\0') ++length;
    return utf8_of(units, length);
}

// Read-only until the lock: only then is it read again for writing.
std::uint32_t load_hive_file(void*, const char16_t* file, bool, bool* unclean) {
    the_file.path = name_of(file);
    the_file.write = false;
    *unclean = false;
    return open_hive(&the_file, unclean);
}

std::uint32_t open_key(void*, RegistryRoot root, const char16_t* path, std::uint32_t, RegistryKey* key) {
    *key = 0;
    std::string name = name_of(path);
    if (root != RegistryRoot::hive_file || node_of(name) == 0) return ERROR_CODE_FILE_NOT_FOUND;
    the_file.keys.push_back(name);
    *key = the_file.keys.size();
    return ERROR_CODE_SUCCESS;
}

std::uint32_t query_value(void*, RegistryKey key, const char16_t* name, std::uint32_t* type, unsigned char* data,
                          std::uint32_t* size) {
    hive_node_h node = node_of_key(key);
    if (node == 0) return ERROR_CODE_FILE_NOT_FOUND;
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

// hivex writes the whole hive to a new file in FILE's folder, which is
// flushed, given FILE's mode and owner and renamed over FILE: at every
// instant FILE is the old hive or the new one. An unnamed file (O_TMPFILE)
// leaves nothing behind even if the process dies while writing, and gets a
// name only just before the rename; where the file system has none, a named
// file is removed on any failure.
std::uint32_t commit_whole(const HiveFile& file) {
    std::size_t slash = file.path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : file.path.substr(0, slash);
    struct stat status {};
    if (stat(file.path.c_str(), &status) != 0) return errno_code(errno);
    std::string temporary = file.path + ".bootmove-XXXXXX";
    int fd = access("/proc/self/fd", X_OK) == 0 ? open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600) : -1;
    bool unnamed = fd >= 0;
    if (!unnamed) fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0) return HIVE_NOT_WRITTEN | static_cast<std::uint32_t>(errno);
    std::string written = unnamed ? "/proc/self/fd/" + std::to_string(fd) : temporary;
    bool done =
        hivex_commit(file.hive, written.c_str(), 0) == 0 && fsync(fd) == 0 && fchmod(fd, status.st_mode & 07777) == 0;
    // Root keeps the owner too; anyone else cannot give a file away.
    if (done && fchown(fd, status.st_uid, status.st_gid) != 0 && errno != EPERM) done = false;
    bool named = !unnamed;
    for (int attempt = 0; done && !named && attempt < 100; ++attempt) {
        temporary = file.path + ".bootmove-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
        named = linkat(AT_FDCWD, written.c_str(), AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0;
        if (!named && errno != EEXIST) done = false;
    }
    done = done && named && rename(temporary.c_str(), file.path.c_str()) == 0;
    int error = errno;
    if (!done && named) unlink(temporary.c_str());
    close(fd);
    if (!done)
        return error == ENOMEM ? ERROR_CODE_NOT_ENOUGH_MEMORY : HIVE_NOT_WRITTEN | static_cast<std::uint32_t>(error);
    int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
    return ERROR_CODE_SUCCESS;
}

std::uint32_t set_value(void*, RegistryKey key, const char16_t* name, std::uint32_t type, const unsigned char* data,
                        std::uint32_t size) {
    hive_node_h node = node_of_key(key);
    if (node == 0) return ERROR_CODE_FILE_NOT_FOUND;
    if (!the_file.write) return ERROR_CODE_ACCESS_DENIED;
    // hivex writes every value of the key anew, each as one cell: refused
    // where Windows would read such a cell as a list of segments.
    bool segments = the_file.minor >= 4;
    hive_value_h* values = hivex_node_values(the_file.hive, node);
    if (values == nullptr) return HIVE_CORRUPT;
    std::string wanted = name_of(name);
    bool too_large = segments && size > SINGLE_CELL_LIMIT;
    for (std::size_t i = 0; values[i] != 0 && !too_large; ++i) {
        hive_type other_type{};
        std::size_t length = 0;
        char* other = hivex_value_key(the_file.hive, values[i]);
        bool same = other != nullptr && strcasecmp(other, wanted.c_str()) == 0;
        std::free(other);
        too_large = !same && segments && hivex_value_type(the_file.hive, values[i], &other_type, &length) == 0 &&
                    length > SINGLE_CELL_LIMIT;
    }
    std::free(values);
    if (too_large) return HIVE_VALUE_TOO_LARGE;
    std::vector<char> bytes(data, data + size);
    hive_set_value value{&wanted[0], static_cast<hive_type>(type), size, bytes.data()};
    if (hivex_node_set_value(the_file.hive, node, &value, 0) != 0) {
        return errno == ERANGE ? HIVE_VALUE_TOO_LARGE : errno == ENOMEM ? ERROR_CODE_NOT_ENOUGH_MEMORY : HIVE_CORRUPT;
    }
    // Neither an interrupt nor a hang-up stops the commit halfway, which
    // could leave the named file behind.
    sigset_t blocked;
    sigset_t before;
    sigemptyset(&blocked);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&blocked, signal_number);
    sigprocmask(SIG_BLOCK, &blocked, &before);
    std::uint32_t status = commit_whole(the_file);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    return status;
}

std::uint32_t delete_value(void*, RegistryKey, const char16_t*) { return ERROR_CODE_NOT_SUPPORTED; }

void close_key(void*, RegistryKey) {}

std::uint32_t kernel_name(void*, RegistryKey, char16_t*, std::size_t) { return ERROR_CODE_NOT_SUPPORTED; }

// Two bootmove processes changing one file take turns: the lock is on the
// file itself. A holder renames a new file over it, so the lock is taken
// again on whatever FILE names once it is had; then the hive is read again
// for writing, with whatever the other process wrote.
std::uint32_t lock(void*, LockToken* token) {
    *token = 0;
    std::time_t until = std::time(nullptr) + LOCK_WAIT_SECONDS;
    for (;;) {
        int fd = open(the_file.path.c_str(), O_RDONLY | O_CLOEXEC);
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
        if (fstat(fd, &held) == 0 && stat(the_file.path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev) {
            the_file.lock = fd;
            break;
        }
        close(fd);
    }
    the_file.write = true;
    bool unclean = false;
    std::uint32_t status = open_hive(&the_file, &unclean);
    if (status == ERROR_CODE_SUCCESS && unclean) status = HIVE_CORRUPT;
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

void* allocate(void*, std::size_t size) { return std::malloc(size); }
void release(void*, void* block) { std::free(block); }

// Standard output: UTF-8 and line feeds, to a terminal or a file alike; on a
// terminal the writer escapes control characters in names first.
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

bool write_terminal(void*, const char16_t* units, std::size_t count) {
    std::string bytes = utf8_of(units, count);
    return write_all(STDOUT_FILENO, bytes.data(), bytes.size());
}

bool write_file(void*, const char* bytes, std::size_t count) { return write_all(STDOUT_FILENO, bytes, count); }

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

TextOutput standard_output_writer;

}  // namespace

Platform hive_platform() {
    // A closed pipe is a failed write, not the end of the process.
    signal(SIGPIPE, SIG_IGN);
    start_text_output(&standard_output_writer,
                      {nullptr, isatty(STDOUT_FILENO) != 0, true, false, "\xEF\xBF\xBD", write_terminal, write_file,
                       encode, decode, report_failure, write_error});
    keep_errors_on_stderr(&standard_output_writer);
    Platform platform{};
    platform.registry = {nullptr,      open_key,  query_value, set_value,
                         delete_value, close_key, kernel_name, load_hive_file};
    platform.files = {nullptr,    disable_redirection, revert_redirection, find_first_file,
                      find_close, file_attributes,     move_file_ex,       get_last_error};
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
