#include <windows.h>

#include "FaceResult.h"

#include "Machine/Faults/Faults.h"
#include "Machine/Processes/Handles.h"
#include "Machine/Settings/Settings.h"
#include "Machine/Processes/Tokens.h"

#include <cstring>
#include <new>

namespace {

// GetCurrentProcess's pseudo handle, as Windows gives it.
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

}  // namespace

HANDLE WINAPI GetCurrentProcess(void) {
    return kCurrentProcess;
}

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("OpenProcessToken", &error)) {
        return FailWith(error);
    }
    if (ProcessHandle != kCurrentProcess) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    if (TokenHandle == nullptr) {
        return FailWith(ERROR_NOACCESS);
    }
    ACCESS_MASK access = (DesiredAccess & MAXIMUM_ALLOWED) ? TOKEN_ALL_ACCESS : DesiredAccess;
    try {
        auto token = std::make_shared<sim::TokenObject>(sim::ProcessToken(), access);
        *TokenHandle = sim::HandleTable::Get().Add(token);
    } catch (const std::bad_alloc&) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (error != ERROR_SUCCESS || *TokenHandle == nullptr) {
        return FailWith(error != ERROR_SUCCESS ? error : ERROR_NOT_ENOUGH_MEMORY);
    }
    return TRUE;
}

BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                LPVOID TokenInformation, DWORD TokenInformationLength,
                                PDWORD ReturnLength) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("GetTokenInformation", &error)) {
        return FailWith(error);
    }
    auto token = sim::HandleTable::Get().FindAs<sim::TokenObject>(TokenHandle);
    if (!token) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    if (!token->Allows(TOKEN_QUERY)) {
        return FailWith(ERROR_ACCESS_DENIED);
    }
    if (TokenInformationClass != TokenPrivileges) {
        return FailWith(ERROR_INVALID_PARAMETER);  // this machine's tokens tell only privileges
    }
    if (ReturnLength == nullptr) {
        return FailWith(ERROR_NOACCESS);
    }
    std::vector<BYTE> privileges;
    try {
        privileges = token->Get().Privileges();
    } catch (const std::bad_alloc&) {
        return FailWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    *ReturnLength = static_cast<DWORD>(privileges.size());
    if (TokenInformationLength < privileges.size()) {
        return FailWith(ERROR_INSUFFICIENT_BUFFER);
    }
    if (TokenInformation == nullptr) {
        return FailWith(ERROR_NOACCESS);
    }
    std::memcpy(TokenInformation, privileges.data(), privileges.size());
    return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("AdjustTokenPrivileges", &error)) {
        return FailWith(error);
    }
    auto token = sim::HandleTable::Get().FindAs<sim::TokenObject>(TokenHandle);
    if (!token) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    if (!token->Allows(TOKEN_ADJUST_PRIVILEGES) ||
        (PreviousState != nullptr && !token->Allows(TOKEN_QUERY))) {
        return FailWith(ERROR_ACCESS_DENIED);
    }
    if ((!DisableAllPrivileges && NewState == nullptr) ||
        (PreviousState != nullptr && ReturnLength == nullptr)) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    std::vector<BYTE> previous;
    try {
        error = token->Get().Adjust(DisableAllPrivileges != FALSE, NewState,
                                    PreviousState ? &previous : nullptr, BufferLength);
    } catch (const std::bad_alloc&) {
        return FailWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (PreviousState != nullptr) {
        *ReturnLength = static_cast<DWORD>(previous.size());
        if (error == ERROR_INSUFFICIENT_BUFFER) {
            return FailWith(error);
        }
        std::memcpy(PreviousState, previous.data(), previous.size());
    }
    // It succeeds even when not every privilege was held, and says so in the last error.
    SetLastError(error);
    return TRUE;
}
