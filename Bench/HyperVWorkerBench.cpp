// The Hyper-V monitor's real worker (StartMonitor) on version-2 hosts on the virtual clock, with
// "TRACE" at 2: how long after a topology change the teaming driver gets the team's new list, in
// machine time; and the update passes and process CPU time per hour of machine time, with
// hyperv.countersRaiseEvents on (every running VM modified at each WITHIN tick) and off.
#include <windows.h>

#include "BenchMachine.h"
#include "HyperVMonitor.h"
#include "ZelDebug.h"

#include "Machine/Clock/Clock.h"
#include "Machine/HyperV/HyperVChanges.h"
#include "Machine/HyperV/HyperVTopology.h"
#include "Machine/Machine.h"
#include "Machine/Utf.h"
#include "Machine/Wmi/Wmi.h"
#include "Machine/Wmi/WmiRequests.h"

#include <benchmark/benchmark.h>

#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

const int kChanges = 100;
const unsigned kSeed = 20261207;
// Gaps between a list's arrival and the next change: two WITHIN cycles, so that every phase of
// the subscription's 10-second ticks is hit alike.
const DWORD kMaxGapMs = 20000;
// A list later than this is reported as missing rather than waited for.
const DWORD kGiveUpMs = 60000;
const DWORD kMinuteMs = 60000;
const char kDriverRecords[] = "driver-requests.jsonl";

// The Hyper-V management service, without which the worker gives up at once.
const char kVmms[] =
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vmms]\n"
    "\"Type\"=dword:00000010\n"
    "\"Start\"=dword:00000002\n"
    "\"ErrorControl\"=dword:00000001\n"
    "\"ImagePath\"=\"C:\\\\Windows\\\\system32\\\\vmms.exe\"\n\n";

// One machine per size and setting, made on first use, with the trace configured on it.
void UseHost(int vms, bool countersRaiseEvents) {
    static std::map<std::pair<int, bool>, std::unique_ptr<bench::BenchMachine>> hosts;
    std::unique_ptr<bench::BenchMachine>& host = hosts[{vms, countersRaiseEvents}];
    if (!host) {
        host.reset(new bench::BenchMachine(
            bench::EightTeamHost(vms, R"("clock": {"mode": "virtual"}, )",
                                 std::string(R"("countersRaiseEvents": )") +
                                     (countersRaiseEvents ? "true" : "false") + ", "),
            kVmms + bench::Zel2Key(2)));
    }
    host->Use();
    g_ZelDebug.Configure(TEXT("TALM"), TEXT("bench-events.txt"), ZEL_TRACE_ALL, 0, 0);
}

LONGLONG MachineMs() {
    return sim::Machine::Get().Clock().Now() / sim::Clock::kUnitsPerMs;
}

uintmax_t DriverRecordBytes() {
    std::error_code missing;
    uintmax_t size =
        std::filesystem::file_size(sim::Machine::Get().PathOf(kDriverRecords), missing);
    return missing ? 0 : size;
}

std::string DriverRecordsFrom(uintmax_t offset) {
    std::ifstream in(sim::Machine::Get().PathOf(kDriverRecords), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

double ProcessCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// The worker started and settled: its first pass told the driver every team and it waits on its
// subscription. Time moves only once it waits, so one millisecond's sleep returns after that.
// The WMI requests of that pass and that subscription: what every later cycle costs.
bool StartWorker(HyperVMonitor& worker, unsigned long long* requestsPerCycle) {
    uintmax_t offset = DriverRecordBytes();
    unsigned long long before = sim::WmiRequests();
    if (!worker.StartMonitor()) {
        return false;
    }
    Sleep(1);
    *requestsPerCycle = sim::WmiRequests() - before;
    return Count(DriverRecordsFrom(offset), "\"list\":") == bench::kHostTeams;
}

// The stop is seen at the end of the worker's 5-second slice; a last sleep returns only once its
// thread has ended, since a running thread holds the clock.
void StopWorker(HyperVMonitor& worker) {
    worker.WaitForStop();
    Sleep(100);
}

// StartWorker, or the benchmark skipped with the worker stopped.
bool StartOrSkip(benchmark::State& state, HyperVMonitor& worker,
                 unsigned long long* requestsPerCycle) {
    if (StartWorker(worker, requestsPerCycle)) {
        return true;
    }
    StopWorker(worker);
    state.SkipWithError("the worker did not tell the driver every team");
    return false;
}

// 100 changes, each at a seeded random moment 0 to 20 s after the previous list arrived: VM
// i % 32's VLAN set to 1000 + i. The driver's records are looked at every millisecond of machine
// time, until one carries that VLAN.
void BM_ChangeToDriverList(benchmark::State& state) {
    const int vms = 32;
    UseHost(vms, false);
    std::vector<LONGLONG> delays;
    for (auto _ : state) {
        sim::Clock::Attachment attached(sim::Machine::Get().Clock());
        HyperVMonitor worker;
        unsigned long long requestsPerCycle = 0;
        if (!StartOrSkip(state, worker, &requestsPerCycle)) {
            return;
        }
        std::mt19937 random(kSeed);
        for (int i = 0; i < kChanges; ++i) {
            Sleep(static_cast<DWORD>(random() % kMaxGapMs));
            std::string vlan = std::to_string(1000 + i);
            uintmax_t offset = DriverRecordBytes();
            std::string error = sim::Machine::Get().Wmi().Change([&](sim::HyperVTopology& t) {
                return sim::SetVlan(t, u"vm-" + sim::Utf8ToUtf16(std::to_string(i % vms)), u"A1",
                                    1000 + i);
            });
            LONGLONG changed = MachineMs();
            bool arrived = false;
            while (error.empty() && !arrived && MachineMs() - changed < kGiveUpMs) {
                Sleep(1);
                arrived = DriverRecordBytes() != offset &&
                          DriverRecordsFrom(offset).find("\"vlanId\":" + vlan) != std::string::npos;
            }
            if (!arrived) {
                StopWorker(worker);
                std::string what = error.empty() ? "no new list" : error;
                state.SkipWithError((what + " for change " + std::to_string(i)).c_str());
                return;
            }
            delays.push_back(MachineMs() - changed);
        }
        StopWorker(worker);
    }
    std::sort(delays.begin(), delays.end());
    size_t n = delays.size();
    state.counters["changes"] = double(n);
    state.counters["delay_min_ms"] = double(delays.front());
    state.counters["delay_median_ms"] = (delays[(n - 1) / 2] + delays[n / 2]) / 2.0;
    state.counters["delay_max_ms"] = double(delays.back());
}
BENCHMARK(BM_ChangeToDriverList)->Iterations(1)->Unit(benchmark::kMillisecond);

// One iteration is a minute of machine time with the worker running; figures per hour of it.
// Passes are counted from WMI requests: every cycle makes those of the first pass and its
// subscription, since the topology stays as it was.
void BM_WorkerHour(benchmark::State& state) {
    UseHost(static_cast<int>(state.range(0)), state.range(1) != 0);
    sim::Clock::Attachment attached(sim::Machine::Get().Clock());
    HyperVMonitor worker;
    unsigned long long requestsPerCycle = 0;
    if (!StartOrSkip(state, worker, &requestsPerCycle)) {
        return;
    }
    LONGLONG start = MachineMs();
    unsigned long long requests = sim::WmiRequests();
    double cpu = ProcessCpuMs();
    for (auto _ : state) {
        Sleep(kMinuteMs);
    }
    cpu = ProcessCpuMs() - cpu;
    requests = sim::WmiRequests() - requests;
    double hours = double(MachineMs() - start) / (60.0 * kMinuteMs);
    StopWorker(worker);
    double passes = double(requests) / double(requestsPerCycle);
    state.counters["machine_hours"] = hours;
    state.counters["wmi_requests_per_cycle"] = double(requestsPerCycle);
    state.counters["passes_per_hour"] = passes / hours;
    state.counters["cpu_ms_per_hour"] = cpu / hours;
    state.counters["cpu_ms_per_pass"] = passes > 0 ? cpu / passes : 0;
}
BENCHMARK(BM_WorkerHour)
    ->ArgNames({"vms", "counters"})
    ->ArgsProduct({{32, 256, 1024}, {1, 0}})
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
