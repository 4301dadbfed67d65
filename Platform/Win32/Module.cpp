#include <windows.h>

#include "FaceResult.h"

#include "Machine/Faults/Faults.h"
#include "Machine/Machine.h"
#include "Machine/Processes/Modules.h"

#include <cstring>

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
    DWORD error = ERROR_SUCCESS;
    HMODULE module = NULL;
    if (sim::InjectedFault("LoadLibraryW", &error)) {
    } else if (lpLibFileName == NULL) {
        error = ERROR_INVALID_PARAMETER;
    } else {
        sim::Machine& machine = sim::Machine::Get();
        error = machine.Modules().Load(lpLibFileName, machine.Files(), machine.Env(), &module);
    }
    if (module == NULL) {
        SetLastError(error);
    }
    return module;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("FreeLibrary", &error)) {
    } else if (hLibModule == NULL) {
        error = ERROR_INVALID_HANDLE;
    } else {
        error = sim::Machine::Get().Modules().Free(hLibModule);
    }
    return BoolResult(error);
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
    DWORD error = ERROR_SUCCESS;
    HMODULE module = NULL;
    if (!sim::InjectedFault("GetModuleHandleW", &error)) {
        sim::Machine& machine = sim::Machine::Get();
        module = machine.Modules().Find(lpModuleName ? lpModuleName : u"", machine.Files());
        error = module ? ERROR_SUCCESS : ERROR_MOD_NOT_FOUND;
    }
    if (module == NULL) {
        SetLastError(error);
    }
    return module;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    DWORD error = ERROR_SUCCESS;
    FARPROC proc = NULL;
    sim::ModuleTable& modules = sim::Machine::Get().Modules();
    HMODULE module = hModule ? hModule : modules.Executable();
    if (sim::InjectedFault("GetProcAddress", &error)) {
    } else if (!modules.Owns(module)) {
        error = ERROR_MOD_NOT_FOUND;
    } else if (lpProcName == NULL || reinterpret_cast<uintptr_t>(lpProcName) <= 0xFFFF) {
        error = ERROR_PROC_NOT_FOUND;  // no module of ours exports by ordinal
    } else {
        proc = modules.Export(module, lpProcName);
        error = proc ? ERROR_SUCCESS : ERROR_PROC_NOT_FOUND;
    }
    if (proc == NULL) {
        SetLastError(error);
    }
    return proc;
}

void WINAPI SimHostRegisterStrings(const SIMHOST_STRING_RESOURCE* pStrings, UINT cStrings) {
    sim::ModuleTable::RegisterExecutableStrings(pStrings, pStrings ? cStrings : 0);
}

int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
    DWORD error = ERROR_SUCCESS;
    const char16_t* text = nullptr;
    size_t length = 0;
    if (sim::InjectedFault("LoadStringW", &error)) {
    } else if (lpBuffer == NULL || cchBufferMax < 0) {
        error = ERROR_INVALID_PARAMETER;
    } else {
        sim::ModuleTable& modules = sim::Machine::Get().Modules();
        // Only the low word numbers a string, as in a resource's name.
        error = modules.String(hInstance ? hInstance : modules.Executable(), WORD(uID),
                               sim::LanguageId(sim::Machine::Get().Settings().uiLanguage), &text,
                               &length);
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return 0;
    }
    if (cchBufferMax == 0) {
        // The caller receives the resource itself, read-only and not terminated.
        const WCHAR* resource = text;
        std::memcpy(lpBuffer, &resource, sizeof(resource));
        return static_cast<int>(length);
    }
    size_t copied = std::min(length, static_cast<size_t>(cchBufferMax - 1));
    std::memcpy(lpBuffer, text, copied * sizeof(WCHAR));
    lpBuffer[copied] = 0;
    return static_cast<int>(copied);
}
