#include "platform/posix/posix_hive_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "hive/hive_format.h"
#include "platform/posix/posix_text.h"

namespace {

// Larger than any SYSTEM hive Windows writes; a pipe that says more is read
// no further.
constexpr std::uint64_t LARGEST_HIVE = HIVE_BASE_BLOCK + std::uint64_t{MAX_HIVE_BINS};
// A log holds the hive's dirty pages and their headers at most: one that is
// larger is none Windows wrote (a sparse giant), and is not read into memory.
constexpr std::uint64_t LARGEST_LOG = LARGEST_HIVE + (std::uint64_t(1) << 24);
constexpr int LOCK_WAIT_SECONDS = 30;
constexpr int LOG_READS = 3;

// A log's bytes in memory of this process's own, so that nothing another
// program does to the log can reach them.
struct LogCopy {
    void* mapping = nullptr;
    std::size_t size = 0;  // of the mapping
    void clear() {
        if (mapping != nullptr) munmap(mapping, size);
        mapping = nullptr;
        size = 0;
    }
    ~LogCopy() { clear(); }
};

struct PosixHive {
    std::string path;       // FILE as typed
    std::string real_path;  // where FILE leads, links resolved; what /c replaces
    int fd = -1;
    // A pipe or a device is read whole, as far as its hive goes.
    bool whole = false;
    std::vector<unsigned char> bytes;
    struct stat status {};  // when it was opened, to tell a later change
    int lock = -1;          // the file held under an advisory lock
    LogCopy logs[2];
};

std::string folder_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The entries of `folder` whose name is `wanted` without regard to case,
// as Windows' file system finds it: the name in its own case alone when it
// is there, else every other spelling.
std::vector<std::string> spellings(const std::string& folder, const std::string& wanted) {
    std::vector<std::string> found;
    if (DIR* directory = opendir(folder.c_str())) {
        while (dirent* entry = readdir(directory)) {
            if (strcasecmp(entry->d_name, wanted.c_str()) == 0) found.push_back(entry->d_name);
        }
        closedir(directory);
    }
    for (const std::string& name : found) {
        if (name == wanted) return {name};
    }
    return found;
}

bool read_all(int fd, std::uint64_t offset, unsigned char* out, std::size_t length, std::size_t* got) {
    *got = 0;
    while (*got < length) {
        ssize_t read_now = pread(fd, out + *got, length - *got, static_cast<off_t>(offset + *got));
        if (read_now < 0 && errno == EINTR) continue;
        if (read_now < 0) return false;
        if (read_now == 0) break;
        *got += static_cast<std::size_t>(read_now);
    }
    return true;
}

// Appends what a pipe gives, up to `limit` bytes in all.
int read_stream(int fd, std::uint64_t limit, std::vector<unsigned char>* bytes) {
    static unsigned char chunk[1 << 16];
    while (bytes->size() < limit) {
        std::uint64_t room = limit - bytes->size();
        ssize_t got = read(fd, chunk, room < sizeof chunk ? static_cast<std::size_t>(room) : sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno;
        if (got == 0) break;
        bytes->insert(bytes->end(), chunk, chunk + got);
    }
    return 0;
}

bool same_file(const struct stat& left, const struct stat& right) {
    return left.st_ino == right.st_ino && left.st_dev == right.st_dev && left.st_size == right.st_size &&
           left.st_mtim.tv_sec == right.st_mtim.tv_sec && left.st_mtim.tv_nsec == right.st_mtim.tv_nsec;
}

std::uint64_t file_length(void* context) {
    PosixHive* hive = static_cast<PosixHive*>(context);
    return hive->whole ? hive->bytes.size() : static_cast<std::uint64_t>(hive->status.st_size);
}

std::uint32_t read_file(void* context, std::uint64_t offset, unsigned char* out, std::size_t length, std::size_t* got) {
    PosixHive* hive = static_cast<PosixHive*>(context);
    if (!hive->whole) return read_all(hive->fd, offset, out, length, got) ? ERROR_CODE_SUCCESS : errno_code(errno);
    std::uint64_t size = hive->bytes.size();
    *got = offset >= size ? 0 : static_cast<std::size_t>(size - offset < length ? size - offset : length);
    if (*got > 0) std::memcpy(out, hive->bytes.data() + offset, *got);
    return ERROR_CODE_SUCCESS;
}

// Copies `size` bytes of `fd` into `copy`; false when they could not all be
// had. The memory is asked for in huge pages where the system gives them:
// a log of megabytes then costs a few page faults rather than thousands.
bool copy_log(int fd, std::size_t size, LogCopy* copy) {
    copy->clear();
    if (size == 0) return true;
    constexpr std::size_t HUGE_PAGE = std::size_t(1) << 21;
    std::size_t room = (size + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    void* mapping = mmap(nullptr, room, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return false;
    copy->mapping = mapping;
    copy->size = room;
#ifdef MADV_HUGEPAGE
    madvise(mapping, room, MADV_HUGEPAGE);
#endif
    std::size_t got = 0;
    if (!read_all(fd, 0, static_cast<unsigned char*>(mapping), size, &got) || got != size) {
        copy->clear();
        return false;
    }
    return true;
}

// FILE.LOG1 or FILE.LOG2 beside the real file, read whole. A name that is
// there is read or refused with its reason: never taken for a missing log.
std::uint32_t read_log(void* context, int which, const unsigned char** bytes, std::size_t* size, std::u16string* name) {
    PosixHive* hive = static_cast<PosixHive*>(context);
    LogCopy* copy = &hive->logs[which];
    copy->clear();
    if (hive->real_path.empty()) return ERROR_CODE_FILE_NOT_FOUND;  // a pipe has no folder
    std::string folder = folder_of(hive->real_path);
    std::vector<std::string> found = spellings(folder, base_of(hive->real_path) + (which == 0 ? ".LOG1" : ".LOG2"));
    if (found.empty()) return ERROR_CODE_FILE_NOT_FOUND;
    std::string path = folder + "/" + found[0];
    *name = utf16_of(path.data(), path.size());
    if (found.size() > 1) {
        for (std::size_t i = 1; i < found.size(); ++i) {
            std::string other = folder + "/" + found[i];
            *name += u" and " + utf16_of(other.data(), other.size());
        }
        return HIVE_LOG_AMBIGUOUS;
    }
    // Without waiting for a writer at the other end of a FIFO.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno_code(errno);
    std::uint32_t code = HIVE_LOG_CHANGING;
    off_t length = 0;
    for (int attempt = 0; attempt < LOG_READS && code == HIVE_LOG_CHANGING; ++attempt) {
        struct stat before {};
        struct stat after {};
        if (fstat(fd, &before) != 0) {
            code = errno_code(errno);
        } else if (!S_ISREG(before.st_mode)) {
            code = S_ISDIR(before.st_mode) ? errno_code(EISDIR) : HIVE_NOT_A_FILE;
        } else if (static_cast<std::uint64_t>(before.st_size) > LARGEST_LOG) {
            code = HIVE_LOG_TOO_LARGE;
        } else if (!copy_log(fd, static_cast<std::size_t>(before.st_size), copy)) {
            code = errno == 0 || errno == EINTR ? HIVE_LOG_CHANGING : errno_code(errno);
        } else if (fstat(fd, &after) != 0) {
            code = errno_code(errno);
        } else if (same_file(before, after)) {
            code = ERROR_CODE_SUCCESS;
            length = before.st_size;
        }
    }
    close(fd);
    if (code != ERROR_CODE_SUCCESS) copy->clear();
    *bytes = static_cast<const unsigned char*>(copy->mapping);
    *size = code == ERROR_CODE_SUCCESS ? static_cast<std::size_t>(length) : 0;
    return code;
}

bool unchanged(void* context) {
    PosixHive* hive = static_cast<PosixHive*>(context);
    struct stat now {};
    return hive->whole || (fstat(hive->fd, &now) == 0 && same_file(now, hive->status));
}

// Refuses what /c could not replace faithfully, before anything is read.
std::uint32_t check_writable(const std::string& real_path) {
    struct stat status {};
    if (stat(real_path.c_str(), &status) != 0) return errno_code(errno);
    if (!S_ISREG(status.st_mode)) return HIVE_NOT_REGULAR;
    if (status.st_nlink > 1) return HIVE_OTHER_NAMES;
    if (faccessat(AT_FDCWD, real_path.c_str(), W_OK, AT_EACCESS) != 0) return errno_code(errno);
    return ERROR_CODE_SUCCESS;
}

// Opens the file to read: a regular file where it lies, anything else
// (a pipe, /dev/stdin) read whole, no further than the hive its header
// declares.
std::uint32_t open_file(PosixHive* hive, const std::string& name) {
    if (hive->fd >= 0) close(hive->fd);
    hive->fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (hive->fd < 0) return errno_code(errno);
    if (fstat(hive->fd, &hive->status) != 0) return errno_code(errno);
    if (S_ISDIR(hive->status.st_mode)) return errno_code(EISDIR);
    hive->whole = !S_ISREG(hive->status.st_mode);
    hive->bytes.clear();
    if (!hive->whole) return ERROR_CODE_SUCCESS;
    int error = read_stream(hive->fd, HIVE_BASE_BLOCK, &hive->bytes);
    std::uint64_t declared = hive->bytes.size() == HIVE_BASE_BLOCK && std::memcmp(hive->bytes.data(), "regf", 4) == 0
                                 ? HIVE_BASE_BLOCK + std::uint64_t{hive_word(hive->bytes.data(), HIVE_BINS_SIZE)}
                                 : 0;
    if (error == 0 && declared > HIVE_BASE_BLOCK)
        error = read_stream(hive->fd, declared < LARGEST_HIVE ? declared : LARGEST_HIVE, &hive->bytes);
    return error == 0 ? ERROR_CODE_SUCCESS : errno_code(error);
}

// Two bootmove processes changing one file take turns: the lock is on the
// real file itself. A holder renames a new file over it, so the lock is
// taken again on whatever the name leads to once it is had; the hive is
// then read from that file, with whatever the other process wrote.
std::uint32_t lock_file(void* context) {
    PosixHive* hive = static_cast<PosixHive*>(context);
    std::time_t until = std::time(nullptr) + LOCK_WAIT_SECONDS;
    for (;;) {
        int fd = open(hive->real_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return errno_code(errno);
        while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK || std::time(nullptr) >= until) {
                int error = errno;
                close(fd);
                return error == EWOULDBLOCK ? ERROR_CODE_WAIT_TIMEOUT : errno_code(error);
            }
            usleep(20000);
        }
        struct stat held {};
        struct stat named {};
        if (fstat(fd, &held) == 0 && stat(hive->real_path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev) {
            hive->lock = fd;
            break;
        }
        close(fd);
    }
    std::uint32_t code = open_file(hive, hive->real_path);
    if (code != ERROR_CODE_SUCCESS) {
        close(hive->lock);
        hive->lock = -1;
    }
    return code;
}

void unlock_file(void* context) {
    PosixHive* hive = static_cast<PosixHive*>(context);
    if (hive->lock >= 0) close(hive->lock);
    hive->lock = -1;
}

bool write_at(int fd, std::size_t offset, const unsigned char* bytes, std::size_t count) {
    while (count > 0) {
        ssize_t written = pwrite(fd, bytes, count, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = EIO;
            return false;
        }
        bytes += written;
        offset += static_cast<std::size_t>(written);
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

// Every extended attribute of `from` on `to`: POSIX ACLs and the NT
// security descriptors that ntfs-3g keeps are among them. One already
// there with the same bytes (a security label given at creation) is left.
int copy_attributes(int from, int to) {
    ssize_t size = flistxattr(from, nullptr, 0);
    if (size < 0) return errno == ENOTSUP ? 0 : errno;
    std::vector<char> names(static_cast<std::size_t>(size) + 1);
    size = flistxattr(from, names.data(), names.size());
    if (size < 0) return errno;
    std::vector<char> value;
    std::vector<char> there;
    for (std::size_t at = 0; at < static_cast<std::size_t>(size); at += std::strlen(names.data() + at) + 1) {
        const char* name = names.data() + at;
        ssize_t length = fgetxattr(from, name, nullptr, 0);
        if (length < 0) return errno;
        value.resize(static_cast<std::size_t>(length) + 1);
        length = fgetxattr(from, name, value.data(), value.size());
        if (length < 0) return errno;
        value.resize(static_cast<std::size_t>(length));
        there.resize(value.size() + 1);
        ssize_t present = fgetxattr(to, name, there.data(), there.size());
        if (present == length && std::memcmp(there.data(), value.data(), value.size()) == 0) continue;
        if (fsetxattr(to, name, value.data(), value.size(), 0) != 0) return errno;
    }
    return 0;
}

// The new file takes what the old one has beside its bytes: owner and group
// first (a change of owner clears the set-user-ID bits), then the mode, then
// the extended attributes (an ACL carries the mode's bits too). Gives 0 or
// the code that says what could not be kept.
std::uint32_t keep_metadata(int old_fd, int fd, const struct stat& old_status) {
    struct stat status {};
    if (fstat(fd, &status) != 0) return HIVE_NOT_WRITTEN | static_cast<std::uint32_t>(errno);
    if ((status.st_uid != old_status.st_uid || status.st_gid != old_status.st_gid) &&
        fchown(fd, old_status.st_uid, old_status.st_gid) != 0) {
        return HIVE_OWNER_NOT_KEPT | static_cast<std::uint32_t>(errno);
    }
    if (fchmod(fd, old_status.st_mode & 07777) != 0) return HIVE_NOT_WRITTEN | static_cast<std::uint32_t>(errno);
    int error = copy_attributes(old_fd, fd);
    return error == 0 ? ERROR_CODE_SUCCESS : HIVE_ATTRIBUTES_NOT_KEPT | static_cast<std::uint32_t>(error);
}

// Writes the hive to a new file beside the real file, with the real file's
// mode, owner, group and extended attributes, and renames it over the real
// file. Neither an interrupt nor a hang-up stops it halfway, which could
// leave the new file behind.
std::uint32_t commit(PosixHive* hive, const unsigned char* bytes, std::size_t size) {
    const std::string& path = hive->real_path;
    std::string folder = folder_of(path);
    int old_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat old_status {};
    if (old_fd < 0 || fstat(old_fd, &old_status) != 0) {
        int error = errno;
        if (old_fd >= 0) close(old_fd);
        return errno_code(error);
    }
    if (old_status.st_nlink > 1) {
        close(old_fd);
        return HIVE_OTHER_NAMES;
    }
    // An unnamed file (O_TMPFILE) leaves nothing behind even if the process
    // dies while writing, and gets a name only just before the rename; where
    // the file system has none, a named file is removed on any failure.
    std::string temporary = path + ".bootmove-XXXXXX";
    int fd = access("/proc/self/fd", X_OK) == 0 ? open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600) : -1;
    bool unnamed = fd >= 0;
    if (!unnamed) fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        close(old_fd);
        return HIVE_NOT_WRITTEN | static_cast<std::uint32_t>(error);
    }
    std::uint32_t status = write_at(fd, 0, bytes, size) ? keep_metadata(old_fd, fd, old_status)
                                                        : HIVE_NOT_WRITTEN | static_cast<std::uint32_t>(errno);
    close(old_fd);
    if (status == ERROR_CODE_SUCCESS && fsync(fd) != 0) status = HIVE_NOT_WRITTEN | static_cast<std::uint32_t>(errno);
    bool named = !unnamed;
    std::string written = unnamed ? "/proc/self/fd/" + std::to_string(fd) : temporary;
    for (int attempt = 0; status == ERROR_CODE_SUCCESS && !named && attempt < 100; ++attempt) {
        temporary = path + ".bootmove-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
        named = linkat(AT_FDCWD, written.c_str(), AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0;
        if (!named && errno != EEXIST) status = HIVE_NOT_WRITTEN | static_cast<std::uint32_t>(errno);
    }
    if (status == ERROR_CODE_SUCCESS && rename(temporary.c_str(), path.c_str()) != 0) {
        status = HIVE_NOT_WRITTEN | static_cast<std::uint32_t>(errno);
    }
    if (status != ERROR_CODE_SUCCESS && named) unlink(temporary.c_str());
    close(fd);
    if (status == (HIVE_NOT_WRITTEN | ENOMEM)) return ERROR_CODE_NOT_ENOUGH_MEMORY;
    if (status != ERROR_CODE_SUCCESS) return status;
    int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
    return ERROR_CODE_SUCCESS;
}

std::uint32_t replace_file(void* context, const unsigned char* bytes, std::size_t size) {
    sigset_t blocked;
    sigset_t before;
    sigemptyset(&blocked);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&blocked, signal_number);
    sigprocmask(SIG_BLOCK, &blocked, &before);
    std::uint32_t code = commit(static_cast<PosixHive*>(context), bytes, size);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    return code;
}

void close_file(void* context) {
    PosixHive* hive = static_cast<PosixHive*>(context);
    if (hive->fd >= 0) close(hive->fd);
    unlock_file(hive);
    delete hive;
}

}  // namespace

std::uint32_t open_posix_hive(const std::string& path, const char* sibling, bool write, HiveFileCalls* calls) {
    PosixHive* hive = new PosixHive;
    hive->path = path;
    *calls = HiveFileCalls{hive,      file_length, read_file,    read_log,  unchanged,
                           lock_file, unlock_file, replace_file, close_file};
    std::string name = path;
    // A link is followed once: its target is what /c replaces and where the
    // logs and the SOFTWARE hive beside it are.
    if (char* real = realpath(path.c_str(), nullptr)) {
        hive->real_path = real;
        std::free(real);
    } else if (sibling != nullptr) {
        // A pipe has no folder, and so nothing beside it.
        return ERROR_CODE_FILE_NOT_FOUND;
    } else if (write) {
        // A pipe's name (/dev/stdin, /dev/fd/63) leads nowhere a file is.
        int error = errno;
        struct stat status {};
        return stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode) ? HIVE_NOT_REGULAR : errno_code(error);
    }
    if (sibling != nullptr) {
        std::vector<std::string> found = spellings(folder_of(hive->real_path), sibling);
        if (found.empty()) return ERROR_CODE_FILE_NOT_FOUND;
        hive->real_path = name = folder_of(hive->real_path) + "/" + found[0];
    }
    if (write) {
        std::uint32_t status = check_writable(hive->real_path);
        if (status != ERROR_CODE_SUCCESS) return status;
        name = hive->real_path;
    }
    // Listing reads FILE as named, so that a pipe or /dev/stdin serves too.
    return open_file(hive, name);
}
