#include "cli/schedule.h"

#include <cstring>

int schedule_operation(const Platform& platform, const char* source, const char* target, FILE* out) {
    if (std::strlen(source) >= MAX_NAME_LENGTH || (target != nullptr && std::strlen(target) >= MAX_NAME_LENGTH)) {
        std::fprintf(out, "error: file names must be less than %d characters long\n",
                     static_cast<int>(MAX_NAME_LENGTH));
        return 1;
    }

    // The search only proves that something matches the name; what it found
    // is not used, and the name goes to the platform as typed.
    const FileSystemAccess& files = platform.files;
    SearchHandle search = files.find_first_file(files.context, source);
    if (search == INVALID_SEARCH_HANDLE) {
        std::fprintf(out, "error: file %s does not exist, can't copy non-existant file\n", source);
        return 1;
    }
    files.find_close(files.context, search);

    if (target != nullptr) {
        std::fprintf(out, "Moving %s to %s at next reboot\n", source, target);
    } else {
        std::fprintf(out, "Deleting %s next reboot\n", source);
    }
    if (files.move_file_ex(files.context, source, target, MOVE_REPLACE_EXISTING | MOVE_DELAY_UNTIL_REBOOT) == 0) {
        std::fprintf(out, "error: %s\n", system_error_text(files.get_last_error(files.context)));
        return 1;
    }
    return 0;
}
