// The simulated Windows machine this process runs on: a directory named by TARVIK_MACHINE
// (machine.json, registry.reg, drive_c/ and the output records), or, with none set, an empty
// machine held in memory.
//
// The machine is created on first use, never by a static constructor, and is never destroyed,
// so that it outlives every static object of the program that uses it.
#pragma once

#include "Machine/Settings/Settings.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

class Clock;
class Environment;
class FaultTable;
class FileSystem;
class ModuleTable;
class RegistryStore;
class WmiService;

class Machine {
public:
    static constexpr const char* kEnvironmentVariable = "TARVIK_MACHINE";

    static Machine& Get();
    static bool Exists();

    // Makes `dir` (empty: a new in-memory machine) this process's machine, as if the process had
    // just started on it. For tests: call it while no other thread uses the platform.
    static void Use(const std::string& dir);

    // Stops the process with a message on stderr: what a broken machine file leads to.
    [[noreturn]] static void Stop(const std::string& message);

    bool InMemory() const { return m_dir.empty(); }
    const std::string& Dir() const { return m_dir; }
    std::string PathOf(const std::string& name) const { return m_dir + "/" + name; }
    const MachineSettings& Settings() const { return m_settings; }

    FaultTable& Faults() { return *m_faults; }
    FileSystem& Files() { return *m_files; }
    Environment& Env() { return *m_environment; }
    ModuleTable& Modules() { return *m_modules; }
    RegistryStore& Registry() { return *m_registry; }
    sim::Clock& Clock() { return *m_clock; }
    WmiService& Wmi() { return *m_wmi; }

    // Appends one record to an output file of the machine (driver-requests.jsonl, ...); an
    // in-memory machine keeps the records for Records().
    void AppendRecord(const std::string& file, const std::string& jsonLine);
    std::vector<std::string> Records(const std::string& file);

    ~Machine();

private:
    explicit Machine(const std::string& dir);

    std::string m_dir;
    MachineSettings m_settings;
    std::unique_ptr<FaultTable> m_faults;
    std::unique_ptr<FileSystem> m_files;
    std::unique_ptr<Environment> m_environment;
    std::unique_ptr<ModuleTable> m_modules;
    std::unique_ptr<RegistryStore> m_registry;
    std::unique_ptr<sim::Clock> m_clock;
    std::unique_ptr<WmiService> m_wmi;
    std::mutex m_recordsLock;
    std::vector<std::pair<std::string, std::string>> m_memoryRecords;
};

}  // namespace sim
