// The process's access token: the privileges machine.json gives the service's account, with
// their state as the process adjusts it. One token per process and machine, shared by every
// handle OpenProcessToken gives; a handle carries the access it was opened with.
#pragma once

#include "Machine/Processes/Handles.h"
#include "Machine/Settings/Settings.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

class Token {
public:
    explicit Token(const AccountSettings& account);

    // The TOKEN_PRIVILEGES the token holds, as GetTokenInformation gives it.
    std::vector<BYTE> Privileges();
    // AdjustTokenPrivileges: ERROR_NOT_ALL_ASSIGNED when some privilege asked for is not held
    // (the others still change). With `previous`, what changed is put there, and nothing changes
    // (ERROR_INSUFFICIENT_BUFFER) when it would need more than `room` bytes.
    DWORD Adjust(bool disableAll, const TOKEN_PRIVILEGES* newState, std::vector<BYTE>* previous,
                 DWORD room);

private:
    std::mutex m_lock;
    std::vector<LUID_AND_ATTRIBUTES> m_privileges;  // by LUID, as Windows orders them
};

class TokenObject : public KernelObject {
public:
    TokenObject(std::shared_ptr<Token> token, ACCESS_MASK access)
        : m_token(std::move(token)), m_access(access) {}
    Token& Get() { return *m_token; }
    bool Allows(ACCESS_MASK access) const { return (m_access & access) == access; }

private:
    std::shared_ptr<Token> m_token;
    ACCESS_MASK m_access;
};

// The current process's token on the current machine, made from its settings at first use.
std::shared_ptr<Token> ProcessToken();

}  // namespace sim
