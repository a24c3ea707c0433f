#include "cli/why_restart.h"

#include <cstring>
#include <initializer_list>

#include "cli/offline_hive.h"
#include "pending/file_lookup.h"
#include "pending/json_listing.h"
#include "pending/pending_value.h"

namespace {

// Where one hive's reasons are read: keys under `path` (the hive's own root
// when it is empty) under `root`, opened with `access`.
struct ReasonPlace {
    RegistryRoot root;
    const char16_t* path;
    std::uint32_t access;
};

// Words of the tool's own around a name: `before`, `name`, `after`.
struct Phrase {
    const char* before;
    const char16_t* name;
    const char* after;
};

struct WhyPlaces {
    // A running system: its active computer name is compared, and its
    // stale file operations are counted.
    bool running;
    ReasonPlace system;
    ReasonPlace software;
    bool software_read;
    // When SOFTWARE is not read: why, or, when it could not be opened, the
    // system's code, which makes each of its reasons an error.
    Phrase software_unread;
    std::uint32_t software_code;
};

enum class Hive { system, software };

enum class Kind {
    operations,  // the pending file operations, in both values
    strings,     // a value whose first string is not empty
    key,         // a key that is there
    names,       // a key that is there, with the names of its values
    rename,      // a name that differs from another one, without regard to case
    number,      // a REG_DWORD that is not 0
    value,       // a value that is there
};

enum class When { always, running, offline };

struct ReasonCheck {
    const char* reason;
    Hive hive;
    Kind kind;
    When when;
    const char16_t* path;  // under the control set, or under SOFTWARE
    const char16_t* value;
    // A rename: where the name it is compared with is kept, and what the
    // text calls it.
    const char16_t* other_path;
    const char16_t* other_value;
    const char* note;  // a rename's name for the other; else what the text adds after the value
};

// One check for each place a reason is recorded. The 32-bit view of
// SOFTWARE is read where the 64-bit view keeps it, which is also where a
// SOFTWARE hive file has it; on 32-bit Windows there is none.
const ReasonCheck CHECKS[] = {
    {"file_operations", Hive::system, Kind::operations, When::always, u"Control\\Session Manager", nullptr, nullptr,
     nullptr, nullptr},
    {"setup_execute", Hive::system, Kind::strings, When::always, u"Control\\Session Manager", u"SetupExecute", nullptr,
     nullptr, nullptr},
    {"domain_join", Hive::system, Kind::key, When::always, u"Services\\Netlogon\\JoinDomain", nullptr, nullptr, nullptr,
     nullptr},
    {"domain_join", Hive::system, Kind::key, When::always, u"Services\\Netlogon\\AvoidSpnSet", nullptr, nullptr,
     nullptr, nullptr},
    {"computer_rename", Hive::system, Kind::rename, When::running, u"Control\\ComputerName\\ComputerName",
     u"ComputerName", u"Control\\ComputerName\\ActiveComputerName", u"ComputerName", "ActiveComputerName"},
    {"computer_rename", Hive::system, Kind::rename, When::offline, u"Services\\Tcpip\\Parameters", u"NV Hostname",
     u"Services\\Tcpip\\Parameters", u"Hostname", "Hostname"},
    {"component_servicing", Hive::software, Kind::key, When::always,
     u"Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\RebootPending", nullptr, nullptr, nullptr,
     nullptr},
    {"component_servicing", Hive::software, Kind::key, When::always,
     u"Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\RebootInProgress", nullptr, nullptr, nullptr,
     nullptr},
    {"component_servicing", Hive::software, Kind::key, When::always,
     u"Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\PackagesPending", nullptr, nullptr, nullptr,
     nullptr},
    {"windows_update", Hive::software, Kind::names, When::always,
     u"Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\Auto Update\\RebootRequired", nullptr, nullptr, nullptr,
     nullptr},
    {"windows_update", Hive::software, Kind::key, When::always,
     u"Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\Auto Update\\PostRebootReporting", nullptr, nullptr, nullptr,
     nullptr},
    {"update_exe_volatile", Hive::software, Kind::number, When::always, u"Microsoft\\Updates", u"UpdateExeVolatile",
     nullptr, nullptr, " (a value known to go stale)"},
    {"update_exe_volatile", Hive::software, Kind::number, When::always, u"WOW6432Node\\Microsoft\\Updates",
     u"UpdateExeVolatile", nullptr, nullptr, " (a value known to go stale)"},
    {"server_manager", Hive::software, Kind::number, When::always, u"Microsoft\\ServerManager",
     u"CurrentRebootAttempts", nullptr, nullptr, ""},
    {"dvd_reboot_signal", Hive::software, Kind::value, When::always, u"Microsoft\\Windows\\CurrentVersion\\RunOnce",
     u"DVDRebootSignal", nullptr, nullptr, nullptr},
};
constexpr std::size_t CHECK_COUNT = sizeof CHECKS / sizeof CHECKS[0];

// Reasons whose answer no registry value holds.
struct ServiceReason {
    const char* reason;
    const char* why;
};
const ServiceReason SERVICE_ONLY[] = {
    {"windows_update_agent", "the Windows Update Agent's own answer, known only to the running service"},
    {"configuration_manager", "the Configuration Manager client's answer, known only to the running service"},
    {"dsc_configuration", "the DSC Local Configuration Manager's answer, known only to the running service"},
};
const char ACTIVE_NAME_UNREAD[] =
    "ComputerName against ActiveComputerName: a system that is not running keeps no active name";
const char KEY_SOFTWARE_UNREAD[] = "/hive KEY reads the SYSTEM hive alone";

// The longest name a value can have, and its NUL.
constexpr std::uint32_t VALUE_NAME_ROOM = 16384;

enum class Outcome { none, found, failed };

// What one check found. The data are kept for the report: the strings, the
// names of the values, or the two names compared.
struct Finding {
    Outcome outcome;
    std::uint32_t code;  // failed: the system's code
    bool at_other;       // failed at the other key of a rename
    std::uint32_t counts[PENDING_VALUE_COUNT];
    std::uint32_t stale;
    bool stale_judged;
    std::uint32_t number;
    PendingValue data[2];
};

const char16_t* root_word(RegistryRoot root) {
    if (root == RegistryRoot::local_machine) return u"HKLM\\";
    return root == RegistryRoot::users ? u"HKU\\" : u"";
}

char16_t* append(char16_t* at, const char16_t* text) {
    while (*text != u'\0') *at++ = *text++;
    *at = u'\0';
    return at;
}

// The key's path as shown, root word first, into `buffer`; gives where the
// path opened under the root begins in it.
std::size_t fill_path(const ReasonPlace& place, const char16_t* suffix, char16_t* buffer) {
    char16_t* at = append(buffer, root_word(place.root));
    std::size_t open = static_cast<std::size_t>(at - buffer);
    at = append(at, place.path);
    if (place.path[0] != u'\0') at = append(at, u"\\");
    append(at, suffix);
    return open;
}

std::uint32_t open_at(const Platform& platform, const ReasonPlace& place, const char16_t* suffix, char16_t* buffer,
                      RegistryKey* key) {
    std::size_t open = fill_path(place, suffix, buffer);
    *key = 0;
    return platform.registry.open_key(platform.registry.context, place.root, buffer + open, place.access, key);
}

// The strings of `value` one after another, up to an empty one or the
// data's end, as a MULTI_SZ is read; false when there is none left.
bool next_text(const PendingValue& value, OperationCursor* cursor, StoredName* text) {
    OperationCursor units = unit_count(value);
    OperationCursor start = *cursor;
    if (start >= units || value.units[start] == u'\0') return false;
    OperationCursor end = start;
    while (end < units && value.units[end] != u'\0') ++end;
    *text = StoredName{start, end - start};
    *cursor = end + 1;
    return true;
}

StoredName first_text(const PendingValue& value) {
    OperationCursor cursor = 0;
    StoredName text{0, 0};
    next_text(value, &cursor, &text);
    return text;
}

// As /l /stale judges them: in order, the first value's and then the
// second's, each with the moves before it; looked for as the restart will
// see the file system.
std::uint32_t count_stale(const Platform& platform, PendingValue* values, std::uint32_t* stale) {
    std::size_t moves = 0;
    for (std::size_t which = 0; which < PENDING_VALUE_COUNT; ++which) moves += count_moves(values[which]);
    EarlierTargets earlier{};
    if (!start_earlier_targets(platform, moves, &earlier)) return ERROR_CODE_NOT_ENOUGH_MEMORY;
    const FileSystemAccess& files = platform.files;
    RedirectionToken redirection = files.disable_redirection(files.context);
    for (std::size_t which = 0; which < PENDING_VALUE_COUNT; ++which) {
        PendingValue& value = values[which];
        if (value.units == nullptr) continue;
        Judged judged = judged_in(which, values[0], values[1].units != nullptr);
        value.units[unit_count(value)] = u'\0';
        OperationCursor cursor = 0;
        Operation operation;
        while (next_operation(value, &cursor, &operation)) {
            if (judge_operation(platform, &earlier, value, operation, judged)) ++*stale;
        }
    }
    files.revert_redirection(files.context, redirection);
    release_earlier_targets(platform, &earlier);
    return ERROR_CODE_SUCCESS;
}

// A value that holds no operation is nothing pending.
std::uint32_t check_operations(const Platform& platform, bool running, RegistryKey key, Finding* finding, bool* found) {
    PendingValue values[PENDING_VALUE_COUNT] = {};
    std::uint32_t status = ERROR_CODE_SUCCESS;
    for (std::size_t which = 0; which < PENDING_VALUE_COUNT && status == ERROR_CODE_SUCCESS; ++which) {
        status = read_pending_value(platform, key, PENDING_VALUE_NAMES[which], &values[which]);
        if (status == ERROR_CODE_FILE_NOT_FOUND) status = ERROR_CODE_SUCCESS;
        OperationCursor cursor = 0;
        Operation operation;
        while (next_operation(values[which], &cursor, &operation)) ++finding->counts[which];
        *found = *found || finding->counts[which] > 0;
    }
    finding->stale_judged = running;
    if (status == ERROR_CODE_SUCCESS && *found && running) status = count_stale(platform, values, &finding->stale);
    for (PendingValue& value : values) release_pending_value(platform, &value);
    return status;
}

// The names of the key's values, each ending in a NUL, one after another;
// the key's unnamed value is none of them.
std::uint32_t read_names(const Platform& platform, RegistryKey key, PendingValue* names) {
    char16_t name[VALUE_NAME_ROOM];
    char16_t* units = nullptr;
    std::size_t used = 0;
    std::size_t room = 0;
    std::uint32_t status = ERROR_CODE_SUCCESS;
    for (std::uint32_t index = 0; status == ERROR_CODE_SUCCESS; ++index) {
        std::uint32_t length = VALUE_NAME_ROOM;
        status = platform.registry.enum_value(platform.registry.context, key, index, name, &length);
        if (status != ERROR_CODE_SUCCESS || length == 0) continue;
        if (used + length + 1 > room) {
            std::size_t grown = (used + length + 1) * 2;
            char16_t* larger = static_cast<char16_t*>(platform.heap.allocate(platform.heap.context, grown * 2));
            if (larger == nullptr) {
                status = ERROR_CODE_NOT_ENOUGH_MEMORY;
                break;
            }
            if (units != nullptr) {
                std::memcpy(larger, units, used * 2);
                platform.heap.release(platform.heap.context, units);
            }
            units = larger;
            room = grown;
        }
        std::memcpy(units + used, name, std::size_t(length) * 2);
        used += length;
        units[used++] = u'\0';
    }
    *names = PendingValue{0, static_cast<std::uint32_t>(used * 2), units};
    if (status == ERROR_CODE_NO_MORE_ITEMS) return ERROR_CODE_SUCCESS;
    release_pending_value(platform, names);
    return status;
}

std::uint32_t check_number(const Platform& platform, RegistryKey key, const char16_t* name, Finding* finding,
                           bool* found) {
    std::uint32_t type = 0;
    unsigned char data[4] = {};
    std::uint32_t size = sizeof data;
    std::uint32_t status = platform.registry.query_value(platform.registry.context, key, name, &type, data, &size);
    *found = false;
    // Larger than a REG_DWORD: no number.
    if (status == ERROR_CODE_MORE_DATA) return ERROR_CODE_SUCCESS;
    finding->number = std::uint32_t(data[0]) | std::uint32_t(data[1]) << 8 | std::uint32_t(data[2]) << 16 |
                      std::uint32_t(data[3]) << 24;
    *found = status == ERROR_CODE_SUCCESS && type == VALUE_TYPE_DWORD && size == 4 && finding->number != 0;
    return status;
}

// Two names are one when they differ only in the case of A to Z.
std::uint32_t check_rename(const Platform& platform, const ReasonPlace& place, const ReasonCheck& check,
                           RegistryKey key, char16_t* path, Finding* finding, bool* found) {
    std::uint32_t status = read_pending_value(platform, key, check.value, &finding->data[0]);
    if (status != ERROR_CODE_SUCCESS) return status;
    finding->at_other = true;
    RegistryKey other = 0;
    status = open_at(platform, place, check.other_path, path, &other);
    if (status != ERROR_CODE_SUCCESS) return status;
    status = read_pending_value(platform, other, check.other_value, &finding->data[1]);
    platform.registry.close_key(platform.registry.context, other);
    if (status != ERROR_CODE_SUCCESS) return status;
    StoredName name = first_text(finding->data[0]);
    StoredName active = first_text(finding->data[1]);
    *found = !names_match(finding->data[0].units + name.start, name.length, finding->data[1].units + active.start,
                          active.length);
    return ERROR_CODE_SUCCESS;
}

void run_check(const Platform& platform, const WhyPlaces& places, const ReasonCheck& check, char16_t* path,
               Finding* finding) {
    const ReasonPlace& place = check.hive == Hive::system ? places.system : places.software;
    const RegistryAccess& registry = platform.registry;
    RegistryKey key = 0;
    std::uint32_t status = open_at(platform, place, check.path, path, &key);
    bool found = status == ERROR_CODE_SUCCESS;
    if (status == ERROR_CODE_SUCCESS) {
        std::uint32_t type = 0;
        std::uint32_t size = 0;
        switch (check.kind) {
            case Kind::operations:
                found = false;
                status = check_operations(platform, places.running, key, finding, &found);
                break;
            case Kind::strings:
                status = read_pending_value(platform, key, check.value, &finding->data[0]);
                found = status == ERROR_CODE_SUCCESS && first_text(finding->data[0]).length > 0;
                break;
            case Kind::key:
                break;
            case Kind::names:
                status = read_names(platform, key, &finding->data[0]);
                break;
            case Kind::rename:
                found = false;
                status = check_rename(platform, place, check, key, path, finding, &found);
                break;
            case Kind::number:
                status = check_number(platform, key, check.value, finding, &found);
                break;
            case Kind::value:
                status = registry.query_value(registry.context, key, check.value, &type, nullptr, &size);
                break;
        }
        registry.close_key(registry.context, key);
    }
    // What is not there is no reason.
    finding->code = status;
    finding->outcome = status == ERROR_CODE_FILE_NOT_FOUND ? Outcome::none
                       : status != ERROR_CODE_SUCCESS      ? Outcome::failed
                       : found                             ? Outcome::found
                                                           : Outcome::none;
    if (finding->outcome != Outcome::found) {
        for (PendingValue& data : finding->data) release_pending_value(platform, &data);
    }
}

bool applies(const ReasonCheck& check, const WhyPlaces& places) {
    return check.when == When::always || (check.when == When::running) == places.running;
}

// The first check of its reason in SOFTWARE, which stands for the reason.
bool first_of_reason(std::size_t index) {
    return index == 0 || std::strcmp(CHECKS[index - 1].reason, CHECKS[index].reason) != 0;
}

// ---- The report ----

// What was not checked: a reason's name and why.
struct Unchecked {
    const char* reason;
    Phrase why;
};

std::size_t list_unchecked(const WhyPlaces& places, Unchecked* unchecked) {
    std::size_t count = 0;
    if (!places.running) unchecked[count++] = {"computer_rename", {ACTIVE_NAME_UNREAD, u"", ""}};
    for (std::size_t index = 0; index < CHECK_COUNT; ++index) {
        const ReasonCheck& check = CHECKS[index];
        bool unread = !places.software_read && places.software_code == ERROR_CODE_SUCCESS;
        if (check.hive == Hive::software && unread && first_of_reason(index)) {
            unchecked[count++] = {check.reason, places.software_unread};
        }
    }
    for (const ServiceReason& service : SERVICE_ONLY) unchecked[count++] = {service.reason, {service.why, u"", ""}};
    return count;
}

void print_number(const Platform& platform, std::uint32_t number, const char* after) {
    ::print_number(platform, number);
    print_text(platform, after);
}

void print_stored(const Platform& platform, const PendingValue& value, StoredName name) {
    print_name(platform, value.units + name.start, name.length);
}

// "  REASON: KEY", and the value and what it holds.
void print_reason(const Platform& platform, const WhyPlaces& places, const ReasonCheck& check, const Finding& finding,
                  char16_t* path) {
    fill_path(check.hive == Hive::system ? places.system : places.software, check.path, path);
    print_text(platform, "  ");
    print_text(platform, check.reason);
    print_text(platform, ": ");
    print_name(platform, path);
    if (check.value != nullptr) {
        print_text(platform, " ");
        print_name(platform, check.value);
        print_text(platform, check.kind == Kind::value ? "" : " = ");
    }
    OperationCursor cursor = 0;
    StoredName text{0, 0};
    const char* separator = " ";
    switch (check.kind) {
        case Kind::operations:
            for (std::size_t which = 0; which < PENDING_VALUE_COUNT; ++which) {
                if (finding.counts[which] == 0) continue;
                print_text(platform, separator);
                print_name(platform, PENDING_VALUE_NAMES[which]);
                print_text(platform, " = ");
                print_number(platform, finding.counts[which],
                             finding.counts[which] == 1 ? " operation" : " operations");
                separator = ", ";
            }
            if (finding.stale_judged && finding.stale > 0) {
                print_text(platform, " (");
                print_number(platform, finding.stale, " stale, which bootmove /c /stale clears)");
            } else if (finding.stale_judged) {
                print_text(platform, " (none stale)");
            }
            break;
        case Kind::strings:
            for (separator = "\""; next_text(finding.data[0], &cursor, &text); separator = ", \"") {
                print_text(platform, separator);
                print_stored(platform, finding.data[0], text);
                print_text(platform, "\"");
            }
            break;
        case Kind::names:
            for (separator = " (updates: "; next_text(finding.data[0], &cursor, &text); separator = ", ") {
                print_text(platform, separator);
                print_stored(platform, finding.data[0], text);
            }
            print_text(platform, cursor > 0 ? ")" : "");
            break;
        case Kind::rename:
            print_stored(platform, finding.data[0], first_text(finding.data[0]));
            print_text(platform, " (");
            print_text(platform, check.note);
            print_text(platform, ": ");
            print_stored(platform, finding.data[1], first_text(finding.data[1]));
            print_text(platform, ")");
            break;
        case Kind::number:
            print_number(platform, finding.number, check.note);
            break;
        case Kind::key:
        case Kind::value:
            break;
    }
    print_text(platform, "\n");
}

// The key that could not be read, as shown, and its value; or, when the
// hive itself could not be opened, null.
const char16_t* failed_path(const WhyPlaces& places, const ReasonCheck& check, const Finding& finding, char16_t* path,
                            const char16_t** value) {
    *value = finding.at_other ? check.other_value : check.value;
    if (check.hive == Hive::software && !places.software_read) {
        *value = nullptr;
        return nullptr;
    }
    const ReasonPlace& place = check.hive == Hive::system ? places.system : places.software;
    fill_path(place, finding.at_other ? check.other_path : check.path, path);
    return path;
}

void print_failure(const Platform& platform, const WhyPlaces& places, const ReasonCheck& check, const Finding& finding,
                   char16_t* path) {
    const char16_t* value = nullptr;
    const char16_t* key = failed_path(places, check, finding, path, &value);
    char cause[ERROR_TEXT_CAPACITY] = {};
    std::strncpy(cause, system_error_text(finding.code), sizeof cause - 1);
    for (std::size_t end = std::strlen(cause); end > 0 && (cause[end - 1] == '\n' || cause[end - 1] == '\r');) {
        cause[--end] = '\0';
    }
    begin_errors(platform);
    print_text(platform, "error: ");
    print_text(platform, check.reason);
    print_text(platform, ": ");
    if (key == nullptr) {
        print_text(platform, "the SOFTWARE hive beside ");
        print_name(platform, places.software_unread.name);
    } else {
        print_name(platform, key);
    }
    if (value != nullptr) {
        print_text(platform, " ");
        print_name(platform, value);
    }
    print_text(platform, ": ");
    print_text(platform, cause);
    print_text(platform, "\n");
    end_errors(platform);
}

void print_report(const Platform& platform, const WhyPlaces& places, const Finding* findings, Outcome verdict,
                  char16_t* path) {
    print_text(platform, verdict == Outcome::found  ? "A restart is pending:\n"
                         : verdict == Outcome::none ? "No restart is pending.\n"
                                                    : "It is not known whether a restart is pending: some reasons "
                                                      "could not be read.\n");
    for (std::size_t index = 0; index < CHECK_COUNT; ++index) {
        if (findings[index].outcome == Outcome::found)
            print_reason(platform, places, CHECKS[index], findings[index], path);
    }
    Unchecked unchecked[CHECK_COUNT + 4];
    std::size_t count = list_unchecked(places, unchecked);
    for (std::size_t at = 0; at < count; ++at) {
        print_text(platform, "Not checked: ");
        print_text(platform, unchecked[at].reason);
        print_text(platform, " (");
        print_text(platform, unchecked[at].why.before);
        print_name(platform, unchecked[at].why.name);
        print_text(platform, unchecked[at].why.after);
        print_text(platform, ")\n");
    }
    for (std::size_t index = 0; index < CHECK_COUNT; ++index) {
        if (findings[index].outcome == Outcome::failed) {
            print_failure(platform, places, CHECKS[index], findings[index], path);
        }
    }
}

void put_name(JsonWriter* writer, const char16_t* name) {
    if (name == nullptr) {
        json_put(writer, "null");
    } else {
        json_put_string(writer, name, name_length(name));
    }
}

void put_stored(JsonWriter* writer, const PendingValue& value, StoredName name) {
    json_put_string(writer, value.units + name.start, name.length);
}

void put_texts(JsonWriter* writer, const PendingValue& value) {
    OperationCursor cursor = 0;
    StoredName text{0, 0};
    for (const char* separator = "["; next_text(value, &cursor, &text); separator = ", ") {
        json_put(writer, separator);
        put_stored(writer, value, text);
    }
    json_put(writer, cursor > 0 ? "]" : "[]");
}

void put_detail(JsonWriter* writer, const ReasonCheck& check, const Finding& finding) {
    switch (check.kind) {
        case Kind::operations:
            json_put(writer, "{\"operations\": {");
            for (std::size_t which = 0; which < PENDING_VALUE_COUNT; ++which) {
                json_put(writer, which == 0 ? "" : ", ");
                put_name(writer, PENDING_VALUE_NAMES[which]);
                json_put(writer, ": ");
                json_put_number(writer, finding.counts[which]);
            }
            json_put(writer, "}, \"stale\": ");
            if (finding.stale_judged) {
                json_put_number(writer, finding.stale);
            } else {
                json_put(writer, "null");
            }
            json_put(writer, "}");
            break;
        case Kind::strings:
            json_put(writer, "{\"strings\": ");
            put_texts(writer, finding.data[0]);
            json_put(writer, "}");
            break;
        case Kind::names:
            json_put(writer, "{\"updates\": ");
            put_texts(writer, finding.data[0]);
            json_put(writer, "}");
            break;
        case Kind::rename:
            json_put(writer, "{\"new_name\": ");
            put_stored(writer, finding.data[0], first_text(finding.data[0]));
            json_put(writer, ", \"current_name\": ");
            put_stored(writer, finding.data[1], first_text(finding.data[1]));
            json_put(writer, "}");
            break;
        case Kind::number:
            json_put(writer, "{\"number\": ");
            json_put_number(writer, finding.number);
            json_put(writer, "}");
            break;
        case Kind::key:
        case Kind::value:
            json_put(writer, "null");
            break;
    }
}

// Each entry of a list on a line of its own.
void put_entry(JsonWriter* writer, bool* first) {
    json_put(writer, *first ? "\n  " : ",\n  ");
    *first = false;
}

void end_list(JsonWriter* writer, bool first) { json_put(writer, first ? "]" : "\n]"); }

void put_document(const Platform& platform, const WhyPlaces& places, const Finding* findings, Outcome verdict,
                  char16_t* path) {
    JsonWriter writer{&platform, 0, {}};
    json_put(&writer, verdict == Outcome::found  ? "{\"restart_pending\": true"
                      : verdict == Outcome::none ? "{\"restart_pending\": false"
                                                 : "{\"restart_pending\": null");
    json_put(&writer, ", \"reasons\": [");
    bool first = true;
    for (std::size_t index = 0; index < CHECK_COUNT; ++index) {
        const ReasonCheck& check = CHECKS[index];
        if (findings[index].outcome != Outcome::found) continue;
        put_entry(&writer, &first);
        json_put(&writer, "{\"reason\": \"");
        json_put(&writer, check.reason);
        json_put(&writer, "\", \"key\": ");
        fill_path(check.hive == Hive::system ? places.system : places.software, check.path, path);
        put_name(&writer, path);
        json_put(&writer, ", \"value\": ");
        put_name(&writer, check.value);
        json_put(&writer, ", \"detail\": ");
        put_detail(&writer, check, findings[index]);
        json_put(&writer, "}");
    }
    end_list(&writer, first);
    json_put(&writer, ", \"not_checked\": [");
    Unchecked unchecked[CHECK_COUNT + 4];
    std::size_t count = list_unchecked(places, unchecked);
    first = true;
    for (std::size_t at = 0; at < count; ++at) {
        put_entry(&writer, &first);
        json_put(&writer, "{\"reason\": \"");
        json_put(&writer, unchecked[at].reason);
        json_put(&writer, "\", \"why\": \"");
        json_put_ascii(&writer, unchecked[at].why.before);
        json_put_units(&writer, unchecked[at].why.name, name_length(unchecked[at].why.name));
        json_put_ascii(&writer, unchecked[at].why.after);
        json_put(&writer, "\"}");
    }
    end_list(&writer, first);
    json_put(&writer, ", \"errors\": [");
    first = true;
    for (std::size_t index = 0; index < CHECK_COUNT; ++index) {
        if (findings[index].outcome != Outcome::failed) continue;
        const char16_t* value = nullptr;
        const char16_t* key = failed_path(places, CHECKS[index], findings[index], path, &value);
        put_entry(&writer, &first);
        json_put(&writer, "{\"reason\": \"");
        json_put(&writer, CHECKS[index].reason);
        json_put(&writer, "\", \"key\": ");
        put_name(&writer, key);
        json_put(&writer, ", \"value\": ");
        put_name(&writer, value);
        json_put(&writer, ", \"error\": ");
        json_put_system_error_object(&writer, findings[index].code);
        json_put(&writer, "}");
    }
    end_list(&writer, first);
    json_put(&writer, "}\n");
    json_write_out(&writer);
}

int report_reasons(const Platform& platform, const WhyPlaces& places, ListFormat format) {
    // One buffer for every key's path, root word first.
    std::size_t longest = 0;
    for (const ReasonCheck& check : CHECKS) {
        for (const char16_t* suffix : {check.path, check.other_path}) {
            if (suffix != nullptr && name_length(suffix) > longest) longest = name_length(suffix);
        }
    }
    std::size_t base = name_length(places.system.path);
    if (name_length(places.software.path) > base) base = name_length(places.software.path);
    char16_t* path = static_cast<char16_t*>(platform.heap.allocate(platform.heap.context, (base + longest + 8) * 2));
    if (path == nullptr) {
        report_list_failure(platform, format, ERROR_CODE_NOT_ENOUGH_MEMORY);
        return 1;
    }
    Finding findings[CHECK_COUNT] = {};
    Outcome verdict = Outcome::none;
    for (std::size_t index = 0; index < CHECK_COUNT; ++index) {
        const ReasonCheck& check = CHECKS[index];
        if (!applies(check, places)) continue;
        if (check.hive == Hive::system || places.software_read) {
            run_check(platform, places, check, path, &findings[index]);
        } else if (places.software_code != ERROR_CODE_SUCCESS && first_of_reason(index)) {
            findings[index] = Finding{Outcome::failed, places.software_code, false, {}, 0, false, 0, {}};
        }
        Outcome outcome = findings[index].outcome;
        if (outcome == Outcome::found || (outcome == Outcome::failed && verdict == Outcome::none)) verdict = outcome;
    }
    if (format == ListFormat::json) {
        put_document(platform, places, findings, verdict, path);
    } else {
        print_report(platform, places, findings, verdict, path);
    }
    bool failed = false;
    for (Finding& finding : findings) {
        failed = failed || finding.outcome == Outcome::failed;
        for (PendingValue& data : finding.data) release_pending_value(platform, &data);
    }
    platform.heap.release(platform.heap.context, path);
    return failed ? 1 : 0;
}

// The control set alone, without "\Control\Session Manager".
void cut_to_control_set(OfflineHive* hive) {
    static const char16_t SESSION_MANAGER[] = u"\\Control\\Session Manager";
    hive->path[name_length(hive->path) - name_length(SESSION_MANAGER)] = u'\0';
}

// The SOFTWARE hive's logs are applied as FILE's are; it is said as for FILE.
void note_software_load(const Platform& platform, const char16_t* file, const HiveLoad& load) {
    if (!load.unclean && load.entries_applied == 0 && load.log_problem[0] == u'\0') return;
    begin_warnings(platform);
    print_text(platform, load.unclean ? "warning: the SOFTWARE hive beside " : "note: the SOFTWARE hive beside ");
    print_name(platform, file);
    if (load.log_problem[0] != u'\0') {
        print_text(platform, ": ");
        print_name(platform, load.log_problem);
        print_text(platform,
                   ", so no entry of its transaction logs was applied: changes may be missing from this "
                   "report\n");
    } else if (load.unclean) {
        print_text(platform,
                   " was not closed cleanly (its header's sequence numbers differ) and no entry of its "
                   "transaction logs (.LOG1, .LOG2) applies: changes may be missing from this report\n");
    } else {
        print_text(platform, ": ");
        print_number(platform, load.entries_applied,
                     " entries of the transaction logs applied, as Windows does when it loads the hive\n");
    }
    end_warnings(platform);
}

}  // namespace

int why_restart_running(const Platform& platform, ListFormat format) {
    WhyPlaces places{true,
                     {RegistryRoot::local_machine, u"SYSTEM\\CurrentControlSet", ACCESS_KEY_READ},
                     {RegistryRoot::local_machine, u"SOFTWARE", ACCESS_KEY_READ | ACCESS_VIEW_64},
                     true,
                     {"", u"", ""},
                     ERROR_CODE_SUCCESS};
    return report_reasons(platform, places, format);
}

int why_restart_at_key(const Platform& platform, RegistryRoot root, const char16_t* name, const char16_t* shown,
                       ListFormat format) {
    OfflineHive hive;
    if (!find_control_set_or_report(platform, root, name, shown, format, &hive)) return 1;
    cut_to_control_set(&hive);
    WhyPlaces places{false, {root, hive.path, ACCESS_KEY_READ}, {root, u"", ACCESS_KEY_READ},
                     false, {KEY_SOFTWARE_UNREAD, u"", ""},     ERROR_CODE_SUCCESS};
    int status = report_reasons(platform, places, format);
    release_hive(platform, &hive);
    return status;
}

int why_restart_in_file(const Platform& platform, const char16_t* file, ListFormat format) {
    if (!open_hive_file_or_report(platform, file, format, false)) return 1;
    OfflineHive hive;
    if (!find_control_set_or_report(platform, RegistryRoot::hive_file, u"", file, format, &hive)) return 1;
    cut_to_control_set(&hive);
    HiveLoad load{};
    std::uint32_t code = platform.registry.load_hive_file(platform.registry.context, RegistryRoot::software_file, file,
                                                          u"SOFTWARE", false, &load);
    bool absent = code == ERROR_CODE_FILE_NOT_FOUND;
    if (code == ERROR_CODE_SUCCESS) note_software_load(platform, file, load);
    WhyPlaces places{false,
                     {RegistryRoot::hive_file, hive.path, ACCESS_KEY_READ},
                     {RegistryRoot::software_file, u"", ACCESS_KEY_READ},
                     code == ERROR_CODE_SUCCESS,
                     {"no SOFTWARE hive beside ", file, ""},
                     absent ? ERROR_CODE_SUCCESS : code};
    int status = report_reasons(platform, places, format);
    release_hive(platform, &hive);
    return status;
}
