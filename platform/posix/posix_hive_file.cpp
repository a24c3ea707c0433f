#include "platform/posix/posix_hive_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "platform/posix/posix_text.h"
#include "platform/platform.h"

namespace {

// Larger than any SYSTEM hive or log Windows writes; a header that says
// more is damage, not a hive to allocate memory for.
constexpr std::size_t LARGEST_FILE = std::size_t(1) << 31;

// Puts the memory of `size` bytes at `start` in place at once
// (MADV_POPULATE_WRITE, Linux 5.14): a page fault for each 4 KiB costs more
// than the copy into it.
void populate(unsigned char* start, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
    constexpr std::uintptr_t PAGE = 4096;
    std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(start) + PAGE - 1) & ~(PAGE - 1);
    std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(start) + size) & ~(PAGE - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
    (void)start;
    (void)size;
#endif
}

// Room for `size` bytes, put in place at once.
void reserve(std::vector<unsigned char>* bytes, std::size_t size) {
    if (size <= bytes->capacity()) return;
    bytes->reserve(size);
    populate(bytes->data(), size);
}

// Appends what `fd` gives, up to `limit` bytes in all. The vector grows as
// data comes, so that a size claimed by a header costs nothing until the
// file holds it; a regular file's own size is room enough from the start.
// Gives 0 or errno.
int read_up_to(int fd, std::size_t limit, std::vector<unsigned char>* bytes) {
    struct stat status {};
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        std::size_t size = static_cast<std::size_t>(status.st_size);
        if (size < limit) limit = size;
        reserve(bytes, limit);
    }
    // Through a small buffer that stays in the cache: cheaper than zeroing
    // the vector's room before each read.
    static unsigned char chunk[1 << 18];
    while (bytes->size() < limit) {
        std::size_t room = limit - bytes->size() < sizeof chunk ? limit - bytes->size() : sizeof chunk;
        ssize_t got = read(fd, chunk, room);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno;
        if (got == 0) break;
        bytes->insert(bytes->end(), chunk, chunk + got);
    }
    return 0;
}

std::string folder_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// A log's bytes, copied whole by the kernel into memory of this process's
// own (a file in memory, mapped: cheaper than reading them through a
// buffer), or read into a buffer where there is no such file.
struct LogBytes {
    const unsigned char* bytes = nullptr;
    std::size_t size = 0;
    void* mapping = nullptr;
    std::unique_ptr<unsigned char[]> buffer;
    ~LogBytes() {
        if (mapping != nullptr) munmap(mapping, size);
    }
};

// Copies `size` bytes of `fd` into a file in memory and maps it.
bool map_copy(int fd, std::size_t size, LogBytes* log) {
    int copy = memfd_create("bootmove-log", MFD_CLOEXEC);
    std::size_t done = 0;
    while (copy >= 0 && done < size) {
        ssize_t got = sendfile(copy, fd, nullptr, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    void* mapping = done == size ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, copy, 0) : MAP_FAILED;
    if (copy >= 0) close(copy);
    if (mapping == MAP_FAILED) return false;
    log->mapping = mapping;
    log->bytes = static_cast<const unsigned char*>(mapping);
    log->size = size;
    return true;
}

// FILE.LOG1 or FILE.LOG2 beside the real file, its whole name compared
// without regard to case, as Windows' file system finds it; the name in
// FILE's own case first. Empty when there is none or it cannot be read.
void read_log(const std::string& real_path, const char* suffix, LogBytes* log) {
    std::string folder = folder_of(real_path);
    std::size_t slash = real_path.rfind('/');
    std::string wanted = (slash == std::string::npos ? real_path : real_path.substr(slash + 1)) + suffix;
    std::string found;
    if (DIR* directory = opendir(folder.c_str())) {
        while (dirent* entry = readdir(directory)) {
            if (strcasecmp(entry->d_name, wanted.c_str()) != 0) continue;
            if (found.empty() || wanted == entry->d_name) found = entry->d_name;
        }
        closedir(directory);
    }
    int fd = found.empty() ? -1 : open((folder + "/" + found).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat status {};
    if (fd < 0) return;
    std::size_t size =
        fstat(fd, &status) == 0 && S_ISREG(status.st_mode) ? static_cast<std::size_t>(status.st_size) : 0;
    if (size > LARGEST_FILE) size = 0;
    if (size > 0 && !map_copy(fd, size, log) && lseek(fd, 0, SEEK_SET) == 0) {
        log->buffer.reset(new (std::nothrow) unsigned char[size]);
        log->bytes = log->buffer.get();
        while (log->bytes != nullptr && log->size < size) {
            ssize_t got = read(fd, log->buffer.get() + log->size, size - log->size);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            log->size += static_cast<std::size_t>(got);
        }
    }
    // A log that changed while it was read is no log to trust.
    if (log->size != size) log->bytes = nullptr;
    close(fd);
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

std::uint32_t check_base_block(const std::vector<unsigned char>& bytes) {
    if (bytes.size() < 4 || std::memcmp(bytes.data(), "regf", 4) != 0) return HIVE_NOT_A_HIVE;
    if (bytes.size() < HIVE_BASE_BLOCK) return HIVE_TRUNCATED;
    if (base_block_checksum(bytes.data()) != hive_word(bytes.data(), HIVE_CHECKSUM)) return HIVE_BAD_CHECKSUM;
    return ERROR_CODE_SUCCESS;
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

// The image's own file: one in memory, reached by hivex through /proc;
// where there is none, a file in the folder for temporary files.
bool make_image_file(HiveImage* image) {
    image->fd = access("/proc/self/fd", X_OK) == 0 ? memfd_create("bootmove-hive", MFD_CLOEXEC) : -1;
    if (image->fd >= 0) {
        image->name = "/proc/self/fd/" + std::to_string(image->fd);
        return true;
    }
    const char* folder = std::getenv("TMPDIR");
    image->name = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/bootmove-hive-XXXXXX";
    image->fd = mkostemp(&image->name[0], O_CLOEXEC);
    if (image->fd < 0) image->name.clear();
    return image->fd >= 0;
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

// Copies what `from` gives, up to `limit` bytes, to the image's end: in the
// kernel where it can (a regular file), else through a buffer (a pipe).
int copy_into(int from, std::size_t limit, HiveImage* image) {
    if (lseek(image->fd, static_cast<off_t>(image->size), SEEK_SET) < 0) return errno;
    bool kernel = true;
    static unsigned char chunk[1 << 16];
    while (image->size < limit) {
        std::size_t room = limit - image->size;
        ssize_t got = kernel ? sendfile(image->fd, from, nullptr, room)
                             : read(from, chunk, room < sizeof chunk ? room : sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && kernel && (errno == EINVAL || errno == ENOSYS) && image->size == HIVE_BASE_BLOCK) {
            kernel = false;
            continue;
        }
        if (got < 0) return errno;
        if (got == 0) break;
        if (!kernel && !write_at(image->fd, image->size, chunk, static_cast<std::size_t>(got))) return errno;
        image->size += static_cast<std::size_t>(got);
    }
    return 0;
}

// The recovery writes into the image's file, pages that follow each other
// both in the log and in the hive as one write.
struct FileTarget {
    HiveImage* image;
    int error;
    std::size_t offset;  // the run of bytes not yet written
    const unsigned char* bytes;
    std::size_t length;
};

bool flush_run(FileTarget* target) {
    bool written = target->length == 0 || write_at(target->image->fd, target->offset, target->bytes, target->length);
    if (!written) target->error = errno;
    target->length = 0;
    return written;
}

bool resize_file(void* context, std::size_t size) {
    FileTarget* target = static_cast<FileTarget*>(context);
    if (!flush_run(target)) return false;
    if (ftruncate(target->image->fd, static_cast<off_t>(size)) != 0) {
        target->error = errno;
        return false;
    }
    target->image->size = size;
    return true;
}

bool write_file(void* context, std::size_t offset, const unsigned char* bytes, std::size_t length) {
    FileTarget* target = static_cast<FileTarget*>(context);
    if (target->length > 0 && offset == target->offset + target->length && bytes == target->bytes + target->length) {
        target->length += length;
        return true;
    }
    if (!flush_run(target)) return false;
    *target = FileTarget{target->image, 0, offset, bytes, length};
    return true;
}

}  // namespace

std::uint32_t read_hive_file(const std::string& path, bool write, HiveImage* image) {
    release_hive_image(image);
    image->path = path;
    // A link is followed once: its target is what /c replaces and where the
    // logs are.
    if (char* real = realpath(path.c_str(), nullptr)) {
        image->real_path = real;
        std::free(real);
    } else if (write) {
        // A pipe's name (/dev/stdin, /dev/fd/63) leads nowhere a file is.
        int error = errno;
        struct stat status {};
        return stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode) ? HIVE_NOT_REGULAR : errno_code(error);
    }
    if (write) {
        std::uint32_t status = check_writable(image->real_path);
        if (status != ERROR_CODE_SUCCESS) return status;
    }
    // Listing reads FILE as named, so that a pipe or /dev/stdin serves too.
    int fd = open(write ? image->real_path.c_str() : path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno_code(errno);
    struct stat status {};
    std::vector<unsigned char> base;
    int error = fstat(fd, &status) != 0 ? errno : S_ISDIR(status.st_mode) ? EISDIR : 0;
    if (error == 0) error = read_up_to(fd, HIVE_BASE_BLOCK, &base);
    std::uint32_t checked = error == 0 ? check_base_block(base) : ERROR_CODE_SUCCESS;
    // No more than the hive: a file longer than its header says (a sparse
    // giant, a disk's slack) is read no further.
    std::size_t declared =
        checked == ERROR_CODE_SUCCESS && error == 0 ? HIVE_BASE_BLOCK + hive_word(base.data(), HIVE_BINS_SIZE) : 0;
    if (declared > LARGEST_FILE) checked = HIVE_CORRUPT;
    if (error == 0 && checked == ERROR_CODE_SUCCESS) {
        if (!make_image_file(image) || !write_at(image->fd, 0, base.data(), HIVE_BASE_BLOCK)) {
            error = errno;
        } else {
            image->size = HIVE_BASE_BLOCK;
            error = copy_into(fd, declared, image);
        }
    }
    close(fd);
    if (error != 0) return errno_code(error);
    if (checked != ERROR_CODE_SUCCESS) return checked;

    bool dirty = hive_word(base.data(), HIVE_SEQUENCE_1) != hive_word(base.data(), HIVE_SEQUENCE_2);
    // The logs matter to a dirty hive, and to /c, whose sequence numbers
    // must pass every number in them.
    LogBytes log1;
    LogBytes log2;
    if ((dirty || write) && !image->real_path.empty()) {
        read_log(image->real_path, ".LOG1", &log1);
        read_log(image->real_path, ".LOG2", &log2);
    }
    const HiveLog logs[2] = {{log1.bytes, log1.bytes != nullptr ? log1.size : 0},
                             {log2.bytes, log2.bytes != nullptr ? log2.size : 0}};
    FileTarget target{image, 0, 0, nullptr, 0};
    bool failed = false;
    image->recovery = recover_hive(base.data(), HiveTarget{&target, resize_file, write_file}, logs, &failed);
    if (failed || !flush_run(&target)) return errno_code(target.error);
    if (image->size < HIVE_BASE_BLOCK + hive_word(base.data(), HIVE_BINS_SIZE)) return HIVE_CUT_SHORT;
    return ERROR_CODE_SUCCESS;
}

std::uint32_t image_bytes(const HiveImage& image, std::size_t room, std::vector<unsigned char>* bytes) {
    bytes->clear();
    reserve(bytes, image.size + room);
    if (lseek(image.fd, 0, SEEK_SET) < 0) return errno_code(errno);
    int error = read_up_to(image.fd, image.size, bytes);
    if (error == 0 && bytes->size() != image.size) error = EIO;
    return error == 0 ? ERROR_CODE_SUCCESS : errno_code(error);
}

void release_hive_image(HiveImage* image) {
    if (image->fd >= 0) close(image->fd);
    if (!image->name.empty() && image->name.compare(0, 14, "/proc/self/fd/") != 0) unlink(image->name.c_str());
    *image = HiveImage{};
}

std::uint32_t write_hive_file(HiveImage* image, std::vector<unsigned char>* bytes) {
    unsigned char* base = bytes->data();
    std::uint32_t sequence = image->recovery.highest_sequence + 1;
    put_hive_word(base, HIVE_SEQUENCE_1, sequence);
    put_hive_word(base, HIVE_SEQUENCE_2, sequence);
    put_hive_word(base, HIVE_CHECKSUM, base_block_checksum(base));
    // What is read from now on; if the file cannot be written, the command
    // ends with that failure.
    if (!write_at(image->fd, 0, bytes->data(), bytes->size()) ||
        ftruncate(image->fd, static_cast<off_t>(bytes->size())) != 0) {
        return errno_code(errno);
    }
    image->size = bytes->size();

    const std::string& path = image->real_path;
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
    std::uint32_t status = write_at(fd, 0, bytes->data(), bytes->size())
                               ? keep_metadata(old_fd, fd, old_status)
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
