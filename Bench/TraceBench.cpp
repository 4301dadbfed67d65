// The cost of one trace line, and of the registry reads and writes the service makes, on a
// machine directory of its own.
#include <windows.h>

#include "Machine/Machine.h"
#include "ZelDebug.h"
#include "ZelRegKey.h"

#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

CZelDebug g_ZelDebug;

namespace {

// A machine with a C: drive and the ZEL2 key, made once for the whole run.
std::string MakeMachine() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvik-bench.XXXXXX").string();
    std::string dir = mkdtemp(pattern.data());
    std::filesystem::create_directories(dir + "/drive_c/Windows/Temp");
    std::ofstream(dir + "/registry.reg")
        << "Windows Registry Editor Version 5.00\n\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2]\n"
           "\"InstalledDir\"=\"C:\\\\Windows\\\\Temp\"\n"
           "\"TRACE\"=dword:00000001\n";
    sim::Machine::Use(dir);
    return dir;
}

// Removed when the run ends.
struct BenchMachine {
    std::string dir = MakeMachine();
    ~BenchMachine() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

const std::string& Machine() {
    static BenchMachine machine;
    return machine.dir;
}

void BM_TraceLine(benchmark::State& state) {
    Machine();
    static bool configured = g_ZelDebug.Configure(TEXT("TALM"), TEXT("bench.txt"), 1, 0, 0) == 0;
    if (!configured) {
        state.SkipWithError("the trace cannot be configured");
        return;
    }
    int n = 0;
    for (auto _ : state) {
        DebugTrace(TEXT("Entering HyperVMonitor::CheckForTeamUpdates() - pass %d"), ++n);
    }
}
BENCHMARK(BM_TraceLine);

void BM_TraceLineLimited(benchmark::State& state) {
    Machine();
    CZelDebug limited;
    limited.Configure(TEXT("TALM"), TEXT("bench-limited.txt"), 3, 0, 1);
    limited.Print(TEXT("the one line before the limit"));
    for (auto _ : state) {
        limited.Print(TEXT("dropped at the limit: %d"), 1);
    }
}
BENCHMARK(BM_TraceLineLimited);

void BM_RegistryRead(benchmark::State& state) {
    Machine();
    CZelRegKey key;
    key.Open(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2"), false);
    CZelString value;
    for (auto _ : state) {
        benchmark::DoNotOptimize(key.GetValue(TEXT("InstalledDir"), value));
    }
}
BENCHMARK(BM_RegistryRead);

void BM_RegistryOpenReadClose(benchmark::State& state) {
    Machine();
    for (auto _ : state) {
        CZelRegKey key;
        DWORD value = 0;
        key.Open(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2"), false);
        benchmark::DoNotOptimize(key.GetValue(TEXT("TRACE"), value));
    }
}
BENCHMARK(BM_RegistryOpenReadClose);

void BM_RegistryWrite(benchmark::State& state) {
    Machine();
    CZelRegKey key;
    key.Open(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2"), true);
    DWORD n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(key.SetValue(TEXT("Reboot_Detected"), ++n));
    }
}
BENCHMARK(BM_RegistryWrite)->Iterations(200);

}  // namespace
