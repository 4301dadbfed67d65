// The cost of one trace line to a real file beside spdlog's synchronous file logger flushing
// every line (same text, same run), with the heap allocations each line makes; and a line
// dropped at the trace's size limit.
#include <windows.h>

#include "AllocationCount.h"
#include "BenchMachine.h"
#include "ZelDebug.h"

#include <benchmark/benchmark.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <memory>

CZelDebug g_ZelDebug;

namespace {

const bench::BenchMachine& TraceMachine() {
    static bench::BenchMachine machine("{}", bench::Zel2Key(1));
    machine.Use();
    return machine;
}

// Heap allocations per line, counted over a sample of lines after the timed ones (the timed loop
// holds the framework's own).
template <class WriteLine>
void CountAllocations(benchmark::State& state, WriteLine writeLine) {
    const int kSample = 1000;
    size_t before = bench::Allocations();
    for (int i = 0; i < kSample; ++i) {
        writeLine();
    }
    state.counters["allocs_per_line"] = double(bench::Allocations() - before) / kSample;
}

void BM_TraceLine(benchmark::State& state) {
    TraceMachine();
    if (g_ZelDebug.Configure(TEXT("TALM"), TEXT("bench.txt"), ZEL_TRACE_ALL, 0, 0) != 0) {
        state.SkipWithError("the trace cannot be configured");
        return;
    }
    auto writeLine = [] { DebugTrace(TEXT("Entering HyperVMonitor::CheckForTeamUpdates()")); };
    for (auto _ : state) {
        writeLine();
    }
    CountAllocations(state, writeLine);
}
BENCHMARK(BM_TraceLine);

void BM_TraceLineSpdlog(benchmark::State& state) {
    std::shared_ptr<spdlog::logger> logger =
        spdlog::basic_logger_st("bench", TraceMachine().TempFile("spdlog.txt"), true);
    logger->set_level(spdlog::level::trace);
    logger->flush_on(spdlog::level::trace);
    auto writeLine = [&logger] { logger->trace("Entering HyperVMonitor::CheckForTeamUpdates()"); };
    for (auto _ : state) {
        writeLine();
    }
    CountAllocations(state, writeLine);
    spdlog::drop("bench");
}
BENCHMARK(BM_TraceLineSpdlog);

void BM_TraceLineAtLimit(benchmark::State& state) {
    TraceMachine();
    CZelDebug limited;
    limited.Configure(TEXT("TALM"), TEXT("bench-limited.txt"), ZEL_TRACE_ALL_FIXED, 0, 1);
    limited.Print(TEXT("the one line before the limit"));
    for (auto _ : state) {
        limited.Print(TEXT("dropped at the limit: %d"), 1);
    }
}
BENCHMARK(BM_TraceLineAtLimit);

}  // namespace
