#include "Machine/Modules.h"

#include "Machine/Environment.h"

#include <sysinfoapi.h>

LONG WINAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation);
void WINAPI SetOaNoCache(void);

namespace sim {

namespace {

// "C:\Windows\system32\KERNEL32.DLL" and "kernel32" both name "kernel32.dll".
std::u16string ModuleKey(const std::u16string& name) {
    std::u16string base = name.substr(name.find_last_of(u"\\/") + 1);
    std::u16string key;
    for (char16_t c : base) {
        key += UpperAscii(c);
    }
    if (key.find(u'.') == std::u16string::npos) {
        key += u".DLL";
    }
    return key;
}

}  // namespace

ModuleTable::ModuleTable(const MachineSettings& settings) {
    Add(u"");
    Module& kernel32 = Add(u"kernel32.dll");
    kernel32.exports["GetSystemInfo"] = AsFarProc(&GetSystemInfo);
    if (settings.os.hasGetNativeSystemInfo) {
        kernel32.exports["GetNativeSystemInfo"] = AsFarProc(&GetNativeSystemInfo);
    }
    Module& ntdll = Add(u"ntdll.dll");
    ntdll.exports["RtlGetVersion"] = AsFarProc(&RtlGetVersion);
    Module& oleaut32 = Add(u"oleaut32.dll");
    oleaut32.exports["SetOaNoCache"] = AsFarProc(&SetOaNoCache);
}

ModuleTable::Module& ModuleTable::Add(const std::u16string& name) {
    m_modules.push_back(std::make_unique<Module>());
    m_modules.back()->name = name;
    return *m_modules.back();
}

HMODULE ModuleTable::Find(const std::u16string& name) {
    std::lock_guard<std::mutex> hold(m_lock);
    for (const auto& module : m_modules) {
        bool executable = module->name.empty();
        if (executable ? name.empty()
                       : (!name.empty() && ModuleKey(module->name) == ModuleKey(name))) {
            return reinterpret_cast<HMODULE>(module.get());
        }
    }
    return nullptr;
}

bool ModuleTable::Owns(HMODULE module) {
    std::lock_guard<std::mutex> hold(m_lock);
    for (const auto& owned : m_modules) {
        if (reinterpret_cast<HMODULE>(owned.get()) == module) {
            return true;
        }
    }
    return false;
}

FARPROC ModuleTable::Export(HMODULE module, const std::string& name) {
    if (!Owns(module)) {
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(m_lock);
    const auto& exports = reinterpret_cast<Module*>(module)->exports;
    auto found = exports.find(name);
    return found == exports.end() ? nullptr : found->second;
}

}  // namespace sim
