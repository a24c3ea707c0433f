#include "cli/arguments.h"

#include <cstring>

namespace {

// Which program reads a form, or shows it in its usage.
constexpr unsigned WINDOWS = 1;
constexpr unsigned LINUX = 2;
constexpr unsigned BOTH = WINDOWS | LINUX;

// Where a form stands.
constexpr unsigned AT_START = 1;    // the whole command line
constexpr unsigned AFTER_HIVE = 2;  // what follows "/hive KEY"
constexpr unsigned HIVE = 4;        // "/hive KEY" itself
constexpr unsigned ANYWHERE = AT_START | AFTER_HIVE;

// A form's words: switches (read in any case), <names>, [an optional part],
// and "..." for further words, which are read past: "/c SOURCE TARGET" has
// always ignored what follows. The switches "json" and "/stale" set the
// format and the stale flag wherever they stand.
struct Form {
    const char* words;
    Command command;
    unsigned place;
    unsigned read_by;
    unsigned shown_by;
    const char* help;  // what the usage says after the words
};

const Form FORMS[] = {
    {"<source file> <target file>", Command::move, ANYWHERE, BOTH, WINDOWS, "move file on next reboot"},
    {"/d <file>", Command::remove, ANYWHERE, BOTH, WINDOWS, "delete file on next reboot"},
    {"/l", Command::list, ANYWHERE, BOTH, BOTH, "list pending operations on next reboot"},
    {"/l /fo json", Command::list, ANYWHERE, BOTH, BOTH, "list pending operations as JSON"},
    {"/c <source file> [<target file>]", Command::cancel, ANYWHERE, BOTH, BOTH,
     "cancel first matching pending operation"},
    {"/c <source file> <target file> ...", Command::cancel, ANYWHERE, BOTH, 0, nullptr},
    {"/l /stale [/fo json]", Command::list, ANYWHERE, BOTH, WINDOWS, "list the operations whose source is gone"},
    {"/c /stale [/fo json]", Command::cancel, ANYWHERE, BOTH, WINDOWS, "cancel every operation whose source is gone"},
    {"/l /fo json /stale", Command::list, ANYWHERE, BOTH, 0, nullptr},
    {"/c /fo json /stale", Command::cancel, ANYWHERE, BOTH, 0, nullptr},
    {"/why", Command::why, ANYWHERE, BOTH, BOTH, "tell why a restart is pending"},
    {"/why /fo json", Command::why, ANYWHERE, BOTH, BOTH, "tell why a restart is pending, as JSON"},
    {"/hive <key|file>", Command::none, HIVE, WINDOWS, WINDOWS,
     "/l | /c | /why ... the same, on the SYSTEM hive loaded at <key>, or in the hive file <file>"},
    {"/hive <file>", Command::none, HIVE, LINUX, 0, nullptr},
    {"/?", Command::help, AT_START, BOTH, 0, nullptr},
    {"--help", Command::help, AT_START, LINUX, LINUX, "(or -h) print this text"},
    {"-h", Command::help, AT_START, LINUX, 0, nullptr},
    {"--version", Command::version, AT_START, LINUX, LINUX, "print the version"},
};

const char WINDOWS_HEAD[] =
    " [ /d /l /c ] [source file] [target file]\n"
    "Schedule or edit file operations on next system boot\n";
const char LINUX_HEAD[] =
    " /hive <file> /l | /hive <file> /c <source file> [<target file>] | /hive <file> /why\n"
    "List or cancel the file operations that a Windows SYSTEM hive file holds for the next system boot\n";

enum class Token { end, word, name, open, close, rest };

// The token of a form's words at `*at`, which moves past it; a switch's
// letters are `*text` and `*length`.
Token next_token(const char** at, const char** text, std::size_t* length) {
    const char* start = *at;
    while (*start == ' ') ++start;
    const char* end = start;
    Token token = Token::word;
    if (*start == '\0') {
        token = Token::end;
    } else if (*start == '[' || *start == ']') {
        token = *start == '[' ? Token::open : Token::close;
        ++end;
    } else if (*start == '<') {
        token = Token::name;
        end = std::strchr(start, '>') + 1;
    } else {
        while (*end != '\0' && *end != ' ' && *end != ']') ++end;
        if (end - start == 3 && std::strncmp(start, "...", 3) == 0) token = Token::rest;
    }
    *at = end;
    *text = start;
    *length = static_cast<std::size_t>(end - start);
    return token;
}

char16_t upper(char16_t unit) { return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 32) : unit; }

bool is_switch(const char16_t* word, const char* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if (word[i] == u'\0' || upper(word[i]) != upper(static_cast<char16_t>(text[i]))) return false;
    }
    return word[length] == u'\0';
}

bool is_stale(const char16_t* word) { return is_switch(word, "/stale", 6); }

struct Reading {
    unsigned reader;  // WINDOWS or LINUX
    unsigned place;   // AT_START or AFTER_HIVE
};

// The first word of a form decides it: a name never takes a word that
// another form of this place begins with. "/stale" is never a name.
bool takes_name(const char16_t* word, bool first, const Reading& reading) {
    if (is_stale(word)) return false;
    for (const Form& form : FORMS) {
        unsigned places = reading.place == AT_START ? AT_START | HIVE : reading.place;
        if (!first || (form.place & places) == 0 || (form.read_by & reading.reader) == 0) continue;
        const char* at = form.words;
        const char* text = nullptr;
        std::size_t length = 0;
        if (next_token(&at, &text, &length) == Token::word && is_switch(word, text, length)) return false;
    }
    return true;
}

struct Match {
    const char16_t* names[2];
    int named;
    bool json;
    bool stale;
};

// Whether `words` are what the form's words from `at` on spell; `first`
// when `at` is the form's beginning.
bool match_words(const char* at, const char16_t* const* words, int count, bool first, const Reading& reading,
                 Match* match) {
    const char* text = nullptr;
    std::size_t length = 0;
    switch (next_token(&at, &text, &length)) {
        case Token::end:
            return count == 0;
        case Token::close:
            return match_words(at, words, count, first, reading, match);
        case Token::open: {
            Match with = *match;
            if (match_words(at, words, count, first, reading, &with)) {
                *match = with;
                return true;
            }
            return match_words(std::strchr(at, ']') + 1, words, count, first, reading, match);
        }
        case Token::rest:
            for (int i = 0; i < count; ++i) {
                if (is_stale(words[i])) return false;
            }
            return true;
        case Token::word:
            if (count == 0 || !is_switch(words[0], text, length)) return false;
            match->json = match->json || (length == 4 && std::strncmp(text, "json", 4) == 0);
            match->stale = match->stale || is_stale(words[0]);
            return match_words(at, words + 1, count - 1, false, reading, match);
        case Token::name:
            if (count == 0 || match->named == 2 || !takes_name(words[0], first, reading)) return false;
            match->names[match->named++] = words[0];
            return match_words(at, words + 1, count - 1, false, reading, match);
    }
    return false;
}

// How many words a form of fixed length has ("/hive KEY": two).
int word_count(const char* at) {
    const char* text = nullptr;
    std::size_t length = 0;
    int count = 0;
    while (next_token(&at, &text, &length) != Token::end) ++count;
    return count;
}

const char16_t* program_name(int argc, const char16_t* const* argv, bool running_system) {
    const char16_t* program = argc > 0 && argv[0] != nullptr ? argv[0] : u"";
    if (running_system) return program;
    const char16_t* base = program;
    for (const char16_t* at = program; *at != u'\0'; ++at) {
        if (*at == u'/') base = at + 1;
    }
    return base;
}

}  // namespace

Request read_arguments(int argc, const char16_t* const* argv, bool running_system) {
    Request request{Command::none, ListFormat::text,   false,
                    nullptr,       {nullptr, nullptr}, program_name(argc, argv, running_system)};
    if (argc < 2) return request;
    request.command = Command::wrong;
    Reading reading{running_system ? WINDOWS : LINUX, AT_START};
    const char16_t* const* words = argv + 1;
    int count = argc - 1;
    const char16_t* hive_name = nullptr;
    for (const Form& hive : FORMS) {
        if ((hive.place & HIVE) == 0 || (hive.read_by & reading.reader) == 0) continue;
        int lead = word_count(hive.words);
        Match match{};
        if (count < lead || !match_words(hive.words, words, lead, true, reading, &match)) continue;
        hive_name = match.names[0];
        words += lead;
        count -= lead;
        reading.place = AFTER_HIVE;
    }
    for (const Form& form : FORMS) {
        Match match{};
        if ((form.place & reading.place) == 0 || (form.read_by & reading.reader) == 0 ||
            !match_words(form.words, words, count, true, reading, &match)) {
            continue;
        }
        request.command = form.command;
        request.hive = hive_name;
        request.format = match.json ? ListFormat::json : ListFormat::text;
        request.stale = match.stale;
        request.names[0] = match.names[0];
        request.names[1] = match.names[1];
        break;
    }
    return request;
}

void print_usage(const Platform& platform, const Request& request, bool complaint) {
    unsigned reader = platform.running_system ? WINDOWS : LINUX;
    const char* hive = "";
    for (const Form& form : FORMS) {
        if ((form.place & HIVE) != 0 && (form.read_by & reader) != 0) hive = form.words;
    }
    if (complaint) begin_errors(platform);
    print_text(platform, "Usage: ");
    print_name(platform, request.program);
    print_text(platform, platform.running_system ? WINDOWS_HEAD : LINUX_HEAD);
    for (const Form& form : FORMS) {
        if ((form.shown_by & reader) == 0) continue;
        print_text(platform, "\t");
        // Where no Windows runs, the forms that act on the pending
        // operations work only on a hive file.
        if (!platform.running_system && (form.place & AFTER_HIVE) != 0) {
            print_text(platform, hive);
            print_text(platform, " ");
        }
        print_text(platform, form.words);
        print_text(platform, " ");
        print_text(platform, form.help);
        print_text(platform, "\n");
    }
    if (complaint) end_errors(platform);
}
