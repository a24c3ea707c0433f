// Listing and cancelling on values of 1,000, 10,000 and 100,000 operations
// through the in-memory platform, beside a floor over the same bytes: one
// memchr for every NUL and writing the same output bytes. Output goes to a
// null stream.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "platform/memory_platform.h"

namespace {

// Strings of about 60 bytes: moves with and without replacement and deletes.
std::vector<unsigned char> make_value(int operations, std::string* last_source) {
    std::string data;
    for (int i = 0; i < operations; ++i) {
        std::string source = "C:\\Program Files\\Vendor\\Product\\component-" + std::to_string(100000 + i) + ".dll";
        data += "\\??\\" + source;
        data.push_back('\0');
        if (i % 3 != 2) {
            data += i % 3 == 0 ? "!\\??\\" : "\\??\\";
            data += "C:\\Program Files\\Vendor\\Product\\component-" + std::to_string(100000 + i) + ".new";
        }
        data.push_back('\0');
        *last_source = source;
    }
    data.push_back('\0');
    return std::vector<unsigned char>(data.begin(), data.end());
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
    std::string last;
    MemoryPlatformState platform_state;
    platform_state.value = {true, VALUE_TYPE_MULTI_SZ, make_value(static_cast<int>(state.range(0)), &last)};
    Platform platform = memory_platform(&platform_state);
    const char* argv[] = {"bootmove.exe", "/l"};
    for (auto _ : state) {
        platform_state.calls.clear();
        benchmark::DoNotOptimize(run_command_line(platform, 2, argv, null_stream()));
    }
    state.SetBytesProcessed(
        static_cast<std::int64_t>(state.iterations() * static_cast<std::int64_t>(platform_state.value.data.size())));
}

void BM_CancelLast(benchmark::State& state) {
    std::string last;
    std::vector<unsigned char> value = make_value(static_cast<int>(state.range(0)), &last);
    MemoryPlatformState platform_state;
    Platform platform = memory_platform(&platform_state);
    HeapMeter meter;
    platform.heap = {&meter, metered_allocate, metered_release};
    const char* argv[] = {"bootmove.exe", "/c", last.c_str()};
    for (auto _ : state) {
        state.PauseTiming();
        platform_state.value = {true, VALUE_TYPE_MULTI_SZ, value};
        platform_state.calls.clear();
        platform_state.writes.clear();
        state.ResumeTiming();
        benchmark::DoNotOptimize(run_command_line(platform, 3, argv, null_stream()));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(value.size()));
    state.counters["value_bytes"] = static_cast<double>(value.size());
    state.counters["peak_heap_bytes"] = static_cast<double>(meter.peak);
}

// The least any listing can do: find every NUL once and write the listing's
// lines, one write a line.
void BM_Floor(benchmark::State& state) {
    std::string last;
    MemoryPlatformState platform_state;
    platform_state.value = {true, VALUE_TYPE_MULTI_SZ, make_value(static_cast<int>(state.range(0)), &last)};
    const std::vector<unsigned char>& value = platform_state.value.data;
    std::vector<std::string> lines;
    {
        char* text = nullptr;
        std::size_t length = 0;
        FILE* out = open_memstream(&text, &length);
        const char* argv[] = {"bootmove.exe", "/l"};
        run_command_line(memory_platform(&platform_state), 2, argv, out);
        std::fclose(out);
        const std::string listing(text, length);
        for (std::size_t start = 0, end; start < length; start = end + 1) {
            end = listing.find('\n', start);
            lines.emplace_back(text + start, end - start + 1);
        }
        std::free(text);
    }
    for (auto _ : state) {
        const unsigned char* at = value.data();
        const unsigned char* end = value.data() + value.size();
        std::size_t strings = 0;
        while (at < end) {
            const void* nul = std::memchr(at, 0, static_cast<std::size_t>(end - at));
            if (nul == nullptr) break;
            at = static_cast<const unsigned char*>(nul) + 1;
            ++strings;
        }
        for (const std::string& line : lines) std::fwrite(line.data(), 1, line.size(), null_stream());
        benchmark::DoNotOptimize(strings);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(value.size()));
}

}  // namespace

BENCHMARK(BM_Floor)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_List)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CancelLast)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
