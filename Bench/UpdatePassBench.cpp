// One update pass of the Hyper-V monitor (CheckForTeamUpdates) in this process on a simulated
// version-2 host with 8 teams and 32, 256 or 1,024 VMs in all, with "TRACE" at 2 (errors only)
// and at 1; time and WMI requests per pass. And the resident size after 10 and 10,000 passes.
#include <windows.h>

#include "BenchMachine.h"
#include "HyperVMonitor.h"
#include "ZelDebug.h"

#include "Machine/Wmi/WmiRequests.h"

#include <benchmark/benchmark.h>

#include <stdio.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>

namespace {

// One machine per size, made on first use, with "TRACE" at `traceLevel` and the trace
// configured on it.
void UseHost(int vms, int traceLevel) {
    static std::map<int, std::unique_ptr<bench::BenchMachine>> hosts;
    std::unique_ptr<bench::BenchMachine>& host = hosts[vms];
    if (!host) {
        host.reset(new bench::BenchMachine(bench::EightTeamHost(vms), bench::Zel2Key(traceLevel)));
    }
    host->Use();
    HKEY key = NULL;
    DWORD level = static_cast<DWORD>(traceLevel);
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2"), 0,
                  KEY_SET_VALUE, &key);
    RegSetValueExW(key, TEXT("TRACE"), 0, REG_DWORD, reinterpret_cast<BYTE*>(&level), sizeof level);
    RegCloseKey(key);
    g_ZelDebug.Configure(TEXT("TALM"), TEXT("bench-pass.txt"), ZEL_TRACE_ALL, 0, 0);
}

// The monitor without its worker, connected to the host's namespace, after its first pass (the
// one that tells the driver every team).
class PassMonitor : public HyperVMonitor {
public:
    PassMonitor() : m_bReady(InitializeWMI() && CheckForTeamUpdates()) {}
    ~PassMonitor() override { UninitializeWMI(); }
    bool SpawnThread() override { return false; }
    bool Ready() const { return m_bReady; }
    bool Pass() { return CheckForTeamUpdates(); }

private:
    bool m_bReady;
};

void BM_UpdatePass(benchmark::State& state) {
    UseHost(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    PassMonitor monitor;
    if (!monitor.Ready()) {
        state.SkipWithError("the monitor cannot connect to the host");
        return;
    }
    unsigned long long requests = sim::WmiRequests();
    for (auto _ : state) {
        benchmark::DoNotOptimize(monitor.Pass());
    }
    state.counters["wmi_requests_per_pass"] = benchmark::Counter(
        double(sim::WmiRequests() - requests), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_UpdatePass)
    ->ArgNames({"vms", "trace"})
    ->ArgsProduct({{32, 256, 1024}, {2, 1}})
    ->Unit(benchmark::kMillisecond);

long ResidentKilobytes() {
    long pages = 0, resident = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm != NULL) {
        if (fscanf(statm, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        fclose(statm);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Passes at the 32-VM host with "TRACE" at 2: what a long-running service's memory does.
void BM_ResidentSize(benchmark::State& state) {
    UseHost(32, 2);
    PassMonitor monitor;
    long after10 = 0, after10000 = 0;
    for (auto _ : state) {
        for (int pass = 1; pass <= 10000; ++pass) {
            monitor.Pass();
            if (pass == 10) {
                after10 = ResidentKilobytes();
            }
        }
        after10000 = ResidentKilobytes();
    }
    state.counters["rss_kb_after_10"] = double(after10);
    state.counters["rss_kb_after_10000"] = double(after10000);
}
BENCHMARK(BM_ResidentSize)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
