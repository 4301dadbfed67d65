// The modules of a process: its executable, the system libraries every process has loaded
// (kernel32.dll, ntdll.dll, oleaut32.dll; pinned, as statically imported libraries are), and the
// libraries machine.json puts on the machine's disk, which LoadLibraryW loads and FreeLibrary
// unloads by reference count.
//
// A declared library lies where its name says: a file name lies in the system directory, a full
// path where it points. Its string table may hold several languages; LoadStringW picks one as
// it does for the executable. Its exports are functions that append each call to libraries.jsonl
// and return the result the machine gives them. Module handles point at the table's entries, which
// live as long as the table; an unloaded entry names no module until it is loaded again.
#pragma once

#include "Machine/Settings/Settings.h"

#include <libloaderapi.h>
#include <simhost/resources.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

class FileSystem;
class Environment;

using StringResource = SIMHOST_STRING_RESOURCE;

class ModuleTable {
public:
    static constexpr const char16_t* kSystemDirectory = u"C:\\Windows\\system32";
    static constexpr const char16_t* kWindowsDirectory = u"C:\\Windows";

    explicit ModuleTable(const MachineSettings& settings);

    // LoadLibraryW: a loaded module of that name takes one more reference; otherwise a declared
    // library found by the search order is loaded. ".dll" is supplied to a name without an
    // extension. ERROR_MOD_NOT_FOUND when there is none. A path is taken as it is; a bare name is
    // searched for in the executable's directory (when it lies on the machine's drives),
    // C:\Windows\system32, C:\Windows\System, C:\Windows, the current directory, then PATH.
    DWORD Load(const std::u16string& name, FileSystem& files, Environment& environment,
               HMODULE* module);
    // FreeLibrary: ERROR_MOD_NOT_FOUND for a handle that names no loaded module.
    DWORD Free(HMODULE module);
    // A loaded module by name ("KERNEL32", "kernel32.dll", "C:\Windows\system32\kernel32.dll");
    // null for none. An empty name is the executable.
    HMODULE Find(const std::u16string& name, FileSystem& files);
    // An export of a loaded module; null when it has no such export.
    FARPROC Export(HMODULE module, const std::string& name);
    bool Owns(HMODULE module);  // a loaded module of this table
    HMODULE Executable();
    // SimHostRegisterStrings: the executable's string table, read at each LoadStringW, so that
    // it counts whether the program registers it before or after the machine is first used.
    static void RegisterExecutableStrings(const StringResource* strings, size_t count);

    // A string of a loaded module's string table, in `language`, then the neutral entry, then
    // en-US, as the loader picks a string block. ERROR_RESOURCE_TYPE_NOT_FOUND when the module has
    // no string table, ERROR_RESOURCE_NAME_NOT_FOUND when no language has the string's block; an
    // id missing from a block that exists is the empty string.
    DWORD String(HMODULE module, UINT id, WORD language, const char16_t** text, size_t* length);

    // A call of the declared export in `slot`: recorded in libraries.jsonl; its result.
    INT_PTR Call(size_t slot, const INT_PTR* arguments);

private:
    struct Module {
        std::u16string name;  // file name, "kernel32.dll"; empty for the executable
        std::u16string path;  // full Windows path; empty for the executable
        bool pinned = false;
        unsigned references = 0;
        std::map<std::string, FARPROC> exports;
        std::vector<StringResource> strings;
        std::vector<std::u16string> texts;  // what a declared library's strings point into
    };
    struct Slot {
        std::string library;
        std::string name;
        ExportSettings call;
    };

    Module& Add(const std::u16string& name, bool pinned);
    Module* Loaded(HMODULE module);  // under m_lock
    Module* Declared(const std::u16string& path);

    std::mutex m_lock;
    std::vector<std::unique_ptr<Module>> m_modules;
    std::vector<Slot> m_slots;
};

// The machine's local time as output records give it: "2024-05-01T12:00:00.250".
std::string RecordTime();

// Builds a FARPROC of any function, as GetProcAddress hands them out.
template <typename Function>
FARPROC AsFarProc(Function* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

}  // namespace sim
