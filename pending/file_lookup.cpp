#include "pending/file_lookup.h"

namespace {

// Codes by which the file system says that nothing is at a name: not found,
// no such folder, drive, share or network path, or no valid name at all.
const std::uint32_t NOTHING_THERE[] = {2, 3, 15, 53, 67, 123, 161, 206};
// Something is there, though it cannot be looked at (a paging file).
constexpr std::uint32_t ERROR_CODE_SHARING_VIOLATION = 32;

bool is_letter(char16_t unit) { return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z'); }

bool drive_name(const char16_t* name, std::uint32_t length) {
    return length >= 3 && is_letter(name[0]) && name[1] == u':' && name[2] == u'\\';
}

bool behind_nt_prefix(const char16_t* at, OperationCursor start) {
    return start >= 4 && at[-4] == u'\\' && at[-3] == u'?' && at[-2] == u'?' && at[-1] == u'\\';
}

}  // namespace

std::uint32_t look_up_name(const Platform& platform, PendingValue& value, StoredName name) {
    char16_t* at = value.units + name.start;
    bool prefixed = behind_nt_prefix(at, name.start);
    bool unc = name.length >= 2 && at[0] == u'\\' && at[1] == u'\\';
    if (!prefixed && !drive_name(at, name.length) && !unc) return NAME_NOT_LOOKED_UP;
    if (prefixed) {
        at -= 4;
        at[1] = u'\\';
    }
    std::uint32_t attributes = 0;
    std::uint32_t status = platform.files.file_attributes(platform.files.context, at, &attributes);
    if (prefixed) at[1] = u'?';
    return status;
}

const char* existence_text(std::uint32_t lookup) {
    if (lookup == ERROR_CODE_SUCCESS || lookup == ERROR_CODE_SHARING_VIOLATION) return "true";
    for (std::uint32_t code : NOTHING_THERE) {
        if (lookup == code) return "false";
    }
    return "null";
}

bool operation_is_stale(const Platform& platform, PendingValue& value, const Operation& operation) {
    const char16_t* name = value.units + operation.source.start;
    if (!drive_name(name, operation.source.length)) return false;
    // A drive that is not there now may be a volume not mounted or locked.
    const char16_t root[] = {name[0], u':', u'\\', u'\0'};
    std::uint32_t attributes = 0;
    if (platform.files.file_attributes(platform.files.context, root, &attributes) != ERROR_CODE_SUCCESS) return false;
    std::uint32_t lookup = look_up_name(platform, value, operation.source);
    return lookup == ERROR_CODE_FILE_NOT_FOUND || lookup == ERROR_CODE_PATH_NOT_FOUND;
}
