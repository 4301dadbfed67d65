#include <windows.h>

#include "Machine/Faults.h"
#include "Machine/Machine.h"
#include "Machine/Modules.h"

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
    DWORD error = ERROR_SUCCESS;
    HMODULE module = nullptr;
    if (!sim::InjectedFault("GetModuleHandleW", &error)) {
        module = sim::Machine::Get().Modules().Find(lpModuleName ? lpModuleName : u"");
        error = module ? ERROR_SUCCESS : ERROR_MOD_NOT_FOUND;
    }
    if (module == nullptr) {
        SetLastError(error);
    }
    return module;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    DWORD error = ERROR_SUCCESS;
    FARPROC proc = nullptr;
    if (sim::InjectedFault("GetProcAddress", &error)) {
    } else if (hModule == nullptr || !sim::Machine::Get().Modules().Owns(hModule)) {
        error = ERROR_MOD_NOT_FOUND;
    } else if (lpProcName == nullptr || reinterpret_cast<uintptr_t>(lpProcName) <= 0xFFFF) {
        error = ERROR_PROC_NOT_FOUND;  // no module of ours exports by ordinal
    } else {
        proc = sim::Machine::Get().Modules().Export(hModule, lpProcName);
        error = proc ? ERROR_SUCCESS : ERROR_PROC_NOT_FOUND;
    }
    if (proc == nullptr) {
        SetLastError(error);
    }
    return proc;
}
