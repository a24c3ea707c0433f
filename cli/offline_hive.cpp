#include "cli/offline_hive.h"

#include <cstring>

#include "pending/json_listing.h"

namespace {

struct RootWord {
    const char16_t* word;  // with the backslash after it
    RegistryRoot root;
};

const RootWord ROOT_WORDS[] = {
    {u"HKLM\\", RegistryRoot::local_machine},
    {u"HKEY_LOCAL_MACHINE\\", RegistryRoot::local_machine},
    {u"HKU\\", RegistryRoot::users},
    {u"HKEY_USERS\\", RegistryRoot::users},
};

const char NO_HIVE_TEXT[] = "no SYSTEM hive is loaded at ";
const char NO_HIVE_IN_FILE_TEXT[] = " holds no SYSTEM hive: it has no Select\\Current from 1 to 999";
const char UNCLEAN_TEXT[] =
    ": the hive was not closed cleanly (its header's sequence numbers differ) and no entry of its transaction logs "
    "(.LOG1, .LOG2) applies, so changes may be missing; changing the file could corrupt the hive, so nothing was "
    "changed";
const char UNCLEAN_WARNING[] =
    "warning: the hive was not closed cleanly (its header's sequence numbers differ) and no entry of its "
    "transaction logs (.LOG1, .LOG2) applies: changes may be missing from this listing\n";
const char LOG_PROBLEM_TEXT[] = "; changing the file could lose the changes that wait there, so nothing was changed\n";
const char LOG_PROBLEM_WARNING[] =
    ", so no entry of the transaction logs was applied: this listing is what the file itself holds, and changes may "
    "be missing from it\n";

const char16_t SELECT[] = u"\\Select";
const char16_t CONTROL_SET[] = u"\\ControlSet";
const char16_t SESSION_MANAGER[] = u"\\Control\\Session Manager";
// Units a path needs beyond NAME: the longest of what follows it.
constexpr std::size_t PATH_ROOM = sizeof CONTROL_SET / 2 + 3 + sizeof SESSION_MANAGER / 2;

char16_t* append(char16_t* at, const char16_t* text) {
    while (*text != u'\0') *at++ = *text++;
    *at = u'\0';
    return at;
}

// Compares `text` with `word` without regard to the case of A to Z.
bool starts_with(const char16_t* text, const char16_t* word) {
    std::size_t length = name_length(word);
    return name_length(text) >= length && names_match(text, length, word, length);
}

}  // namespace

bool names_registry_key(const char16_t* word) {
    for (const RootWord& root_word : ROOT_WORDS) {
        if (starts_with(word, root_word.word)) return true;
    }
    return false;
}

bool is_running_system_hive(const Platform& platform, const char16_t* key) {
    for (const RootWord& root_word : ROOT_WORDS) {
        if (root_word.root != RegistryRoot::local_machine || !starts_with(key, root_word.word)) continue;
        const char16_t* rest = key + name_length(root_word.word);
        std::size_t length = name_length(rest);
        while (length > 0 && rest[length - 1] == u'\\') --length;
        if (names_match(rest, length, u"SYSTEM", 6)) return true;
    }
    RegistryRoot root = RegistryRoot::local_machine;
    const char16_t* name = nullptr;
    if (!parse_hive_key(key, &root, &name)) return false;
    const RegistryAccess& registry = platform.registry;
    RegistryKey opened = 0;
    if (registry.open_key(registry.context, root, name, ACCESS_KEY_READ, &opened) != ERROR_CODE_SUCCESS) return false;
    static const char16_t RUNNING[] = u"\\REGISTRY\\MACHINE\\SYSTEM";
    char16_t kernel[ERROR_TEXT_CAPACITY] = {};
    bool running = registry.kernel_name(registry.context, opened, kernel, ERROR_TEXT_CAPACITY) == ERROR_CODE_SUCCESS &&
                   names_match(kernel, name_length(kernel), RUNNING, name_length(RUNNING));
    registry.close_key(registry.context, opened);
    return running;
}

bool parse_hive_key(const char16_t* key, RegistryRoot* root, const char16_t** name) {
    for (const RootWord& root_word : ROOT_WORDS) {
        std::size_t length = name_length(root_word.word);
        if (name_length(key) <= length || !names_match(key, length, root_word.word, length)) continue;
        // Levels of one unit or more: no empty one at either end or between.
        const char16_t* rest = key + length;
        std::size_t rest_length = name_length(rest);
        if (rest[0] == u'\\' || rest[rest_length - 1] == u'\\') return false;
        for (std::size_t i = 1; i < rest_length; ++i) {
            if (rest[i] == u'\\' && rest[i - 1] == u'\\') return false;
        }
        *root = root_word.root;
        *name = rest;
        return true;
    }
    return false;
}

HiveSearch find_hive_control_set(const Platform& platform, RegistryRoot root, const char16_t* name, OfflineHive* hive,
                                 std::uint32_t* code) {
    *hive = OfflineHive{{root, nullptr}, nullptr, {}};
    *code = ERROR_CODE_SUCCESS;
    std::size_t length = name_length(name);
    char16_t* path = static_cast<char16_t*>(platform.heap.allocate(platform.heap.context, (length + PATH_ROOM) * 2));
    if (path == nullptr) {
        *code = ERROR_CODE_NOT_ENOUGH_MEMORY;
        return HiveSearch::failed;
    }
    // The hive's own root has no name: its keys' paths then begin without
    // a backslash.
    char16_t* end = append(append(path, name), SELECT + (length == 0 ? 1 : 0));

    const RegistryAccess& registry = platform.registry;
    RegistryKey key = 0;
    std::uint32_t status = registry.open_key(registry.context, root, path, ACCESS_KEY_READ, &key);
    std::uint32_t type = 0;
    unsigned char data[4] = {};
    std::uint32_t size = sizeof data;
    if (status == ERROR_CODE_SUCCESS) {
        status = registry.query_value(registry.context, key, u"Current", &type, data, &size);
        registry.close_key(registry.context, key);
    }
    std::uint32_t current = std::uint32_t(data[0]) | std::uint32_t(data[1]) << 8 | std::uint32_t(data[2]) << 16 |
                            std::uint32_t(data[3]) << 24;
    bool control_set =
        status == ERROR_CODE_SUCCESS && type == VALUE_TYPE_DWORD && size == 4 && current >= 1 && current <= 999;
    if (!control_set) {
        platform.heap.release(platform.heap.context, path);
        bool absent =
            status == ERROR_CODE_SUCCESS || status == ERROR_CODE_FILE_NOT_FOUND || status == ERROR_CODE_MORE_DATA;
        *code = status;
        return absent ? HiveSearch::no_hive : HiveSearch::failed;
    }
    // NAME\ControlSetNNN, which must be there, then \Control\Session Manager.
    end = append(end - (sizeof SELECT / 2 - (length == 0 ? 2 : 1)), CONTROL_SET + (length == 0 ? 1 : 0));
    const char16_t digits[] = {static_cast<char16_t>(u'0' + current / 100),
                               static_cast<char16_t>(u'0' + current / 10 % 10),
                               static_cast<char16_t>(u'0' + current % 10), u'\0'};
    end = append(end, digits);
    std::memcpy(hive->control_set, "ControlSet", 10);
    for (int digit = 0; digit < 3; ++digit) hive->control_set[10 + digit] = static_cast<char>(digits[digit]);
    hive->control_set[13] = '\0';
    status = registry.open_key(registry.context, root, path, ACCESS_KEY_READ, &key);
    if (status != ERROR_CODE_SUCCESS) {
        platform.heap.release(platform.heap.context, path);
        *code = status;
        return status == ERROR_CODE_FILE_NOT_FOUND ? HiveSearch::no_control_set : HiveSearch::failed;
    }
    registry.close_key(registry.context, key);
    append(end, SESSION_MANAGER);
    hive->place = PendingPlace{root, path};
    hive->path = path;
    return HiveSearch::found;
}

void release_hive(const Platform& platform, OfflineHive* hive) {
    if (hive->path != nullptr) platform.heap.release(platform.heap.context, hive->path);
    *hive = OfflineHive{};
}

bool find_control_set_or_report(const Platform& platform, RegistryRoot root, const char16_t* name,
                                const char16_t* shown, ListFormat format, OfflineHive* hive) {
    std::uint32_t code = ERROR_CODE_SUCCESS;
    HiveSearch found = find_hive_control_set(platform, root, name, hive, &code);
    if (found == HiveSearch::failed) {
        report_list_failure(platform, format, code);
        return false;
    }
    if (found == HiveSearch::no_hive) {
        if (root != RegistryRoot::hive_file) {
            report_own_failure(platform, format, NO_HIVE_TEXT, shown, "");
        } else {
            report_own_failure(platform, format, "", shown, NO_HIVE_IN_FILE_TEXT);
        }
        return false;
    }
    if (found == HiveSearch::no_control_set) {
        char missing[80] = " has no ";
        std::strcat(missing, hive->control_set);
        std::strcat(missing, ", the control set its Select\\Current names");
        report_own_failure(platform, format, "the SYSTEM hive at ", shown, missing);
        return false;
    }
    return true;
}

bool open_hive_file_or_report(const Platform& platform, const char16_t* file, ListFormat format, bool write) {
    HiveLoad load{};
    std::uint32_t code = platform.registry.load_hive_file(platform.registry.context, RegistryRoot::hive_file, file,
                                                          nullptr, write, &load);
    bool unclean = load.unclean;
    if (code != ERROR_CODE_SUCCESS) {
        char cause[ERROR_TEXT_CAPACITY + 2] = ": ";
        std::strncat(cause, system_error_text(code), ERROR_TEXT_CAPACITY - 1);
        for (std::size_t end = std::strlen(cause); end > 0 && (cause[end - 1] == '\n' || cause[end - 1] == '\r');) {
            cause[--end] = '\0';
        }
        // The system's number for the failure, errno where there is one.
        if (format == ListFormat::json) {
            write_json_error(platform, system_error_number(code), "", file, name_length(file), cause);
        } else {
            report_own_failure(platform, format, "", file, cause);
        }
        return false;
    }
    // A log that is there and cannot be read may hold the newest changes.
    bool log_problem = load.log_problem[0] != u'\0';
    if (log_problem && write) {
        begin_errors(platform);
        print_text(platform, "error: ");
        print_name(platform, file);
        print_text(platform, ": ");
        print_name(platform, load.log_problem);
        print_text(platform, LOG_PROBLEM_TEXT);
        end_errors(platform);
        return false;
    }
    if (unclean && write) {
        report_own_failure(platform, format, "", file, UNCLEAN_TEXT);
        return false;
    }
    begin_warnings(platform);
    if (log_problem) {
        print_text(platform, "warning: ");
        print_name(platform, file);
        print_text(platform, ": ");
        print_name(platform, load.log_problem);
        print_text(platform, LOG_PROBLEM_WARNING);
    } else if (unclean) {
        print_text(platform, UNCLEAN_WARNING);
    }
    if (load.entries_applied > 0) {
        print_text(platform, "note: ");
        print_name(platform, file);
        print_text(platform, ": ");
        print_number(platform, load.entries_applied);
        print_text(platform, " entries of the transaction logs applied, as Windows does when it loads the hive\n");
    }
    end_warnings(platform);
    return true;
}
