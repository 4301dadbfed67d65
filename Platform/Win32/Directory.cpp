#include <windows.h>

#include "Machine/Faults/Faults.h"
#include "Machine/Files/FileSystem.h"
#include "Machine/Machine.h"
#include "Machine/Processes/Modules.h"

#include <cstring>
#include <string>

namespace {

// Windows' size rule: the length when the text and its terminator fit, else the size needed.
DWORD CopyOut(const std::u16string& text, LPWSTR buffer, DWORD size) {
    if (buffer == NULL || size <= text.size()) {
        return static_cast<DWORD>(text.size() + 1);
    }
    std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    return static_cast<DWORD>(text.size());
}

}  // namespace

DWORD WINAPI GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("GetCurrentDirectoryW", &error)) {
        SetLastError(error);
        return 0;
    }
    std::u16string directory = sim::Machine::Get().Files().CurrentDirectory();
    if (directory.size() > 3 && directory.back() == u'\\') {
        directory.pop_back();  // only a drive's root keeps its backslash
    }
    return CopyOut(directory, lpBuffer, nBufferLength);
}

UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("GetSystemDirectoryW", &error)) {
        SetLastError(error);
        return 0;
    }
    return CopyOut(sim::ModuleTable::kSystemDirectory, lpBuffer, uSize);
}
