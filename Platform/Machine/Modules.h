// The modules a process has loaded: its executable and the system libraries every process has
// (kernel32.dll, ntdll.dll), with the exports the code looks up at run time.
#pragma once

#include "Machine/Settings.h"

#include <libloaderapi.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

class ModuleTable {
public:
    struct Module {
        std::u16string name;  // "kernel32.dll"; empty for the executable
        std::map<std::string, FARPROC> exports;
    };

    explicit ModuleTable(const MachineSettings& settings);

    // A loaded module by name ("KERNEL32", "kernel32.dll", "C:\Windows\system32\kernel32.dll");
    // null for none. An empty name is the executable.
    HMODULE Find(const std::u16string& name);
    // An export of a module of this table; null when the module has no such export.
    FARPROC Export(HMODULE module, const std::string& name);
    bool Owns(HMODULE module);

private:
    Module& Add(const std::u16string& name);

    std::mutex m_lock;
    std::vector<std::unique_ptr<Module>> m_modules;
};

// Builds a FARPROC of any function, as GetProcAddress hands them out.
template <typename Function>
FARPROC AsFarProc(Function* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

}  // namespace sim
