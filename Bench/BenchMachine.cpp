#include "BenchMachine.h"

#include "Machine/Machine.h"
#include "Machine/Settings/MachineBuilder.h"

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
