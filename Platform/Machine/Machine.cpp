#include "Machine/Machine.h"

#include "Machine/Clock/Clock.h"
#include "Machine/Processes/Environment.h"
#include "Machine/Faults/Faults.h"
#include "Machine/Files/FileSystem.h"
#include "Machine/Processes/Modules.h"
#include "Machine/Registry/RegistryStore.h"
#include "Machine/Files/UniqueFd.h"
#include "Machine/Wmi/Wmi.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

std::atomic<Machine*> g_machine{nullptr};
std::once_flag g_firstUse;

std::string MachineDirFromEnvironment() {
    const char* dir = std::getenv(Machine::kEnvironmentVariable);
    return dir == nullptr ? std::string() : std::string(dir);
}

}  // namespace

Machine& Machine::Get() {
    // Every platform call asks, several times a trace line: call_once only until there is one.
    if (Machine* machine = g_machine.load(std::memory_order_acquire)) {
        return *machine;
    }
    std::call_once(g_firstUse, [] {
        if (g_machine.load() == nullptr) {
            g_machine = new Machine(MachineDirFromEnvironment());
        }
    });
    return *g_machine.load();
}

bool Machine::Exists() {
    return g_machine.load() != nullptr;
}

void Machine::Use(const std::string& dir) {
    std::call_once(g_firstUse, [] {});
    Machine* next = new Machine(dir);
    delete g_machine.exchange(next);
}

void Machine::Stop(const std::string& message) {
    std::fprintf(stderr, "tarvik machine: %s\n", message.c_str());
    std::fflush(stderr);
    _exit(3);
}

Machine::Machine(const std::string& dir) : m_dir(dir) {
    LinkAllocationHook();
    while (m_dir.size() > 1 && m_dir.back() == '/') {
        m_dir.pop_back();
    }
    if (!m_dir.empty()) {
        struct stat st;
        if (stat(m_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            Stop(m_dir + ": no such machine directory (" + kEnvironmentVariable + ")");
        }
        std::string settingsPath = PathOf("machine.json");
        if (access(settingsPath.c_str(), F_OK) == 0) {
            try {
                m_settings = LoadSettings(settingsPath);
            } catch (const SettingsError& e) {
                Stop(e.what());
            }
        }
    }
    m_faults = std::make_unique<FaultTable>(m_settings.faults);
    m_files = std::make_unique<FileSystem>(m_dir, m_settings.currentDirectory);
    m_environment = std::make_unique<Environment>(m_settings);
    m_modules = std::make_unique<ModuleTable>(m_settings);
    m_registry = std::make_unique<RegistryStore>(m_dir);
    m_clock = std::make_unique<sim::Clock>(m_settings.clock, m_dir);
    m_wmi = std::make_unique<WmiService>(m_dir, m_settings);
}

Machine::~Machine() = default;

void Machine::AppendRecord(const std::string& file, const std::string& jsonLine) {
    if (InMemory()) {
        std::lock_guard<std::mutex> hold(m_recordsLock);
        m_memoryRecords.emplace_back(file, jsonLine);
        return;
    }
    // One write(2) of a whole line with O_APPEND: records of several processes never interleave.
    std::string line = jsonLine + "\n";
    UniqueFd fd(open(PathOf(file).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!fd || write(fd.Get(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        Stop(PathOf(file) + ": cannot be written");
    }
}

std::vector<std::string> Machine::Records(const std::string& file) {
    std::vector<std::string> records;
    if (InMemory()) {
        std::lock_guard<std::mutex> hold(m_recordsLock);
        for (const auto& record : m_memoryRecords) {
            if (record.first == file) {
                records.push_back(record.second);
            }
        }
        return records;
    }
    std::ifstream in(PathOf(file));
    for (std::string line; std::getline(in, line);) {
        records.push_back(line);
    }
    return records;
}

}  // namespace sim
