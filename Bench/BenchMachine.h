// A simulated machine of the bench's own: a temporary directory with a C: drive, built from its
// machine.json (devices into the registry), removed with everything in it when the object goes.
#pragma once

#include <string>

namespace bench {

// The ZEL2 key that points the trace at C:\Windows\Temp, with "TRACE" at `traceLevel`.
std::string Zel2Key(int traceLevel);

const int kHostTeams = 8;

// machine.json of a version-2 Hyper-V host with 8 teams: team k's virtual adapter {A...k}, its
// member {B...k} and its switch; VM i on team i % 8's switch with one adapter on VLAN 10 + i % 8.
// `members` and `hypervMembers` go first in the file's object and in its "hyperv" object, each
// member ending in a comma.
std::string EightTeamHost(int vms, const std::string& members = "",
                          const std::string& hypervMembers = "");

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
