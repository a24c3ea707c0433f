// Listing and cancelling on values of 1,000, 10,000 and 100,000 operations
// through the in-memory platform, beside a floor over the same units: one
// search for every NUL and writing the same output bytes. Output goes
// nowhere, names still passing through the writer. Then the stale ones
// judged among moves onto names that differ only in the letters of one
// script.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "tests/memory/memory_platform.h"

namespace {

// Strings of about 60 characters: moves with and without replacement and
// deletes, in UTF-16 as the registry keeps them.
std::vector<unsigned char> make_value(int operations, std::u16string* last_source) {
    std::u16string data;
    for (int i = 0; i < operations; ++i) {
        std::string number = std::to_string(100000 + i);
        std::u16string source =
            u"C:\\Program Files\\Vendor\\Product\\component-" + std::u16string(number.begin(), number.end());
        data += u"\\??\\" + source + u".dll";
        data.push_back(u'\0');
        if (i % 3 != 2) {
            data += i % 3 == 0 ? u"!\\??\\" : u"\\??\\";
            data += source + u".new";
        }
        data.push_back(u'\0');
        *last_source = source + u".dll";
    }
    data.push_back(u'\0');
    std::vector<unsigned char> bytes;
    for (char16_t unit : data) {
        bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
    return bytes;
}

// Counts what the tool takes from the heap, to report its peak.
struct HeapMeter {
    std::size_t live = 0;
    std::size_t peak = 0;
};

void* metered_allocate(void* context, std::size_t size) {
    HeapMeter* meter = static_cast<HeapMeter*>(context);
    std::size_t* block = static_cast<std::size_t*>(std::malloc(size + sizeof(std::size_t)));
    if (block == nullptr) return nullptr;
    *block = size;
    meter->live += size;
    if (meter->live > meter->peak) meter->peak = meter->live;
    return block + 1;
}

void metered_release(void* context, void* memory) {
    std::size_t* block = static_cast<std::size_t*>(memory) - 1;
    static_cast<HeapMeter*>(context)->live -= *block;
    std::free(block);
}

FILE* null_stream() {
    static FILE* stream = std::fopen("/dev/null", "w");
    return stream;
}

void BM_List(benchmark::State& state) {
    std::u16string last;
    MemoryPlatformState platform_state;
    platform_state.value = {true, VALUE_TYPE_MULTI_SZ, make_value(static_cast<int>(state.range(0)), &last)};
    platform_state.output_discarded = true;
    Platform platform = memory_platform(&platform_state);
    const char16_t* argv[] = {u"bootmove.exe", u"/l"};
    for (auto _ : state) {
        platform_state.calls.clear();
        benchmark::DoNotOptimize(run_command_line(platform, 2, argv));
    }
    state.SetBytesProcessed(
        static_cast<std::int64_t>(state.iterations() * static_cast<std::int64_t>(platform_state.value.data.size())));
}

void BM_CancelLast(benchmark::State& state) {
    std::u16string last;
    std::vector<unsigned char> value = make_value(static_cast<int>(state.range(0)), &last);
    MemoryPlatformState platform_state;
    platform_state.output_discarded = true;
    Platform platform = memory_platform(&platform_state);
    HeapMeter meter;
    platform.heap = {&meter, metered_allocate, metered_release};
    const char16_t* argv[] = {u"bootmove.exe", u"/c", last.c_str()};
    for (auto _ : state) {
        state.PauseTiming();
        platform_state.value = {true, VALUE_TYPE_MULTI_SZ, value};
        platform_state.calls.clear();
        platform_state.writes.clear();
        state.ResumeTiming();
        benchmark::DoNotOptimize(run_command_line(platform, 3, argv));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(value.size()));
    state.counters["value_bytes"] = static_cast<double>(value.size());
    state.counters["peak_heap_bytes"] = static_cast<double>(meter.peak);
}

// The least any listing can do: find every NUL once and write the listing's
// lines, one write a line.
void BM_Floor(benchmark::State& state) {
    std::u16string last;
    MemoryPlatformState platform_state;
    platform_state.value = {true, VALUE_TYPE_MULTI_SZ, make_value(static_cast<int>(state.range(0)), &last)};
    std::vector<char16_t> units(platform_state.value.data.size() / 2);
    std::memcpy(units.data(), platform_state.value.data.data(), units.size() * 2);
    std::vector<std::string> lines;
    {
        const char16_t* argv[] = {u"bootmove.exe", u"/l"};
        run_command_line(memory_platform(&platform_state), 2, argv);
        const std::string& listing = platform_state.output;
        for (std::size_t start = 0, end; start < listing.size(); start = end + 1) {
            end = listing.find('\n', start);
            lines.emplace_back(listing, start, end - start + 1);
        }
    }
    for (auto _ : state) {
        const char16_t* at = units.data();
        const char16_t* end = units.data() + units.size();
        std::size_t strings = 0;
        while (at < end) {
            const char16_t* nul = std::char_traits<char16_t>::find(at, static_cast<std::size_t>(end - at), u'\0');
            if (nul == nullptr) break;
            at = nul + 1;
            ++strings;
        }
        for (const std::string& line : lines) std::fwrite(line.data(), 1, line.size(), null_stream());
        benchmark::DoNotOptimize(strings);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(units.size() * 2));
}

// Moves of gone names onto names of one length that differ only in letters
// of `script` (0: ASCII, 1: Cyrillic, 2: Greek, 3: Latin-1), so that each
// source is looked for among all the earlier targets: every source is stale.
std::vector<unsigned char> make_chain_value(int operations, int script) {
    const char16_t first_letter[] = {u'a', 0x0430, 0x03B1, 0x00E0};
    auto name = [&](int number) {
        std::u16string text = u"\\??\\C:\\Data\\";
        for (int digit = 0; digit < 6; ++digit, number /= 10) {
            text.push_back(static_cast<char16_t>(first_letter[script] + number % 10));
        }
        return text + u".dat";
    };
    std::u16string data;
    for (int i = 0; i < operations; ++i) {
        data += name(2 * i) + u'\0' + u'!' + name(2 * i + 1) + u'\0';
    }
    data.push_back(u'\0');
    std::vector<unsigned char> bytes;
    for (char16_t unit : data) {
        bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
    return bytes;
}

void BM_ListStale(benchmark::State& state) {
    MemoryPlatformState platform_state;
    platform_state.value = {true, VALUE_TYPE_MULTI_SZ,
                            make_chain_value(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)))};
    platform_state.output_discarded = true;
    Platform platform = memory_platform(&platform_state);
    const char16_t* argv[] = {u"bootmove.exe", u"/l", u"/stale"};
    for (auto _ : state) {
        platform_state.calls.clear();
        benchmark::DoNotOptimize(run_command_line(platform, 3, argv));
    }
    const char* scripts[] = {"ascii", "cyrillic", "greek", "latin1"};
    state.SetLabel(scripts[state.range(1)]);
}

}  // namespace

BENCHMARK(BM_Floor)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_List)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CancelLast)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ListStale)->ArgsProduct({{1000, 32000}, {0, 1, 2, 3}})->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
