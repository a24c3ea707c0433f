// A hive file opened by the Windows program (/hive FILE), as
// platform/hive_file.h reads it: read in place through a handle that other
// readers may share, its logs beside the file it leads to, and replaced
// whole by ReplaceFileW for a change, which keeps the file's security
// descriptor, attributes and alternate data streams.
#include "platform/win32/win32_hive_file.h"

#include <windows.h>

#include <vector>

#include "hive/hive_format.h"

namespace {

// A log larger than the largest hive and its page headers is none Windows
// wrote, and is not read into memory.
constexpr std::uint64_t LARGEST_LOG = HIVE_BASE_BLOCK + std::uint64_t{MAX_HIVE_BINS} + (std::uint64_t(1) << 24);
constexpr int LOG_READS = 3;

struct Win32Hive {
    std::u16string path;    // as given
    std::u16string folder;  // of the file it leads to, with a backslash at its end
    std::u16string name;    // of that file
    HANDLE file = INVALID_HANDLE_VALUE;
    bool write = false;
    BY_HANDLE_FILE_INFORMATION opened{};
    std::vector<unsigned char> logs[2];
};

LPCWSTR wide(const std::u16string& text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }

std::uint64_t size_of(const BY_HANDLE_FILE_INFORMATION& information) {
    return std::uint64_t{information.nFileSizeHigh} << 32 | information.nFileSizeLow;
}

bool same_file(const BY_HANDLE_FILE_INFORMATION& left, const BY_HANDLE_FILE_INFORMATION& right) {
    return size_of(left) == size_of(right) && CompareFileTime(&left.ftLastWriteTime, &right.ftLastWriteTime) == 0 &&
           left.nFileIndexLow == right.nFileIndexLow && left.nFileIndexHigh == right.nFileIndexHigh;
}

std::uint32_t read_at(HANDLE file, std::uint64_t offset, unsigned char* out, std::size_t length, std::size_t* got) {
    *got = 0;
    while (*got < length) {
        OVERLAPPED at{};
        std::uint64_t where = offset + *got;
        at.Offset = static_cast<DWORD>(where);
        at.OffsetHigh = static_cast<DWORD>(where >> 32);
        std::size_t left = length - *got;
        DWORD read = 0;
        if (!ReadFile(file, out + *got, left < 0x10000000 ? static_cast<DWORD>(left) : 0x10000000, &read, &at)) {
            DWORD code = GetLastError();
            return code == ERROR_HANDLE_EOF ? ERROR_SUCCESS : code;
        }
        if (read == 0) break;
        *got += read;
    }
    return ERROR_SUCCESS;
}

std::uint64_t file_length(void* context) { return size_of(static_cast<Win32Hive*>(context)->opened); }

std::uint32_t read_file(void* context, std::uint64_t offset, unsigned char* out, std::size_t length, std::size_t* got) {
    return read_at(static_cast<Win32Hive*>(context)->file, offset, out, length, got);
}

// FILE.LOG1 or FILE.LOG2 beside the file, read whole; the file system
// finds its name in any case. One that is there and cannot be read is
// refused with its reason, never taken for a missing log.
std::uint32_t read_log(void* context, int which, const unsigned char** data, std::size_t* size, std::u16string* name) {
    Win32Hive* hive = static_cast<Win32Hive*>(context);
    std::vector<unsigned char>* bytes = &hive->logs[which];
    bytes->clear();
    *name = hive->folder + hive->name + (which == 0 ? u".LOG1" : u".LOG2");
    HANDLE log = CreateFileW(wide(*name), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (log == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return ERROR_CODE_FILE_NOT_FOUND;
        // A folder under the log's name, which CreateFileW does not open.
        DWORD attributes = GetFileAttributesW(wide(*name));
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? HIVE_FOLDER
                                                                                                     : code;
    }
    std::uint32_t code = HIVE_LOG_CHANGING;
    for (int attempt = 0; attempt < LOG_READS && code == HIVE_LOG_CHANGING; ++attempt) {
        BY_HANDLE_FILE_INFORMATION before{};
        BY_HANDLE_FILE_INFORMATION after{};
        std::size_t got = 0;
        if (GetFileType(log) != FILE_TYPE_DISK) {
            code = HIVE_NOT_A_FILE;
        } else if (!GetFileInformationByHandle(log, &before)) {
            code = GetLastError();
        } else if (size_of(before) > LARGEST_LOG) {
            code = HIVE_LOG_TOO_LARGE;
        } else {
            bytes->resize(static_cast<std::size_t>(size_of(before)));
            code = read_at(log, 0, bytes->data(), bytes->size(), &got);
            if (code == ERROR_SUCCESS && !GetFileInformationByHandle(log, &after)) code = GetLastError();
            if (code == ERROR_SUCCESS && (got != bytes->size() || !same_file(before, after))) code = HIVE_LOG_CHANGING;
        }
    }
    CloseHandle(log);
    if (code != ERROR_SUCCESS) bytes->clear();
    *data = bytes->data();
    *size = bytes->size();
    return code;
}

bool unchanged(void* context) {
    Win32Hive* hive = static_cast<Win32Hive*>(context);
    BY_HANDLE_FILE_INFORMATION now{};
    return GetFileInformationByHandle(hive->file, &now) && same_file(now, hive->opened);
}

// The handle opened for a change lets no other program write the file
// while it is held: that is the lock.
std::uint32_t lock_file(void*) { return ERROR_SUCCESS; }
void unlock_file(void*) {}

// A new file in the same folder, flushed, then put in FILE's place in one
// step; FILE keeps its security descriptor, attributes and streams.
std::uint32_t replace_file(void* context, const unsigned char* bytes, std::size_t size) {
    Win32Hive* hive = static_cast<Win32Hive*>(context);
    std::u16string target = hive->folder + hive->name;
    std::u16string temporary;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; file == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
        wchar_t suffix[40];
        wsprintfW(suffix, L".bootmove-%lu-%u", GetCurrentProcessId(), attempt);
        temporary = target + reinterpret_cast<const char16_t*>(suffix);
        file = CreateFileW(wide(temporary), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return GetLastError();
    }
    if (file == INVALID_HANDLE_VALUE) return ERROR_FILE_EXISTS;
    DWORD code = ERROR_SUCCESS;
    for (std::size_t done = 0; done < size && code == ERROR_SUCCESS;) {
        DWORD written = 0;
        std::size_t left = size - done;
        if (!WriteFile(file, bytes + done, left < 0x10000000 ? static_cast<DWORD>(left) : 0x10000000, &written,
                       nullptr) ||
            written == 0) {
            code = GetLastError();
        }
        done += written;
    }
    if (code == ERROR_SUCCESS && !FlushFileBuffers(file)) code = GetLastError();
    CloseHandle(file);
    // The handle that kept other writers out is let go only now.
    CloseHandle(hive->file);
    hive->file = INVALID_HANDLE_VALUE;
    if (code == ERROR_SUCCESS &&
        !ReplaceFileW(wide(target), wide(temporary), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
        code = GetLastError();
    }
    if (code != ERROR_SUCCESS) DeleteFileW(wide(temporary));
    return code;
}

void close_file(void* context) {
    Win32Hive* hive = static_cast<Win32Hive*>(context);
    if (hive->file != INVALID_HANDLE_VALUE) CloseHandle(hive->file);
    delete hive;
}

// The folder of the file a handle leads to, links followed; the name as
// given where Windows cannot tell.
void locate(Win32Hive* hive) {
    std::u16string where = hive->path;
    wchar_t final_path[1024];
    DWORD length = GetFinalPathNameByHandleW(hive->file, final_path, 1024, FILE_NAME_NORMALIZED);
    if (length > 0 && length < 1024) where = reinterpret_cast<const char16_t*>(final_path);
    std::size_t slash = where.find_last_of(u"\\/");
    hive->folder = slash == std::u16string::npos ? u"" : where.substr(0, slash + 1);
    hive->name = slash == std::u16string::npos ? where : where.substr(slash + 1);
}

}  // namespace

std::uint32_t open_win32_hive(const char16_t* file, const char16_t* sibling, bool write, HiveFileCalls* calls) {
    Win32Hive* hive = new Win32Hive;
    hive->write = write;
    hive->path = file;
    *calls = HiveFileCalls{hive,      file_length, read_file,    read_log,  unchanged,
                           lock_file, unlock_file, replace_file, close_file};
    if (sibling != nullptr) {
        std::size_t slash = hive->path.find_last_of(u"\\/");
        hive->path = (slash == std::u16string::npos ? u"" : hive->path.substr(0, slash + 1)) + sibling;
    }
    DWORD attributes = GetFileAttributesW(wide(hive->path));
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return HIVE_FOLDER;
    if (write && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return ERROR_ACCESS_DENIED;
    }
    // To list, other readers may share the file, and nothing is written; to
    // change, no other program may have it open for writing, nor open it so
    // while it is held.
    hive->file = CreateFileW(wide(hive->path), write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hive->file == INVALID_HANDLE_VALUE) return GetLastError();
    if (GetFileType(hive->file) != FILE_TYPE_DISK) return HIVE_NOT_A_FILE;
    if (!GetFileInformationByHandle(hive->file, &hive->opened)) return GetLastError();
    locate(hive);
    return ERROR_SUCCESS;
}
