#include <windows.h>

#include "FaceResult.h"

#include "Machine/Faults/Faults.h"
#include "Machine/Files/FileSystem.h"
#include "Machine/Processes/Handles.h"
#include "Machine/Machine.h"
#include "Machine/Processes/Processes.h"

#include <sys/stat.h>

#include <new>
#include <string>

namespace {

bool IsDirectory(sim::FileSystem& files, const std::u16string& path) {
    std::string host;
    struct stat st;
    return files.HostPath(path, &host) == ERROR_SUCCESS && stat(host.c_str(), &st) == 0 &&
           S_ISDIR(st.st_mode);
}

}  // namespace

BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                           LPSECURITY_ATTRIBUTES, BOOL, DWORD dwCreationFlags, LPVOID,
                           LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("CreateProcessW", &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (lpApplicationName == NULL && lpCommandLine == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpStartupInfo == NULL || lpProcessInformation == NULL) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    sim::Machine& machine = sim::Machine::Get();
    sim::FileSystem& files = machine.Files();
    try {
        sim::ProcessStart start;
        start.commandLine = lpCommandLine ? lpCommandLine : lpApplicationName;
        start.creationFlags = dwCreationFlags;
        const sim::ProgramSettings* program = nullptr;
        error = sim::FindProgram(lpApplicationName, start.commandLine, files, machine.Env(),
                                 &program, &start.application);
        if (error == ERROR_SUCCESS) {
            start.directory =
                lpCurrentDirectory ? files.FullPath(lpCurrentDirectory) : files.CurrentDirectory();
            if (lpCurrentDirectory && !IsDirectory(files, start.directory)) {
                error = ERROR_DIRECTORY;
            }
        }
        std::shared_ptr<sim::ProcessObject> process;
        std::shared_ptr<sim::ThreadObject> thread;
        if (error == ERROR_SUCCESS) {
            error = sim::StartProgram(*program, start, &process, &thread);
        }
        if (error == ERROR_SUCCESS) {
            lpProcessInformation->hProcess = sim::HandleTable::Get().Add(process);
            lpProcessInformation->hThread = sim::HandleTable::Get().Add(thread);
            lpProcessInformation->dwProcessId = process->Id();
            lpProcessInformation->dwThreadId = thread->Id();
        }
    } catch (const std::bad_alloc&) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    }
    return BoolResult(error);
}

BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("TerminateProcess", &error)) {
    } else if (std::shared_ptr<sim::ProcessObject> process =
                   sim::HandleTable::Get().FindAs<sim::ProcessObject>(hProcess)) {
        error = sim::TerminateProgram(*process, uExitCode);
    } else {
        error = ERROR_INVALID_HANDLE;
    }
    return BoolResult(error);
}
