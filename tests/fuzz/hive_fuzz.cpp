// Reads arbitrary bytes as a hive file, with or without transaction logs
// beside it, through what /l reads (Select\Current, the control set's
// Session Manager, both values and the names of its values) and through
// what /c does before and while it writes (the lock, which reads it again,
// the check of the whole hive, the value written), and checks that nothing
// is read outside the bytes given (AddressSanitizer) and that a hive
// written is one the reader reads back with the value written.
//
// The input: one byte of choices, two 16-bit lengths of .LOG1 and .LOG2,
// the logs' bytes, then the hive's.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/hive_file.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct MemoryFile {
    Bytes hive;
    Bytes logs[2];
    bool have_log[2];
    Bytes written;
};

MemoryFile* file_of(void* context) { return static_cast<MemoryFile*>(context); }

std::uint64_t length(void* context) { return file_of(context)->hive.size(); }

std::uint32_t read(void* context, std::uint64_t offset, unsigned char* out, std::size_t count, std::size_t* got) {
    const Bytes& hive = file_of(context)->hive;
    *got = offset >= hive.size() ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(count, hive.size() - offset));
    if (*got > 0) std::memcpy(out, hive.data() + offset, *got);
    return 0;
}

std::uint32_t read_log(void* context, int which, const unsigned char** bytes, std::size_t* size, std::u16string* name) {
    *name = which == 0 ? u"F.LOG1" : u"F.LOG2";
    if (!file_of(context)->have_log[which]) return ERROR_CODE_FILE_NOT_FOUND;
    *bytes = file_of(context)->logs[which].data();
    *size = file_of(context)->logs[which].size();
    return 0;
}

bool unchanged(void*) { return true; }
std::uint32_t lock(void*) { return 0; }
void unlock(void*) {}

std::uint32_t replace(void* context, const unsigned char* bytes, std::size_t size) {
    file_of(context)->written.assign(bytes, bytes + size);
    return 0;
}

void close(void*) {}

std::uint16_t half(const std::uint8_t* data) { return static_cast<std::uint16_t>(data[0] | data[1] << 8); }

// The listing's reads: the control set Select\Current names, its values.
void list(std::u16string* set_path) {
    RegistryKey select = 0;
    std::uint32_t type = 0;
    unsigned char current[4] = {};
    std::uint32_t size = sizeof current;
    if (hive_open_key(RegistryRoot::hive_file, u"Select", &select) == 0) {
        hive_query_value(select, u"Current", &type, current, &size);
    }
    *set_path = u"ControlSet00" + std::u16string(1, static_cast<char16_t>(u'0' + current[0] % 10)) +
                u"\\Control\\Session Manager";
    RegistryKey key = 0;
    if (hive_open_key(RegistryRoot::hive_file, set_path->c_str(), &key) != 0) return;
    for (const char16_t* name : {u"PendingFileRenameOperations", u"PendingFileRenameOperations2"}) {
        std::uint32_t needed = 0;
        if (hive_query_value(key, name, &type, nullptr, &needed) != 0) continue;
        Bytes data(needed + 1);
        size = needed;
        hive_query_value(key, name, &type, data.data(), &size);
    }
    char16_t value_name[300];
    for (std::uint32_t index = 0; index < 64; ++index) {
        std::uint32_t units = 300;
        if (hive_enum_value(key, index, value_name, &units) != 0) break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    std::uint8_t choices = data[0];
    std::size_t lengths[2] = {half(data + 1), half(data + 3)};
    data += 5;
    size -= 5;
    MemoryFile file{};
    for (int i = 0; i < 2; ++i) {
        std::size_t taken = lengths[i] < size ? lengths[i] : size;
        file.have_log[i] = (choices >> i & 1) != 0;
        file.logs[i].assign(data, data + taken);
        data += taken;
        size -= taken;
    }
    file.hive.assign(data, data + size);
    bool write = (choices & 4) != 0;
    HiveFileCalls calls{&file, length, read, read_log, unchanged, lock, unlock, replace, close};
    HiveLoad load{};
    std::u16string set_path;
    if (load_hive(RegistryRoot::hive_file, calls, write, &load) == 0) {
        list(&set_path);
        LockToken token = 0;
        RegistryKey key = 0;
        if (write && hive_lock(&token) == 0 && hive_open_key(RegistryRoot::hive_file, set_path.c_str(), &key) == 0) {
            // A value of any size from the choices, small, one cell or big.
            static const std::uint32_t SIZES[] = {0, 4, 300, 16344, 40000};
            Bytes value(SIZES[choices >> 3 & 3] + (choices >> 5), 0x41);
            if (hive_set_value(key, u"PendingFileRenameOperations", 7, value.data(),
                               static_cast<std::uint32_t>(value.size())) == 0) {
                // What was written reads back as written.
                std::uint32_t type = 0;
                Bytes back(value.size() + 1);
                std::uint32_t got = static_cast<std::uint32_t>(back.size());
                if (hive_query_value(key, u"PendingFileRenameOperations", &type, back.data(), &got) != 0 ||
                    got != value.size() || (got > 0 && std::memcmp(back.data(), value.data(), got) != 0)) {
                    std::abort();
                }
            }
            hive_unlock(token);
        }
    }
    release_hives();
    return 0;
}
