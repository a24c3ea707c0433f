#include "platform/hive/hive_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/hive/posix_text.h"
#include "platform/platform.h"

namespace {

// Larger than any SYSTEM hive or log Windows writes; a header that says
// more is damage, not a hive to allocate memory for.
constexpr std::size_t LARGEST_FILE = std::size_t(1) << 31;

// Appends what `fd` gives, up to `limit` bytes in all. The buffer grows as
// data comes, so that a size claimed by a header costs nothing until the
// file holds it; a regular file's own size is room enough from the start.
// Gives 0 or errno.
int read_up_to(int fd, std::size_t limit, std::vector<unsigned char>* bytes) {
    struct stat status {};
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        std::size_t size = static_cast<std::size_t>(status.st_size);
        if (size < limit) limit = size;
        if (limit > bytes->size()) bytes->reserve(limit);
    }
    while (bytes->size() < limit) {
        std::size_t have = bytes->size();
        std::size_t room = have < 65536 ? 65536 : have;
        if (room > limit - have) room = limit - have;
        bytes->resize(have + room);
        ssize_t got = read(fd, bytes->data() + have, room);
        int error = errno;
        bytes->resize(have + static_cast<std::size_t>(got > 0 ? got : 0));
        if (got < 0 && error == EINTR) continue;
        if (got < 0) return error;
        if (got == 0) break;
    }
    return 0;
}

std::string folder_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// FILE.LOG1 or FILE.LOG2 beside the real file, its whole name compared
// without regard to case, as Windows' file system finds it; the name in
// FILE's own case first. Empty when there is none or it cannot be read.
void read_log(const std::string& real_path, const char* suffix, std::vector<unsigned char>* log) {
    log->clear();
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
    if (found.empty()) return;
    int fd = open((folder + "/" + found).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat status {};
    if (fd < 0) return;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || read_up_to(fd, LARGEST_FILE, log) != 0) log->clear();
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

bool write_all(int fd, const unsigned char* bytes, std::size_t count) {
    while (count > 0) {
        ssize_t written = write(fd, bytes, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = EIO;
            return false;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
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

}  // namespace

std::uint32_t read_hive_file(const std::string& path, bool write, HiveImage* image) {
    image->path = path;
    image->real_path.clear();
    image->bytes.clear();
    image->recovery = HiveRecovery{HiveState::clean, 0, 0};
    // A link is followed once: its target is what /c replaces and where the
    // logs are.
    if (char* real = realpath(path.c_str(), nullptr)) {
        image->real_path = real;
        std::free(real);
    } else if (write) {
        return errno_code(errno);
    }
    if (write) {
        std::uint32_t status = check_writable(image->real_path);
        if (status != ERROR_CODE_SUCCESS) return status;
    }
    // Listing reads FILE as named, so that a pipe or /dev/stdin serves too.
    int fd = open(write ? image->real_path.c_str() : path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno_code(errno);
    struct stat status {};
    int error = fstat(fd, &status) != 0 ? errno : S_ISDIR(status.st_mode) ? EISDIR : 0;
    if (error == 0) error = read_up_to(fd, HIVE_BASE_BLOCK, &image->bytes);
    std::uint32_t checked = error == 0 ? check_base_block(image->bytes) : ERROR_CODE_SUCCESS;
    // No more than the hive: a file longer than its header says (a sparse
    // giant, a disk's slack) is read no further.
    std::size_t declared = checked == ERROR_CODE_SUCCESS && error == 0
                               ? HIVE_BASE_BLOCK + hive_word(image->bytes.data(), HIVE_BINS_SIZE)
                               : 0;
    if (declared > LARGEST_FILE) checked = HIVE_CORRUPT;
    if (error == 0 && checked == ERROR_CODE_SUCCESS) error = read_up_to(fd, declared, &image->bytes);
    close(fd);
    if (error != 0) return errno_code(error);
    if (checked != ERROR_CODE_SUCCESS) return checked;

    const unsigned char* base = image->bytes.data();
    bool dirty = hive_word(base, HIVE_SEQUENCE_1) != hive_word(base, HIVE_SEQUENCE_2);
    // The logs matter to a dirty hive, and to /c, whose sequence numbers
    // must pass every number in them.
    std::vector<unsigned char> log1;
    std::vector<unsigned char> log2;
    if ((dirty || write) && !image->real_path.empty()) {
        read_log(image->real_path, ".LOG1", &log1);
        read_log(image->real_path, ".LOG2", &log2);
    }
    const std::vector<unsigned char>* logs[2] = {&log1, &log2};
    image->recovery = recover_hive(&image->bytes, logs);
    if (image->bytes.size() < HIVE_BASE_BLOCK + hive_word(image->bytes.data(), HIVE_BINS_SIZE)) return HIVE_CUT_SHORT;
    return ERROR_CODE_SUCCESS;
}

std::uint32_t write_hive_file(HiveImage* image) {
    unsigned char* base = image->bytes.data();
    std::uint32_t sequence = image->recovery.highest_sequence + 1;
    put_hive_word(base, HIVE_SEQUENCE_1, sequence);
    put_hive_word(base, HIVE_SEQUENCE_2, sequence);
    put_hive_word(base, HIVE_CHECKSUM, base_block_checksum(base));

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
    std::uint32_t status = write_all(fd, image->bytes.data(), image->bytes.size())
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
