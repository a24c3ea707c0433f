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
// [/{, @/`, \xE9/\xC9 differ only in bits that must not fold.
const std::vector<std::string> NAMES = {
    "C:\\a",       "D:\\a",       "C:\\dir\\b.txt", "C:\\dir\\b.tx", "C:\\a b", "C:\\100%s%n",
    "C:\\caf\xE9", "C:\\caf\xC9", "C:\\a[1]",       "C:\\a{1}",      "C:\\a@",  "C:\\a`",
};
constexpr int EMPTY_NAME = -1;  // a delete, or a target that holds only markers

struct Op {
    int source;
    int target;  // EMPTY_NAME or an index into NAMES
    std::string bytes;
};

struct Built {
    std::vector<Op> operations;
    std::string rest;  // from the list's end: the closing NUL and what follows
    std::uint32_t type;
};

class Generator {
public:
    explicit Generator(std::uint32_t seed) : random_(seed) {}

    unsigned pick(unsigned count) { return static_cast<unsigned>(random_() % count); }

    // The name with its letters A to Z in random case.
    std::string spelling(int name) {
        std::string text = NAMES[static_cast<std::size_t>(name)];
        for (char& c : text) {
            bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            if (letter && pick(2) == 0) c = static_cast<char>(c ^ 0x20);
        }
        return text;
    }

    std::string prefixed(int name) { return (pick(2) == 0 ? "\\??\\" : "") + spelling(name); }

    Built value() {
        Built built;
        unsigned count = pick(7);
        for (unsigned i = 0; i < count; ++i) {
            Op op;
            op.source = static_cast<int>(pick(static_cast<unsigned>(NAMES.size())));
            op.target = static_cast<int>(pick(static_cast<unsigned>(NAMES.size())));
            std::string target;
            switch (pick(5)) {
                case 0:
                    target = "!" + prefixed(op.target);
                    break;
                case 1:
                    target = prefixed(op.target);
                    break;
                case 2:
                    op.target = EMPTY_NAME;
                    break;
                case 3:
                    op.target = EMPTY_NAME;
                    target = std::vector<std::string>{"!", "\\??\\", "!\\??\\"}[pick(3)];
                    break;
                default:
                    target = "!\\??\\" + spelling(op.target);
                    break;
            }
            op.bytes = prefixed(op.source) + '\0' + target + '\0';
            built.operations.push_back(op);
        }
        switch (pick(4)) {
            case 0:
                break;  // the data ends with the last operation
            case 1:     // ... and its last string has no NUL
                if (!built.operations.empty()) built.operations.back().bytes.pop_back();
                break;
            case 2:
                built.rest = std::string(1, '\0');
                break;
            default:
                built.rest = std::string(1, '\0');
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

std::string without(const Built& built, std::size_t removed) {
    std::string bytes;
    for (std::size_t i = 0; i < built.operations.size(); ++i) {
        if (i != removed) bytes += built.operations[i].bytes;
    }
    return bytes + built.rest;
}

std::string argument(Generator& generator, int name) { return name == EMPTY_NAME ? "" : generator.spelling(name); }

// Runs "/c" on the built value; `removed` is the index of the operation that
// must go, or the count of operations when nothing may match.
void expect_cancel(const Built& built, const std::vector<std::string>& arguments, std::size_t removed) {
    MemoryPlatformState state;
    state.current_directory = TEST_DIRECTORY;
    std::string before = without(built, built.operations.size());
    state.value = MemoryValue{true, built.type, bytes_of(before)};
    std::vector<std::string> command{"/c"};
    command.insert(command.end(), arguments.begin(), arguments.end());

    CommandResult result = run_bootmove(&state, command);

    bool matched = removed < built.operations.size();
    SCOPED_TRACE(testing::PrintToString(before) + " with " + testing::PrintToString(arguments));
    EXPECT_EQ(result.status, matched ? 0 : 1);
    EXPECT_EQ(result.output, matched ? "" : "Could not fild a matching a pending file operation\n");
    EXPECT_EQ(count_calls(state, CALL_SET_VALUE), matched ? 1 : 0);
    EXPECT_EQ(state.value.type, built.type);
    EXPECT_EQ(text_of(state.value.data), matched ? without(built, removed) : before);
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
