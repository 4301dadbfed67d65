// The registry reads and writes the service makes, on the trace bench's machine.
#include <windows.h>

#include "BenchMachine.h"
#include "ZelRegKey.h"

#include <benchmark/benchmark.h>

namespace {

const WCHAR kZel2[] = TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2");

void UseMachine() {
    static bench::BenchMachine machine("{}", bench::Zel2Key(1));
    machine.Use();
}

void BM_RegistryRead(benchmark::State& state) {
    UseMachine();
    CZelRegKey key;
    key.Open(HKEY_LOCAL_MACHINE, kZel2, false);
    CZelString value;
    for (auto _ : state) {
        benchmark::DoNotOptimize(key.GetValue(TEXT("InstalledDir"), value));
    }
}
BENCHMARK(BM_RegistryRead);

void BM_RegistryOpenReadClose(benchmark::State& state) {
    UseMachine();
    for (auto _ : state) {
        CZelRegKey key;
        DWORD value = 0;
        key.Open(HKEY_LOCAL_MACHINE, kZel2, false);
        benchmark::DoNotOptimize(key.GetValue(TEXT("TRACE"), value));
    }
}
BENCHMARK(BM_RegistryOpenReadClose);

void BM_RegistryWrite(benchmark::State& state) {
    UseMachine();
    CZelRegKey key;
    key.Open(HKEY_LOCAL_MACHINE, kZel2, true);
    DWORD n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(key.SetValue(TEXT("Reboot_Detected"), ++n));
    }
}
BENCHMARK(BM_RegistryWrite)->Iterations(200);

}  // namespace
