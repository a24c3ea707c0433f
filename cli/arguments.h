// The one reading of the command line. A table of the forms bootmove takes
// is read once into a plain request, which the commands are then chosen by;
// the same table gives the usage text, so that a form and its line in the
// usage cannot drift apart.
#pragma once

#include "pending/list_pending.h"
#include "platform/platform.h"

enum class Command {
    none,     // no arguments at all
    wrong,    // no form of the table
    help,     // "/?"; on Linux also "--help" and "-h"
    version,  // "--version" (Linux)
    move,     // "SOURCE TARGET"
    remove,   // "/d FILE"
    list,     // "/l ..."
    cancel,   // "/c ..."
    why,      // "/why": why a restart is pending
};

struct Request {
    Command command;
    ListFormat format;  // "/fo json"
    bool stale;         // "/stale"
    // KEY (Windows) or FILE (Linux) after "/hive"; null: the running system.
    const char16_t* hive;
    // SOURCE and TARGET, or FILE of "/d"; null where not given.
    const char16_t* names[2];
    // The program as the usage names it: as started on Windows, by its base
    // name on Linux.
    const char16_t* program;
};

// Reads `argv` (argv[0] the program) with the forms of the Windows program,
// where a Windows runs, else with those of the Linux program.
Request read_arguments(int argc, const char16_t* const* argv, bool running_system);

// The usage text. After a wrong form it is a complaint, sent where the body
// sends error lines.
void print_usage(const Platform& platform, const Request& request, bool complaint);
