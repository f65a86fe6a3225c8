// Restoring the carried firmware image against the cost of copying it twice, measured in the
// same run, and the memory that restoring holds at its peak against the image's size.
//
// Prints:  ratio restore_vs_two_copies <value>        (target: at most 4)
//          ratio restore_peak_memory_vs_image <value> (target: at most 2)
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "images/FirmImage.h"

namespace {

// Heap accounting for the memory measurement: bytes live now and the most seen since reset.
std::atomic<std::size_t> g_live{0};
std::atomic<std::size_t> g_peak{0};

void NoteAllocation(std::size_t size) {
    const std::size_t live = g_live.fetch_add(size) + size;
    std::size_t peak = g_peak.load();
    while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
    }
}

std::vector<std::uint8_t> LoadScrambledImage() {
    std::ifstream in(SCRAMBLED_FIRMWARE_PATH, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty()) {
        std::fprintf(stderr, "cannot read %s\n", SCRAMBLED_FIRMWARE_PATH);
        std::exit(1);
    }
    return bytes;
}

const std::vector<std::uint8_t>& ScrambledImage() {
    static const std::vector<std::uint8_t> image = LoadScrambledImage();
    return image;
}

void BM_Restore(benchmark::State& state) {
    MemoryResources resources;
    resources.Add(220, L"FIRMWARE", ScrambledImage());
    for (auto _ : state) {
        CPufFirmImage image(resources);
        if (!image.Load(220, L"FIRMWARE")) state.SkipWithError("the image does not restore");
        benchmark::DoNotOptimize(image.m_pData.get());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * ScrambledImage().size()));
}

void BM_TwoCopies(benchmark::State& state) {
    // The destinations are allocated and touched once, outside the timing: the baseline is the
    // bare cost of moving the bytes twice, the strictest yardstick for restoring.
    const std::vector<std::uint8_t>& source = ScrambledImage();
    std::vector<std::uint8_t> firstBuffer(source.size());
    std::vector<std::uint8_t> secondBuffer(source.size());
    std::uint8_t* first = firstBuffer.data();
    std::uint8_t* second = secondBuffer.data();
    for (auto _ : state) {
        std::memcpy(first, source.data(), source.size());
        benchmark::ClobberMemory();
        std::memcpy(second, first, source.size());
        benchmark::DoNotOptimize(second);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}

BENCHMARK(BM_Restore)->Unit(benchmark::kMillisecond)->MinTime(1.0)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_TwoCopies)->Unit(benchmark::kMillisecond)->MinTime(1.0)->Repetitions(5)->ReportAggregatesOnly(true);

// Keeps the median time of each benchmark while printing as usual.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.aggregate_name == "median") medians[run.run_name.function_name] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> medians;
};

double PeakMemoryRatio() {
    MemoryResources resources;
    resources.Add(220, L"FIRMWARE", ScrambledImage());
    CPufFirmImage image(resources);
    const std::size_t before = g_live.load();
    g_peak.store(before);
    if (!image.Load(220, L"FIRMWARE")) return -1;
    return static_cast<double>(g_peak.load() - before) / static_cast<double>(ScrambledImage().size());
}

}  // namespace

void* operator new(std::size_t size) {
    void* p = std::malloc(size + sizeof(std::max_align_t));
    if (!p) throw std::bad_alloc();
    *static_cast<std::size_t*>(p) = size;
    NoteAllocation(size);
    return static_cast<char*>(p) + sizeof(std::max_align_t);
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return operator new(size, std::nothrow); }
void operator delete(void* p) noexcept {
    if (!p) return;
    char* block = static_cast<char*>(p) - sizeof(std::max_align_t);
    g_live.fetch_sub(*reinterpret_cast<std::size_t*>(block));
    std::free(block);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    ScrambledImage();
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto restore = reporter.medians.find("BM_Restore");
    const auto copies = reporter.medians.find("BM_TwoCopies");
    if (restore != reporter.medians.end() && copies != reporter.medians.end() && copies->second > 0) {
        std::printf("ratio restore_vs_two_copies %.2f\n", restore->second / copies->second);
    }
    std::printf("ratio restore_peak_memory_vs_image %.2f\n", PeakMemoryRatio());
    return 0;
}
