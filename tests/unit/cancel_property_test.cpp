// "/c" over many values built from random operations with a fixed seed:
// cancelling one operation leaves exactly the others, in order, and every
// byte after the list's end; a cancel that matches nothing writes nothing.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/unit/run_support.h"

namespace {

// Distinct names, none equal to another when A to Z fold: the pairs
// [/{, @/`, é/É, Ω/ω and ア/ヂ (30A2/30C2) differ only in bits that must not
// fold; a lone surrogate and a character beyond the BMP are names too.
const std::vector<std::u16string> NAMES = {
    u"C:\\a",          u"D:\\a",         u"C:\\dir\\b.txt", u"C:\\dir\\b.tx",    u"C:\\a b",
    u"C:\\100%s%n",    u"C:\\caf\u00E9", u"C:\\caf\u00C9",  u"C:\\a[1]",         u"C:\\a{1}",
    u"C:\\a@",         u"C:\\a`",        u"C:\\\u03A9mega", u"C:\\\u03C9mega",   u"C:\\\u30A2.txt",
    u"C:\\\u30C2.txt", u"C:\\?",         u"C:\\x\xD800",    u"C:\\\xD83D\xDE00",
};
constexpr int EMPTY_NAME = -1;  // a delete, or a target that holds only markers

struct Op {
    int source;
    int target;  // EMPTY_NAME or an index into NAMES
    std::u16string units;
};

struct Built {
    std::vector<Op> operations;
    std::string rest;  // from the list's end: the closing NUL, what follows, an odd byte
    std::uint32_t type;
};

std::string bytes_of_units(const std::u16string& units) { return text_of(utf16_bytes(units)); }

class Generator {
public:
    explicit Generator(std::uint32_t seed) : random_(seed) {}

    unsigned pick(unsigned count) { return static_cast<unsigned>(random_() % count); }

    // The name with its letters A to Z in random case.
    std::u16string spelling(int name) {
        std::u16string text = NAMES[static_cast<std::size_t>(name)];
        for (char16_t& c : text) {
            bool letter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
            if (letter && pick(2) == 0) c = static_cast<char16_t>(c ^ 0x20);
        }
        return text;
    }

    // Marks as current Windows writes them in front of the prefix.
    std::u16string mark() { return std::vector<std::u16string>{u"*", u"*1", u"*2", u"*12"}[pick(4)]; }

    std::u16string prefixed(int name) {
        return std::vector<std::u16string>{u"", u"\\??\\", mark() + u"\\??\\"}[pick(3)] + spelling(name);
    }

    Built value() {
        Built built;
        unsigned count = pick(7);
        for (unsigned i = 0; i < count; ++i) {
            Op op;
            op.source = static_cast<int>(pick(static_cast<unsigned>(NAMES.size())));
            op.target = static_cast<int>(pick(static_cast<unsigned>(NAMES.size())));
            std::u16string target;
            switch (pick(5)) {
                case 0:
                    target = (pick(2) == 0 ? u"!\\??\\" : u"!") + spelling(op.target);
                    break;
                case 1:
                    target = prefixed(op.target);
                    break;
                case 2:
                    op.target = EMPTY_NAME;
                    break;
                case 3:
                    op.target = EMPTY_NAME;
                    target = std::vector<std::u16string>{u"!", u"\\??\\", u"!\\??\\", mark() + u"!\\??\\"}[pick(4)];
                    break;
                default:
                    target = (pick(2) == 0 ? u"!\\??\\" : mark() + u"!\\??\\") + spelling(op.target);
                    break;
            }
            op.units = prefixed(op.source) + u'\0' + target + u'\0';
            built.operations.push_back(op);
        }
        switch (pick(5)) {
            case 0:
                break;  // the data ends with the last operation
            case 1:     // ... and its last string has no NUL
                if (!built.operations.empty()) built.operations.back().units.pop_back();
                break;
            case 2:
                built.rest = std::string(2, '\0');
                break;
            case 3:  // an odd byte after the last operation
                built.rest = std::string(1, static_cast<char>(pick(256)));
                break;
            default:
                built.rest = std::string(2, '\0');
                for (unsigned n = pick(9); n > 0; --n) built.rest += static_cast<char>(pick(256));
                break;
        }
        built.type = std::vector<std::uint32_t>{VALUE_TYPE_MULTI_SZ, VALUE_TYPE_MULTI_SZ, VALUE_TYPE_SZ,
                                                VALUE_TYPE_BINARY}[pick(4)];
        return built;
    }

private:
    std::mt19937 random_;
};

// The value less one operation. When the one removed ran to the end of the
// data, the list gets its closing empty string back, before an odd byte.
std::string without(const Built& built, std::size_t removed) {
    std::string bytes;
    for (std::size_t i = 0; i < built.operations.size(); ++i) {
        if (i != removed) bytes += bytes_of_units(built.operations[i].units);
    }
    if (removed + 1 == built.operations.size() && built.rest.size() < 2) bytes += std::string(2, '\0');
    return bytes + built.rest;
}

std::u16string argument(Generator& generator, int name) { return name == EMPTY_NAME ? u"" : generator.spelling(name); }

// Runs "/c" on the built value; `removed` is the index of the operation that
// must go, or the count of operations when nothing may match.
void expect_cancel(const Built& built, const std::vector<std::u16string>& arguments, std::size_t removed) {
    MemoryPlatformState state;
    state.current_directory = TEST_DIRECTORY;
    std::string before = without(built, built.operations.size());
    state.value = MemoryValue{true, built.type, bytes_of(before)};
    std::vector<std::u16string> command{u"/c"};
    command.insert(command.end(), arguments.begin(), arguments.end());

    CommandResult result = run_bootmove(&state, command);

    bool matched = removed < built.operations.size();
    SCOPED_TRACE(testing::PrintToString(before) + " with " + testing::PrintToString(arguments));
    EXPECT_EQ(result.status, matched ? 0 : 1);
    EXPECT_EQ(result.output, matched ? "" : "Could not fild a matching a pending file operation\r\n");
    EXPECT_EQ(count_calls(state, CALL_SET_VALUE), matched ? 1 : 0);
    EXPECT_EQ(state.value.type, built.type);
    EXPECT_EQ(testing::PrintToString(text_of(state.value.data)),
              testing::PrintToString(matched ? without(built, removed) : before));
    expect_nothing_held(state);
}

TEST(CancelProperty, RemovesExactlyTheMatchedOperation) {
    Generator generator(20261208u);
    for (int round = 0; round < 400 && !HasFailure(); ++round) {
        Built built = generator.value();
        const std::vector<Op>& ops = built.operations;
        std::vector<bool> source_seen(NAMES.size(), false);
        std::vector<std::vector<bool>> pair_seen(NAMES.size(), std::vector<bool>(NAMES.size() + 1, false));
        for (std::size_t i = 0; i < ops.size(); ++i) {
            std::size_t source = static_cast<std::size_t>(ops[i].source);
            std::size_t target = static_cast<std::size_t>(ops[i].target + 1);
            if (!source_seen[source]) expect_cancel(built, {generator.spelling(ops[i].source)}, i);
            if (!pair_seen[source][target]) {
                expect_cancel(built, {generator.spelling(ops[i].source), argument(generator, ops[i].target)}, i);
            }
            source_seen[source] = true;
            pair_seen[source][target] = true;
        }

        int source = static_cast<int>(generator.pick(static_cast<unsigned>(NAMES.size())));
        int target = static_cast<int>(generator.pick(static_cast<unsigned>(NAMES.size()) + 1)) - 1;
        std::size_t source_index = static_cast<std::size_t>(source);
        if (!source_seen[source_index]) expect_cancel(built, {generator.spelling(source)}, ops.size());
        if (!pair_seen[source_index][static_cast<std::size_t>(target + 1)]) {
            expect_cancel(built, {generator.spelling(source), argument(generator, target)}, ops.size());
        }
    }
}

}  // namespace
