#include "BenchMachine.h"

#include "Machine/Machine.h"
#include "Machine/Settings/MachineBuilder.h"

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace bench {

std::string Zel2Key(int traceLevel) {
    return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2]\n"
           "\"InstalledDir\"=\"C:\\\\Windows\\\\Temp\"\n"
           "\"TRACE\"=dword:0000000" +
           std::to_string(traceLevel) + "\n";
}

namespace {

std::string Guid(char kind, int n) {
    char text[40];
    snprintf(text, sizeof text, "{%c%07d-0000-0000-0000-000000000000}", kind, n);
    return text;
}

}  // namespace

std::string EightTeamHost(int vms, const std::string& members, const std::string& hypervMembers) {
    std::string adapters, teams, switches, machines;
    for (int k = 0; k < kHostTeams; ++k) {
        std::string sep = k == 0 ? "" : ",";
        std::string n = std::to_string(k);
        adapters += sep + R"({"guid": ")" + Guid('A', k) + R"(", "name": "Team )" + n +
                    R"("}, {"guid": ")" + Guid('B', k) + R"(", "name": "Member )" + n + "\"}";
        teams +=
            sep + R"({"adapter": ")" + Guid('A', k) + R"(", "members": [")" + Guid('B', k) + "\"]}";
        switches += sep + R"({"name": "Switch )" + n + R"(", "adapter": ")" + Guid('A', k) + "\"}";
    }
    for (int i = 0; i < vms; ++i) {
        char mac[16];
        snprintf(mac, sizeof mac, "00155D%06X", i + 1);
        machines += std::string(i == 0 ? "" : ",") + R"({"name": "vm-)" + std::to_string(i) +
                    R"(", "adapters": [{"mac": ")" + mac + R"(", "switch": "Switch )" +
                    std::to_string(i % kHostTeams) + R"(", "vlan": )" +
                    std::to_string(10 + i % kHostTeams) + "}]}";
    }
    return "{" + members + R"("adapters": [)" + adapters + R"(], "teams": [)" + teams +
           R"(], "hyperv": {"model": "v2", )" + hypervMembers + R"("switches": [)" + switches +
           R"(], "vms": [)" + machines + "]}}";
}

BenchMachine::BenchMachine(const std::string& machineJson, const std::string& registryReg) {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvik-bench.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary directory");
    }
    m_dir = pattern;
    std::filesystem::create_directories(m_dir + "/drive_c/Windows/Temp");
    std::filesystem::create_directories(m_dir + "/drive_c/Windows/system32");
    std::ofstream(m_dir + "/machine.json") << machineJson;
    std::ofstream(m_dir + "/registry.reg") << "Windows Registry Editor Version 5.00\n\n"
                                           << registryReg;
    if (sim::BuildMachine(m_dir) != 0) {
        throw std::runtime_error("cannot build the machine in " + m_dir);
    }
}

BenchMachine::~BenchMachine() {
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

void BenchMachine::Use() const {
    if (sim::Machine::Get().Dir() != m_dir) {
        sim::Machine::Use(m_dir);
    }
}

std::string BenchMachine::TempFile(const std::string& name) const {
    return m_dir + "/drive_c/Windows/Temp/" + name;
}

}  // namespace bench
