// A simulated machine of the bench's own: a temporary directory with a C: drive, built from its
// machine.json (devices into the registry), removed with everything in it when the object goes.
#pragma once

#include <string>

namespace bench {

// The ZEL2 key that points the trace at C:\Windows\Temp, with "TRACE" at `traceLevel`.
std::string Zel2Key(int traceLevel);

class BenchMachine {
public:
    BenchMachine(const std::string& machineJson, const std::string& registryReg);
    ~BenchMachine();
    BenchMachine(const BenchMachine&) = delete;
    BenchMachine& operator=(const BenchMachine&) = delete;

    // Makes it this process's machine; no other thread may use the platform meanwhile.
    void Use() const;
    // A file of its C:\Windows\Temp, where the trace goes.
    std::string TempFile(const std::string& name) const;

private:
    std::string m_dir;
};

}  // namespace bench
